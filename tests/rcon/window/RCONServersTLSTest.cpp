// Saved servers with TLS, driven through the window: stunnel in front of the demo server,
// alone and behind a SOCKS5 proxy (microsocks), with the traffic log and the throttle.
#include <QElapsedTimer>
#include <QFile>
#include <QInputDialog>
#include <QLabel>

#include "tests/rcon/window/ServerWindow.h"
#include "tests/support/TLSPeers.h"

namespace {

constexpr int kWait = kServerWait;

// microsocks on a free loopback port.
class TSocks {
 public:
  TSocks()
      : FPort(ClosedPort()),
        FProcess({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(FPort)}) {
    Listening = QTest::qWaitFor(
        [&] {
          const int fd = ConnectLoopback(FPort);
          if (fd >= 0) ::close(fd);
          return fd >= 0;
        },
        kWait);
  }
  int Port() const { return FPort; }
  bool Listening = false;

 private:
  uint16_t FPort;
  TChildProcess FProcess;
};

// A TLS terminator (stunnel) in front of the demo server: verified with the CA, refused without
// it (in words), unverified when turned off (and said so), refused for another host name.
TEST_F(RCONServers, TLSVerifiesByDefaultAndExplainsARefusal) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  TStunnel good(server.Port(), "server-chain.pem", "server.key");
  const QString ca = QString::fromStdString(TCertificates::Get().Path("ca.pem"));
  AddServer("tls", good.Port(), [&](TqorRCON_ServerDialog& d) {
    d.grpTLS->setChecked(true);
    EXPECT_TRUE(d.chkTLSVerify->isChecked()) << "secure by default";
    d.txtTLSCA->setText(ca);
  });
  Connect();
  ASSERT_TRUE(WaitForLine("#authenticated")) << Log().toStdString();
  EXPECT_EQ(Window->lblState->text(),
            QStringLiteral("Authenticated on 127.0.0.1:%1 (TLS 1.3)").arg(good.Port()));
  EXPECT_TRUE(Window->actCertificate->isEnabled());
  EXPECT_TRUE(Window->PeerCertificate().startsWith(
      "Subject: /CN=localhost\nIssuer: /CN=qor test intermediate\nExpires: 20"))
      << Window->PeerCertificate().toStdString();
  Disconnect();
  EXPECT_FALSE(Window->actCertificate->isEnabled());

  // The system's CAs do not know the test CA.
  Edit([](TqorRCON_ServerDialog& d) { d.txtTLSCA->clear(); });
  Connect();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Log().contains("#certificate not accepted"); }, kWait))
      << Log().toStdString();
  EXPECT_TRUE(
      Log().contains("#certificate not accepted: the server's certificate was issued by "
                     "a CA that is not trusted here."))
      << Log().toStdString();
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  Disconnect();

  Edit([](TqorRCON_ServerDialog& d) { d.chkTLSVerify->setChecked(false); });
  Connect();
  ASSERT_TRUE(WaitForLine("#authenticated")) << Log().toStdString();
  EXPECT_EQ(Window->lblState->text(),
            QStringLiteral("Authenticated on 127.0.0.1:%1 (TLS 1.3, certificate not verified)")
                .arg(good.Port()));
  Disconnect();

  TStunnel other(server.Port(), "wronghost-chain.pem", "wronghost.key");
  Edit([&](TqorRCON_ServerDialog& d) {
    d.spnPort->setValue(other.Port());
    d.chkTLSVerify->setChecked(true);
    d.txtTLSCA->setText(ca);
  });
  Connect();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Log().contains("#certificate not accepted"); }, kWait))
      << Log().toStdString();
  EXPECT_TRUE(Log().contains(
      "#certificate not accepted: the server's certificate is made out for another address."))
      << Log().toStdString();
}

TEST_F(RCONServers, TLSThroughASocksProxyWithTrafficLogAndThrottle) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  TStunnel tls(server.Port(), "server-chain.pem", "server.key");
  TSocks socks;
  ASSERT_TRUE(socks.Listening);
  const QString traffic = Data.filePath("traffic.log");
  AddServer("far", tls.Port(), [&](TqorRCON_ServerDialog& d) {
    Choose(d.cmbProxyType, "socks5");
    d.txtProxyHost->setText("127.0.0.1");
    d.spnProxyPort->setValue(socks.Port());
    d.grpTLS->setChecked(true);
    d.txtTLSCA->setText(QString::fromStdString(TCertificates::Get().Path("ca.pem")));
    d.txtLogFile->setText(traffic);
    d.spnThrottle->setValue(100000);
  });
  Connect();
  ASSERT_TRUE(WaitForLine("#authenticated")) << Log().toStdString();
  EXPECT_EQ(Window->lblState->text(),
            QStringLiteral("Authenticated on 127.0.0.1:%1 (TLS 1.3 via SOCKS5 127.0.0.1:%2)")
                .arg(tls.Port())
                .arg(socks.Port()));
  // The throttle lets a received block through and rests before the next read: 60000 bytes
  // in TLS records of at most 16 KiB at 100000 bit/s take over three seconds; at least one
  // whatever the machine's load.
  QElapsedTimer clock;
  clock.start();
  Window->txtCommand->setText("long 60000");
  QTest::keyClick(Window->txtCommand, Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Log().contains("line 00937"); }, kWait));
  EXPECT_GE(clock.elapsed(), 1000);
  Disconnect();
  QFile log(traffic);
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_TRUE(log.readAll().contains("long 60000")) << "the traffic log holds what was sent";
}

// A server that asks for a client certificate, speaks only TLS 1.2 and wants ALPN: the
// dialog's certificate, encrypted key (its password asked for at Connect), version and ALPN
// reach it.
TEST_F(RCONServers, ClientCertificateKeyPasswordVersionAndALPN) {
  const TCertificates& certs = TCertificates::Get();
  TSServer tls(
      "server-chain.pem", "server.key",
      {"-Verify", "3", "-CAfile", certs.Path("ca-bundle.pem"), "-alpn", "rcon", "-tls1_2"});
  AddServer("certified", tls.Port(), [&](TqorRCON_ServerDialog& d) {
    d.grpTLS->setChecked(true);
    Choose(d.cmbTLSVersion, "1.2");
    d.txtTLSCA->setText(QString::fromStdString(certs.Path("ca.pem")));
    d.txtTLSCert->setText(QString::fromStdString(certs.Path("client.pem")));
    d.txtTLSKey->setText(QString::fromStdString(certs.Path("client-enc.key")));
    d.txtALPN->setText("rcon");
  });
  QString asked;
  OnNextDialog<QInputDialog>([&](QInputDialog& d) {
    asked = d.labelText();
    d.setTextValue("secret");
    d.accept();
  });
  Connect();
  ASSERT_TRUE(WaitForLine("#connected")) << Log().toStdString();
  EXPECT_EQ(asked, QStringLiteral("Password of the key %1:")
                       .arg(QString::fromStdString(certs.Path("client-enc.key"))));
  EXPECT_EQ(Window->lblState->text(),
            QStringLiteral("Connected to 127.0.0.1:%1 (TLS 1.2)").arg(tls.Port()));
  EXPECT_TRUE(tls.Process().WaitFor("qor test client")) << tls.Process().Output();
  EXPECT_TRUE(tls.Process().WaitFor("ALPN protocols advertised by the client: rcon"))
      << tls.Process().Output();
}

}  // namespace
