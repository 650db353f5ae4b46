#pragma once
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tcp_client/qorSocket_Classes.h"

// The program's exit codes (documented in qorrcon.1).
enum TqorCLI_Exit {
  exOK = 0,
  exConnection = 1,      // no connection, or it was lost while commands were left
  exUsage = 2,           // bad options, no password, unknown saved server
  exAuthentication = 3,  // the server rejected the password
  exNoAnswer = 4,        // the authentication or a command got no answer within its time-out
};

struct TqorCLI_Proxy {
  bool Enabled = false;
  TwsProxy Type = pxySocks5;
  std::string Host;
  int Port = 0;
  std::string User;
  std::string Password;
};

struct TqorCLI_TLS {
  bool Enabled = false;
  TwsTLSIOHandler Handler = iohOpenSSL;
  TwsTLSVersions Version = tlsUndefined;
  bool Verify = false;
  std::string CA;
  std::string Cert;
  std::string Key;
  std::vector<std::string> ALPN;
};

// Everything the program was asked to do, after the command line, the saved server and the
// environment were combined.
struct TqorCLI_Settings {
  std::string Host = "localhost";
  int Port = 25575;
  std::optional<std::string> Password;  // none yet: the password file, environment or prompt
  bool PasswordOnCommandLine = false;
  std::string PasswordFile;
  std::vector<std::string> Commands;
  bool Silent = false;
  bool NoColour = false;
  bool Raw = false;
  bool Interactive = false;  // -t: a prompt (or lines from standard input) after the commands
  bool Json = false;
  double WaitSeconds = 0;
  double ConnectTimeout = 10;
  double AnswerTimeout = 10;
  TqorCLI_Proxy Proxy;
  TqorCLI_TLS TLS;
  std::string LogFile;
  int Throttle = 0;  // bits per second, 0: none
};

// The outcome of reading the command line: either settings to run with, or an exit code
// (help and version were printed, or a usage error was reported on aErr).
struct TqorCLI_Parsed {
  std::optional<TqorCLI_Settings> Settings;
  int Exit = exOK;
};

// Reads the options, the saved server (--server) and the environment (getenv).
TqorCLI_Parsed ParseCommandLine(int argc, const char* const* argv, std::ostream& aOut,
                                std::ostream& aErr);

// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address. False (and aError) for
// a port that is no port number.
bool SplitHostPort(const std::string& aText, std::string& aHost, int& aPort, std::string& aError);

// scheme://[user[:password]@]host[:port] with scheme socks4, socks4a, socks5 or http.
bool ParseProxyURL(const std::string& aURL, TqorCLI_Proxy& aProxy, std::string& aError);

// The first line of a password file, without its line break.
bool ReadPasswordFile(const std::string& aFileName, std::string& aPassword, std::string& aError);
