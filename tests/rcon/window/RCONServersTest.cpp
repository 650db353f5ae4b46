// Saved servers and their connection settings, driven through the window and its settings
// dialog: the stored format, the demo server behind each kind of real proxy server, and the
// passwords in a private secret store.
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QSettings>

#include "rcon/qorRCON_Secrets.h"
#include "tests/rcon/window/ServerWindow.h"
#include "tests/support/ProxyPeers.h"

namespace {

constexpr int kWait = kServerWait;

TEST_F(RCONServers, StoredByNameInTheSharedFormatWithoutPasswords) {
  EXPECT_EQ(Window->cmbServer->count(), 1) << "only (none)";
  AddServer("lobby", 27015, [](TqorRCON_ServerDialog& d) {
    Choose(d.cmbProxyType, "socks5");
    d.txtProxyHost->setText("127.0.0.1");
    d.spnProxyPort->setValue(1080);
    d.txtProxyUser->setText("alice");
    d.txtProxyPassword->setText("proxy-secret");
    d.grpTLS->setChecked(true);
    Choose(d.cmbTLSVersion, "1.3");
    d.txtTLSCA->setText("/etc/rcon/ca.pem");
    d.txtTLSCert->setText("/etc/rcon/client.pem");
    d.txtTLSKey->setText("/etc/rcon/client.key");
    d.txtKeyPassword->setText("key-secret");
    d.txtALPN->setText("rcon, x");
    d.txtLogFile->setText("/var/log/rcon.log");
    d.spnThrottle->setValue(8000);
    d.spnConnectTimeout->setValue(5000);
  });
  QSettings ini(Ini(), QSettings::IniFormat);
  ASSERT_EQ(ini.beginReadArray("servers"), 1);
  ini.setArrayIndex(0);
  const QList<std::pair<QString, QString>> expected = {{"name", "lobby"},
                                                       {"host", "127.0.0.1"},
                                                       {"port", "27015"},
                                                       {"proxy/type", "socks5"},
                                                       {"proxy/host", "127.0.0.1"},
                                                       {"proxy/port", "1080"},
                                                       {"proxy/user", "alice"},
                                                       {"tls/enabled", "true"},
                                                       {"tls/handler", "openssl"},
                                                       {"tls/version", "1.3"},
                                                       {"tls/verify", "true"},
                                                       {"tls/ca", "/etc/rcon/ca.pem"},
                                                       {"tls/cert", "/etc/rcon/client.pem"},
                                                       {"tls/key", "/etc/rcon/client.key"},
                                                       {"tls/alpn", "rcon, x"},
                                                       {"log/file", "/var/log/rcon.log"},
                                                       {"throttle", "8000"},
                                                       {"connectTimeout", "5000"}};
  for (const auto& [key, value] : expected)
    EXPECT_EQ(ini.value(key).toString().toStdString(), value.toStdString()) << key.toStdString();
  EXPECT_EQ(ini.allKeys().size(), expected.size()) << ini.allKeys().join(' ').toStdString();
  ini.endArray();
  QFile file(Ini());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray text = file.readAll();
  for (const char* secret : {"zulu", "proxy-secret", "key-secret"})
    EXPECT_FALSE(text.contains(secret)) << secret;

  // The next day: the server is there by name, and choosing it fills the window.
  AddServer("arena", 27016);
  Open();
  ASSERT_EQ(Window->cmbServer->count(), 3);
  EXPECT_EQ(Window->cmbServer->itemText(1), "lobby");
  Window->ChooseServer("arena");
  EXPECT_EQ(Window->txtHost->text(), "127.0.0.1");
  EXPECT_EQ(Window->txtPort->text(), "27016");
  Window->ChooseServer("lobby");
  EXPECT_EQ(Window->txtPort->text(), "27015");

  // Renamed in place, then deleted.
  Edit([](TqorRCON_ServerDialog& d) { d.txtName->setText("hall"); });
  ASSERT_EQ(Window->Servers().size(), 2);
  EXPECT_EQ(Window->Servers()[0].Name, "hall");
  EXPECT_EQ(Window->Servers()[0].ProxyType, "socks5") << "the rest stays";
  OnNextDialog<TqorRCON_ServerDialog>(
      [](TqorRCON_ServerDialog& d) { d.findChild<QPushButton*>("btnDelete")->click(); });
  QTest::mouseClick(Window->btnSettings, Qt::LeftButton);
  ASSERT_EQ(LoadServers(Ini()).size(), 1);
  EXPECT_EQ(LoadServers(Ini())[0].Name, "arena");
  EXPECT_EQ(Window->cmbServer->count(), 2);
}

struct TProxyKind {
  const char* Peer;
  const char* Type;
  const char* Shown;
  bool Auth;
};

// Every proxy type against a real proxy server, the password asked for where it is not
// remembered; the state line names the proxy.
TEST_F(RCONServers, EachProxyTypeCarriesTheSession) {
  const TProxyKind kinds[] = {{"microsocks", "socks5", "SOCKS5", true},
                              {"danted", "socks4", "SOCKS4", false},
                              {"ssh", "socks4a", "SOCKS4A", false},
                              {"danted", "socks5", "SOCKS5", false},
                              {"tinyproxy", "http", "HTTP proxy", true}};
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  for (const TProxyKind& k : kinds) {
    SCOPED_TRACE(std::string(k.Peer) + " " + k.Type);
    const std::string missing = MissingProgram(ProgramsOf(k.Peer));
    if (!missing.empty()) {
      ADD_FAILURE() << "not installed: " << missing;  // tools/setup-deps.sh installs it
      continue;
    }
    if (std::string(k.Peer) == "ssh" && getuid() != 0) continue;  // sshd needs root here
    auto peer = k.Auth ? StartProxyPeer(k.Peer, "alice", "s3cret") : StartProxyPeer(k.Peer);
    const QString name = QStringLiteral("%1 %2").arg(k.Peer, k.Type);
    AddServer(name, server.Port(), [&](TqorRCON_ServerDialog& d) {
      Choose(d.cmbProxyType, k.Type);
      d.txtProxyHost->setText("127.0.0.1");
      d.spnProxyPort->setValue(peer->Port);
      if (k.Auth) d.txtProxyUser->setText("alice");
    });
    // Not remembered and not typed: asked for at Connect.
    QString asked;
    if (k.Auth) {
      OnNextDialog<QInputDialog>([&](QInputDialog& d) {
        asked = d.labelText();
        d.setTextValue("s3cret");
        d.accept();
      });
    }
    Connect();
    ASSERT_TRUE(WaitForLine("#authenticated")) << Log().toStdString();
    if (k.Auth) {
      EXPECT_EQ(asked, "Password of alice on the proxy 127.0.0.1:");
    }
    EXPECT_EQ(Window->lblState->text(),
              QStringLiteral("Authenticated on 127.0.0.1:%1 (via %2 127.0.0.1:%3)")
                  .arg(server.Port())
                  .arg(k.Shown)
                  .arg(peer->Port));
    Window->txtCommand->setText("echo through");
    QTest::keyClick(Window->txtCommand, Qt::Key_Return);
    ASSERT_TRUE(WaitForLine("through")) << Log().toStdString();
    Disconnect();
  }
}

TEST_F(RCONServers, PasswordsAreRememberedInTheSecretStoreOnRequest) {
  if (!SecretStoreRunning()) GTEST_SKIP() << "gnome-keyring and dbus-daemon are not installed";
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  AddServer("kept", server.Port(), [](TqorRCON_ServerDialog& d) {
    Choose(d.cmbProxyType, "socks5");
    d.txtProxyHost->setText("127.0.0.1");
    d.txtProxyUser->setText("alice");
    d.txtProxyPassword->setText("proxy-pw");
    d.grpTLS->setChecked(true);
    d.txtKeyPassword->setText("key-pw");
    d.chkRemember->setChecked(true);
  });
  QString value, error;
  for (auto [key, expected] :
       {std::pair{"kept/rcon", "zulu"}, {"kept/proxy", "proxy-pw"}, {"kept/key", "key-pw"}}) {
    ASSERT_TRUE(qorRCONSecrets::Read(key, value, error)) << key << ": " << error.toStdString();
    EXPECT_EQ(value, expected);
  }
  // Another run takes it from the store.
  Open();
  Window->ChooseServer("kept");
  EXPECT_EQ(Window->txtPassword->text(), "zulu");
  OnNextDialog<TqorRCON_ServerDialog>([](TqorRCON_ServerDialog& d) {
    EXPECT_TRUE(d.chkRemember->isChecked());
    EXPECT_EQ(d.txtProxyPassword->text(), "proxy-pw");
    d.chkRemember->setChecked(false);
    d.btnBox->button(QDialogButtonBox::Save)->click();
  });
  QTest::mouseClick(Window->btnSettings, Qt::LeftButton);
  for (const char* key : {"kept/rcon", "kept/proxy", "kept/key"}) {
    EXPECT_FALSE(qorRCONSecrets::Read(key, value, error)) << key;
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
  }
  Open();
  Window->ChooseServer("kept");
  EXPECT_TRUE(Window->txtPassword->text().isEmpty()) << "asked for: typed into the field";
  EXPECT_TRUE(Window->txtPassword->hasFocus() || !Window->isActiveWindow());
}

}  // namespace
