// The window's connect runs beside its event loop through every layer: a server, proxy or TLS
// peer that never answers leaves the window responsive, Disconnect cancels, and the server
// sees the one connection the operator asked for.
#include <QElapsedTimer>
#include <QLabel>
#include <memory>

#include "tests/rcon/window/ServerWindow.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptServer.h"

namespace {

// A blocking connect would hold the event loop this long; the window must not.
constexpr int kStallingConnectTimeout = 3000;

// The longest pause between two ticks of a 10 ms timer while it runs.
class TStallMeter {
 public:
  TStallMeter() {
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (FClock.isValid())
        FLongest = std::max(FLongest, FClock.restart());
      else
        FClock.start();
      ++FTicks;
    });
    FTimer.start(10);
  }
  qint64 Longest() const { return std::max(FLongest, FClock.isValid() ? FClock.elapsed() : 0); }
  int Ticks() const { return FTicks; }

 private:
  QTimer FTimer;
  QElapsedTimer FClock;
  qint64 FLongest = 0;
  int FTicks = 0;
};

enum TStall { sHost, sSocks5, sHTTPProxy, sTLS };

class RCONConnect : public RCONServers, public testing::WithParamInterface<TStall> {};

TEST_P(RCONConnect, ASilentPeerNeverStallsTheWindowAndDisconnectCancels) {
  std::unique_ptr<TSilentPeer> host;
  std::unique_ptr<TScriptServer<>> peer;
  int port;
  if (GetParam() == sHost) {
    host = std::make_unique<TSilentPeer>();
    if (!host->Valid()) GTEST_SKIP() << "this sandbox answers every loopback connect";
    port = host->Port();
  } else {
    peer = std::make_unique<TScriptServer<>>([](TScriptPeer& p) { p.WaitClosed(); });
    port = peer->Port();
  }
  AddServer(QStringLiteral("stalled"), port, [&](TqorRCON_ServerDialog& d) {
    d.spnConnectTimeout->setValue(kStallingConnectTimeout);
    if (GetParam() == sTLS) d.grpTLS->setChecked(true);
    if (GetParam() == sSocks5 || GetParam() == sHTTPProxy) {
      Choose(d.cmbProxyType, GetParam() == sSocks5 ? "socks5" : "http");
      d.txtProxyHost->setText(QStringLiteral("127.0.0.1"));
      d.spnProxyPort->setValue(port);
      d.txtHost->setText(QStringLiteral("game.invalid"));  // only the proxy resolves it
      d.spnPort->setValue(27015);
    }
  });

  TStallMeter meter;
  QElapsedTimer click;
  click.start();
  Connect();
  EXPECT_LT(click.elapsed(), kStallingConnectTimeout) << "the click waited for the connect";
  EXPECT_EQ(Window->State(), TConsoleState::Connecting);
  // The attempt is under way (the peer holds the connection), and the loop keeps running.
  if (peer) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->Accepted() == 1; }, kServerWait));
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return meter.Ticks() >= 50; }, kServerWait));
  EXPECT_EQ(Window->State(), TConsoleState::Connecting);
  RecordProperty("longest_stall_ms", static_cast<int>(meter.Longest()));
  EXPECT_LT(meter.Longest(), kStallingConnectTimeout / 3);

  QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  EXPECT_EQ(Log(), QStringLiteral("#connect cancelled"));
  // Nothing of the cancelled attempt follows, and the server saw one connection.
  const int ticks = meter.Ticks();
  ASSERT_TRUE(QTest::qWaitFor([&] { return meter.Ticks() >= ticks + 20; }, kServerWait));
  EXPECT_EQ(Log(), QStringLiteral("#connect cancelled"));
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  if (peer) {
    EXPECT_EQ(peer->Accepted(), 1);
  }
  EXPECT_LT(meter.Longest(), kStallingConnectTimeout / 3);

  // Closing the window during an attempt does not wait for it either.
  Connect();
  if (peer) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->Accepted() == 2; }, kServerWait));
  }
  Window->setAttribute(Qt::WA_DeleteOnClose);
  QElapsedTimer closing;
  closing.start();
  Window->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.isNull(); }, kServerWait));
  EXPECT_LT(closing.elapsed(), kStallingConnectTimeout);
  if (peer) {
    EXPECT_FALSE(peer->Failed());
  }
}

std::string StallName(const testing::TestParamInfo<TStall>& aInfo) {
  static const char* const kNames[] = {"Host", "Socks5", "HTTPProxy", "TLS"};
  return kNames[aInfo.param];
}

INSTANTIATE_TEST_SUITE_P(Layers, RCONConnect, testing::Values(sHost, sSocks5, sHTTPProxy, sTLS),
                         StallName);

// A connect that ends without a connection reports why, in the component's own words.
TEST_F(RCONServers, ARefusedOrTimedOutConnectSaysWhy) {
  AddServer(QStringLiteral("closed"), ClosedPort());
  Connect();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return Window->State() == TConsoleState::Disconnected && !Log().isEmpty(); },
      kServerWait));
  EXPECT_TRUE(Log().startsWith(QStringLiteral("#exception: Socket Error # 10061")))
      << Log().toStdString();

  TSilentPeer host;
  if (!host.Valid()) GTEST_SKIP() << "this sandbox answers every loopback connect";
  Window->Log().Clear();
  AddServer(QStringLiteral("silent"), host.Port(),
            [](TqorRCON_ServerDialog& d) { d.spnConnectTimeout->setValue(300); });
  Connect();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Window->State() == TConsoleState::Disconnected; }, kServerWait));
  EXPECT_EQ(Log(), QStringLiteral("#exception: Connect timed out."));
  EXPECT_TRUE(Window->lblState->text().endsWith(QStringLiteral(": Connect timed out.")))
      << Window->lblState->text().toStdString();
}

}  // namespace
