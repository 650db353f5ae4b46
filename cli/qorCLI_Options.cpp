#include "cli/qorCLI_Options.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <ostream>

#include "cli/qorCLI_SavedServers.h"

namespace {

bool ToPort(const std::string& aText, int& aPort, std::string& aError) {
  char* end = nullptr;
  const long v = std::strtol(aText.c_str(), &end, 10);
  if (aText.empty() || *end != '\0' || v < 1 || v > 65535) {
    aError = "'" + aText + "' is not a port number (1 to 65535)";
    return false;
  }
  aPort = int(v);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& aText) {
  std::string out;
  for (size_t i = 0; i < aText.size(); ++i) {
    if (aText[i] == '%' && i + 2 < aText.size() && HexDigit(aText[i + 1]) >= 0 &&
        HexDigit(aText[i + 2]) >= 0) {
      out += char(HexDigit(aText[i + 1]) * 16 + HexDigit(aText[i + 2]));
      i += 2;
    } else {
      out += aText[i];
    }
  }
  return out;
}

const char* GetEnv(const char* aName) {
  const char* v = std::getenv(aName);
  return v && *v ? v : nullptr;
}

}  // namespace

bool SplitHostPort(const std::string& aText, std::string& aHost, int& aPort, std::string& aError) {
  std::string port;
  if (!aText.empty() && aText[0] == '[') {
    const size_t close = aText.find(']');
    if (close == std::string::npos || (close + 1 < aText.size() && aText[close + 1] != ':')) {
      aError = "'" + aText + "' is not an address ([v6 address]:port)";
      return false;
    }
    aHost = aText.substr(1, close - 1);
    if (close + 1 < aText.size())
      port = aText.substr(close + 2);
    else
      return true;
  } else if (const size_t colon = aText.find(':');
             colon != std::string::npos && aText.find(':', colon + 1) == std::string::npos) {
    aHost = aText.substr(0, colon);
    port = aText.substr(colon + 1);
  } else {
    aHost = aText;  // a name, an IPv4 address or a bare IPv6 address
    return true;
  }
  return ToPort(port, aPort, aError);
}

bool ParseProxyURL(const std::string& aURL, TqorCLI_Proxy& aProxy, std::string& aError) {
  aError = "'" + aURL +
           "' is not a proxy URL (socks4://, socks4a://, socks5:// or http://, then "
           "[user[:password]@]host:port)";
  const size_t scheme = aURL.find("://");
  if (scheme == std::string::npos) return false;
  const std::string kind = aURL.substr(0, scheme);
  TqorCLI_Proxy p;
  p.Enabled = true;
  if (kind == "socks4")
    p.Type = pxySocks4;
  else if (kind == "socks4a")
    p.Type = pxySocks4A;
  else if (kind == "socks5" || kind == "socks5h")
    p.Type = pxySocks5;
  else if (kind == "http")
    p.Type = pxyHTTP;
  else
    return false;
  std::string rest = aURL.substr(scheme + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (const size_t at = rest.rfind('@'); at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    const size_t colon = credentials.find(':');
    p.User = PercentDecode(credentials.substr(0, colon));
    if (colon != std::string::npos) p.Password = PercentDecode(credentials.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  p.Port = p.Type == pxyHTTP ? 8080 : 1080;
  std::string portError;
  if (!SplitHostPort(rest, p.Host, p.Port, portError)) {
    aError = "proxy: " + portError;
    return false;
  }
  if (p.Host.empty()) return false;
  aProxy = p;
  return true;
}

bool ReadPasswordFile(const std::string& aFileName, std::string& aPassword, std::string& aError) {
  std::ifstream in(aFileName, std::ios::binary);
  if (!in) {
    aError = "cannot read the password file " + aFileName;
    return false;
  }
  std::getline(in, aPassword);
  if (!aPassword.empty() && aPassword.back() == '\r') aPassword.pop_back();
  return true;
}

TqorCLI_Parsed ParseCommandLine(int argc, const char* const* argv, std::ostream& aOut,
                                std::ostream& aErr) {
  TqorCLI_Settings s;
  std::string host, password, server, proxy;
  int port = 0;
  bool version = false;
  CLI::App app{"qorrcon: send commands to a game server's remote console (RCON).", "qorrcon"};
  app.footer(
      "Exit codes: 0 success, 1 connection failure, 2 usage error, 3 authentication refused,\n"
      "4 no answer within the time-out. See qorrcon(1).");
  auto* oHost = app.add_option("-H,--host", host, "server host, host:port or [v6]:port")
                    ->envname("MCRCON_HOST");
  auto* oPort = app.add_option("-P,--port", port, "server port (default 25575)")
                    ->check(CLI::Range(1, 65535))
                    ->envname("MCRCON_PORT");
  auto* oPassword =
      app.add_option("-p,--password", password, "RCON password (visible to other users)");
  auto* oPasswordFile = app.add_option("--password-file", s.PasswordFile,
                                       "read the password from the first line of FILE");
  app.add_option("--server", server, "a server saved by the qorRCON window, by name");
  app.add_flag("-s,--silent", s.Silent, "do not print answers");
  app.add_flag("-c,--no-colour,--no-color", s.NoColour, "print colour codes as plain text");
  auto* oRaw =
      app.add_flag("-r,--raw", s.Raw, "print every packet's body as it arrives, without joining");
  app.add_flag("-t,--interactive", s.Interactive,
               "read commands from the terminal (or standard input) after those given");
  app.add_option("-w,--wait", s.WaitSeconds, "seconds to wait between commands")
      ->check(CLI::Range(0.0, 600.0));
  auto* oProxy =
      app.add_option("--proxy", proxy, "socks4|socks4a|socks5|http://[user[:password]@]host:port");
  auto* oTLS = app.add_flag("--tls", s.TLS.Enabled, "connect with TLS");
  auto* oCA = app.add_option("--ca", s.TLS.CA, "trusted CA certificates (PEM)");
  auto* oVerify = app.add_flag("--verify", s.TLS.Verify, "verify the server's certificate");
  auto* oCert = app.add_option("--cert", s.TLS.Cert, "client certificate (PEM)");
  auto* oKey = app.add_option("--key", s.TLS.Key, "client key (PEM)");
  auto* oConnectTimeout =
      app.add_option("--connect-timeout", s.ConnectTimeout, "seconds, 0: none (default 10)")
          ->check(CLI::Range(0.0, 2000000.0));
  app.add_option("--answer-timeout", s.AnswerTimeout, "seconds, 0: none (default 10)")
      ->check(CLI::Range(0.0, 2000000.0));
  auto* oJson = app.add_flag("--json", s.Json, "one JSON object per answer");
  app.add_flag("-v,--version", version, "print the version");
  app.add_option("command", s.Commands, "commands to send, one per argument");
  oRaw->excludes(oJson);
  oJson->excludes(oRaw);

  TqorCLI_Parsed result;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    result.Exit = app.exit(e, aOut, aErr) == 0 ? exOK : exUsage;
    return result;
  }
  if (version) {
    aOut << "qorrcon " << QOR_VERSION << "\n";
    return result;
  }
  auto usage = [&](const std::string& aMessage) {
    aErr << "qorrcon: " << aMessage << "\n";
    result.Exit = exUsage;
    return result;
  };

  // A saved server gives the starting values; what the command line says wins.
  const TqorCLI_Settings fromCommandLine = s;
  if (!server.empty()) {
    std::string error;
    if (!LoadSavedServer(SavedServersFile(), server, s, error)) return usage(error);
    s.Commands = fromCommandLine.Commands;
    if (oTLS->count()) s.TLS.Enabled = true;
    if (oCA->count()) s.TLS.CA = fromCommandLine.TLS.CA;
    if (oVerify->count()) s.TLS.Verify = true;
    if (oCert->count()) s.TLS.Cert = fromCommandLine.TLS.Cert;
    if (oKey->count()) s.TLS.Key = fromCommandLine.TLS.Key;
    if (oConnectTimeout->count()) s.ConnectTimeout = fromCommandLine.ConnectTimeout;
  }
  if (oPort->count()) s.Port = port;
  if (oHost->count()) {
    std::string error;
    if (!SplitHostPort(host, s.Host, s.Port, error)) return usage(error);
  }
  if (s.Host.empty()) return usage("no host");
  if (oProxy->count()) {
    std::string error;
    if (!ParseProxyURL(proxy, s.Proxy, error)) return usage(error);
  }
  if (!s.TLS.CA.empty() || !s.TLS.Cert.empty() || oVerify->count()) s.TLS.Enabled = true;
  if (!s.TLS.Key.empty() && s.TLS.Cert.empty()) return usage("--key needs --cert");

  if (oPassword->count()) {
    s.Password = password;
    s.PasswordOnCommandLine = true;
  } else if (oPasswordFile->count()) {
    std::string value, error;
    if (!ReadPasswordFile(s.PasswordFile, value, error)) return usage(error);
    s.Password = value;
  } else if (const char* env = GetEnv("QORRCON_PASSWORD")) {
    s.Password = env;
  } else if (const char* mcrcon = GetEnv("MCRCON_PASS")) {
    s.Password = mcrcon;
  }
  result.Settings = s;
  return result;
}
