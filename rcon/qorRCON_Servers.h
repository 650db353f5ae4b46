#pragma once
#include <QList>
#include <QString>

class TqorLib_RCON_Client;

// A server the operator keeps: where it is and how the connection reaches it. The list is
// stored with QSettings in INI form (docs/console.md has the format, which the terminal client
// reads too); passwords never go there.
struct TqorRCON_Server {
  QString Name;
  QString Host;
  int Port = 25575;
  QString ProxyType = QStringLiteral("none");  // none, socks4, socks4a, socks5, http
  QString ProxyHost;
  int ProxyPort = 1080;
  QString ProxyUser;
  bool TLS = false;
  QString TLSHandler = QStringLiteral("openssl");  // openssl, schannel
  QString TLSVersion;     // empty (the library's choice), 1.0, 1.1, 1.2, 1.3
  bool TLSVerify = true;  // the chain and the host name
  QString TLSCA, TLSCert, TLSKey;
  QString TLSALPN;  // protocol names, comma-separated
  QString LogFile;
  int Throttle = 0;            // bits per second, 0: off
  int ConnectTimeout = 10000;  // ms

  bool operator==(const TqorRCON_Server&) const = default;
  bool HasProxy() const { return ProxyType != QStringLiteral("none"); }
};

// The passwords a connection may need besides the RCON one.
struct TqorRCON_ServerSecrets {
  QString Proxy;
  QString Key;
};

// The configuration file: aFile when given, else $XDG_CONFIG_HOME/qorRCON/qorRCON.ini.
QString ServersFile(const QString& aFile = QString());
QList<TqorRCON_Server> LoadServers(const QString& aFile);
// False with aError when the file cannot be written.
bool SaveServers(const QString& aFile, const QList<TqorRCON_Server>& aServers, QString& aError);

// Sets aClient's TCP client up for aServer (proxy, TLS, traffic log, throttle, connect time-out);
// host, port and the RCON password stay the caller's.
void ApplyServer(const TqorRCON_Server& aServer, const TqorRCON_ServerSecrets& aSecrets,
                 TqorLib_RCON_Client& aClient);
// Whether a PEM key file is protected by a password (and so needs one to be asked for).
bool KeyFileIsEncrypted(const QString& aFile);
