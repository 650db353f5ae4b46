#include "rcon/qorRCON_Servers.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include "rcon/qorLib_RCON_Client.h"

namespace {

std::string Std(const QString& aText) {
  return aText.toStdString();
}

}  // namespace

QString ServersFile(const QString& aFile) {
  if (!aFile.isEmpty()) return aFile;
  return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
      .filePath(QStringLiteral("qorRCON/qorRCON.ini"));
}

QList<TqorRCON_Server> LoadServers(const QString& aFile) {
  QSettings ini(aFile, QSettings::IniFormat);
  QList<TqorRCON_Server> servers;
  const int n = ini.beginReadArray(QStringLiteral("servers"));
  for (int i = 0; i < n; ++i) {
    ini.setArrayIndex(i);
    TqorRCON_Server s;
    s.Name = ini.value(QStringLiteral("name")).toString();
    if (s.Name.isEmpty()) continue;
    s.Host = ini.value(QStringLiteral("host")).toString();
    s.Port = ini.value(QStringLiteral("port"), s.Port).toInt();
    s.ProxyType = ini.value(QStringLiteral("proxy/type"), s.ProxyType).toString();
    s.ProxyHost = ini.value(QStringLiteral("proxy/host")).toString();
    s.ProxyPort = ini.value(QStringLiteral("proxy/port"), s.ProxyPort).toInt();
    s.ProxyUser = ini.value(QStringLiteral("proxy/user")).toString();
    s.TLS = ini.value(QStringLiteral("tls/enabled"), false).toBool();
    s.TLSHandler = ini.value(QStringLiteral("tls/handler"), s.TLSHandler).toString();
    s.TLSVersion = ini.value(QStringLiteral("tls/version")).toString();
    s.TLSVerify = ini.value(QStringLiteral("tls/verify"), true).toBool();
    s.TLSCA = ini.value(QStringLiteral("tls/ca")).toString();
    s.TLSCert = ini.value(QStringLiteral("tls/cert")).toString();
    s.TLSKey = ini.value(QStringLiteral("tls/key")).toString();
    s.TLSALPN = ini.value(QStringLiteral("tls/alpn")).toString();
    s.LogFile = ini.value(QStringLiteral("log/file")).toString();
    s.Throttle = ini.value(QStringLiteral("throttle"), 0).toInt();
    s.ConnectTimeout = ini.value(QStringLiteral("connectTimeout"), s.ConnectTimeout).toInt();
    servers.append(s);
  }
  ini.endArray();
  return servers;
}

bool SaveServers(const QString& aFile, const QList<TqorRCON_Server>& aServers, QString& aError) {
  QDir().mkpath(QFileInfo(aFile).absolutePath());
  QSettings ini(aFile, QSettings::IniFormat);
  ini.remove(QStringLiteral("servers"));
  ini.beginWriteArray(QStringLiteral("servers"), int(aServers.size()));
  for (int i = 0; i < aServers.size(); ++i) {
    const TqorRCON_Server& s = aServers[i];
    ini.setArrayIndex(i);
    ini.setValue(QStringLiteral("name"), s.Name);
    ini.setValue(QStringLiteral("host"), s.Host);
    ini.setValue(QStringLiteral("port"), s.Port);
    ini.setValue(QStringLiteral("proxy/type"), s.ProxyType);
    ini.setValue(QStringLiteral("proxy/host"), s.ProxyHost);
    ini.setValue(QStringLiteral("proxy/port"), s.ProxyPort);
    ini.setValue(QStringLiteral("proxy/user"), s.ProxyUser);
    ini.setValue(QStringLiteral("tls/enabled"), s.TLS);
    ini.setValue(QStringLiteral("tls/handler"), s.TLSHandler);
    ini.setValue(QStringLiteral("tls/version"), s.TLSVersion);
    ini.setValue(QStringLiteral("tls/verify"), s.TLSVerify);
    ini.setValue(QStringLiteral("tls/ca"), s.TLSCA);
    ini.setValue(QStringLiteral("tls/cert"), s.TLSCert);
    ini.setValue(QStringLiteral("tls/key"), s.TLSKey);
    ini.setValue(QStringLiteral("tls/alpn"), s.TLSALPN);
    ini.setValue(QStringLiteral("log/file"), s.LogFile);
    ini.setValue(QStringLiteral("throttle"), s.Throttle);
    ini.setValue(QStringLiteral("connectTimeout"), s.ConnectTimeout);
  }
  ini.endArray();
  ini.sync();
  if (ini.status() != QSettings::NoError) {
    aError = QStringLiteral("cannot write %1").arg(aFile);
    return false;
  }
  return true;
}

void ApplyServer(const TqorRCON_Server& aServer, const TqorRCON_ServerSecrets& aSecrets,
                 TqorLib_RCON_Client& aClient) {
  TqorTCPCLient& tcp = *aClient.TCPClient();
  aClient.SetConnectTimeout(aServer.ConnectTimeout);

  TqorTCPProxy_Options& proxy = tcp.Proxy();
  proxy.SetEnabled(aServer.HasProxy());
  const QString type = aServer.ProxyType;
  proxy.SetProxyType(type == QStringLiteral("socks4")    ? pxySocks4
                     : type == QStringLiteral("socks4a") ? pxySocks4A
                     : type == QStringLiteral("socks5")  ? pxySocks5
                                                         : pxyHTTP);
  proxy.SetHost(Std(aServer.ProxyHost));
  proxy.SetPort(aServer.ProxyPort);
  proxy.SetUsername(Std(aServer.ProxyUser));
  proxy.SetPassword(Std(aSecrets.Proxy));

  tcp.SetTLS(aServer.TLS);
  TqorTCPTLS_Options& tls = tcp.TLSOptions();
  tls.SetIOHandler(aServer.TLSHandler == QStringLiteral("schannel") ? iohSChannel : iohOpenSSL);
  const QString v = aServer.TLSVersion;
  tls.SetVersion(v == QStringLiteral("1.0")   ? tls1_0
                 : v == QStringLiteral("1.1") ? tls1_1
                 : v == QStringLiteral("1.2") ? tls1_2
                 : v == QStringLiteral("1.3") ? tls1_3
                                              : tlsUndefined);
  tls.SetVerifyCertificate(aServer.TLSVerify);
  tls.SetRootCertFile(Std(aServer.TLSCA));
  tls.SetCertFile(Std(aServer.TLSCert));
  tls.SetKeyFile(Std(aServer.TLSKey));
  tls.SetPassword(Std(aSecrets.Key));
  tls.ALPNProtocols().Clear();
  for (const QString& p : aServer.TLSALPN.split(QLatin1Char(','), Qt::SkipEmptyParts))
    tls.ALPNProtocols().Add(Std(p.trimmed()));

  tcp.LogFile().SetFileName(Std(aServer.LogFile));
  tcp.LogFile().SetEnabled(!aServer.LogFile.isEmpty());
  tcp.Throttle().SetBitsPerSec(aServer.Throttle);
  tcp.Throttle().SetEnabled(aServer.Throttle > 0);
}

bool KeyFileIsEncrypted(const QString& aFile) {
  QFile f(aFile);
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QByteArray text = f.read(64 * 1024);
  return text.contains("ENCRYPTED");
}
