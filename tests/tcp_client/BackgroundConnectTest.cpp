// A connect that runs on the reading thread: the activation returns at once, every stage of
// the connect (TCP, proxy, TLS) can be cancelled by a deactivation or the component's end, and
// the outcome reaches the handlers as a foreground connect's does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "tests/support/DeliveryModes.h"
#include "tests/support/ScriptServer.h"
#include "tests/tcp_client/TCPClientTestKit.h"
#include "transport/IdException.h"
#include "transport/IdStack.h"
#include "transport/IdWakeSignal.h"

namespace {

using TServer = TScriptServer<>;
using Clock = std::chrono::steady_clock;

// Far beyond any cancel, so that a cancel that does not work fails the test instead of
// passing by the time-out.
constexpr int kLongConnectTimeout = 60000;

void Configure(TqorTCPCLient& aClient, int aPort, TwsNotifyEvent aMode) {
  aClient.SetHost("127.0.0.1");
  aClient.SetPort(aPort);
  aClient.SetNotifyEvents(aMode);
  aClient.SetConnectInBackground(true);
  aClient.SetConnectTimeout(kLongConnectTimeout);
}

int64_t MsSince(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

class BackgroundConnect : public ::testing::TestWithParam<TwsNotifyEvent> {};

TEST_P(BackgroundConnect, ConnectsReadsAndDisconnectsLikeAForegroundConnect) {
  TServer LServer([](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("hello"));
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  LClient.SetActive(true);
  EXPECT_NE(LClient.State(), tcpsIdle);
  ASSERT_TRUE(WaitUntil([&] { return LLog.Count() >= 2; })) << testing::PrintToString(LLog.Texts());
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "binary hello"}));
  // The handlers run where the mode says, as after a foreground connect.
  EXPECT_EQ(LLog.Get()[0].OnMainThread, GetParam() != neNoSync);
  EXPECT_TRUE(LClient.Active());
  LClient.SetActive(false);
  EXPECT_EVENTUALLY(LLog.Count() == 3);
  EXPECT_EQ(LLog.Texts().back(), "disconnect 127.0.0.1");
  EXPECT_EQ(LServer.Accepted(), 1);
  EXPECT_FALSE(LServer.Failed());
}

TEST_P(BackgroundConnect, AFailureIsReportedOnceAndTheNextActivationConnects) {
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, ClosedPort(), GetParam());
  LLog.Hook(LClient);
  LClient.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return LLog.Count() == 1; }));
  EXPECT_EQ(LLog.Texts()[0].rfind("exception Socket Error # 10061", 0), 0u) << LLog.Texts()[0];
  EXPECT_EQ(LClient.State(), tcpsIdle);
  EXPECT_FALSE(LClient.Active());

  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  LLog.Clear();
  LClient.SetPort(LServer.Port());
  LClient.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return LClient.Active(); }));
  LClient.SetActive(false);
  EXPECT_EVENTUALLY(LLog.Count() == 2);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "disconnect 127.0.0.1"}));
  EXPECT_FALSE(LServer.Failed());
}

// A handler of the failure retries at once, on whatever thread the mode runs it.
TEST_P(BackgroundConnect, AHandlerRetriesAfterAFailedConnect) {
  TServer LServer([](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("up"));
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, ClosedPort(), GetParam());
  LLog.Hook(LClient);
  std::atomic<int> LFailures{0};
  LClient.SetOnException([&](TqorTCPConnection* c, Exception& E) {
    LLog.Add("exception " + E.Message(), c);
    if (++LFailures > 1) return;
    LClient.SetPort(LServer.Port());
    LClient.SetActive(true);
  });
  LClient.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return LLog.Count() >= 3; })) << testing::PrintToString(LLog.Texts());
  const auto LTexts = LLog.Texts();
  EXPECT_EQ(LTexts[0].rfind("exception Socket Error # 10061", 0), 0u) << LTexts[0];
  EXPECT_EQ(std::vector<std::string>(LTexts.begin() + 1, LTexts.end()),
            (std::vector<std::string>{"connect", "binary up"}));
  LClient.SetActive(false);
  EXPECT_EVENTUALLY(LLog.Count() == 4);
  EXPECT_EQ(LServer.Accepted(), 1);
  EXPECT_FALSE(LServer.Failed());
}

TEST_P(BackgroundConnect, AnActivationWhileConnectingMakesNoSecondConnection) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  for (int i = 0; i < 3; ++i) LClient.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return LClient.Active() && LLog.Count() == 1; }));
  LClient.SetActive(true);
  LClient.SetActive(false);
  EXPECT_EVENTUALLY(LLog.Count() == 2);
  EXPECT_TRUE(LServer.WaitFinished(1));
  EXPECT_EQ(LServer.Accepted(), 1);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "disconnect 127.0.0.1"}));
  EXPECT_FALSE(LServer.Failed());
}

// Where a connect can stall: the TCP connect itself, or a peer that takes the connection and
// never answers the proxy or TLS handshake.
enum TStall { sTCP, sSocks5, sHTTPProxy, sTLS };

struct TStallCase {
  TStall Stall;
  TwsNotifyEvent Mode;
};

class StalledConnect : public ::testing::TestWithParam<TStallCase> {
 protected:
  // A client connecting in the background to a peer that stalls it.
  void Start(TqorTCPCLient& aClient) {
    const TStallCase LCase = GetParam();
    if (LCase.Stall == sTCP) {
      FSilent = std::make_unique<TSilentPeer>();
      if (!FSilent->Valid()) GTEST_SKIP() << "this sandbox answers every loopback connect";
      Configure(aClient, FSilent->Port(), LCase.Mode);
    } else {
      FServer = std::make_unique<TServer>([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
      Configure(aClient, FServer->Port(), LCase.Mode);
      if (LCase.Stall == sTLS) {
        aClient.SetTLS(true);
      } else {
        aClient.Proxy().SetEnabled(true);
        aClient.Proxy().SetProxyType(LCase.Stall == sSocks5 ? pxySocks5 : pxyHTTP);
        aClient.Proxy().SetHost("127.0.0.1");
        aClient.Proxy().SetPort(FServer->Port());
        aClient.SetHost("game.invalid");  // the proxy resolves it; this one never answers
      }
    }
    FLog.Hook(aClient);
    const auto LStart = Clock::now();
    aClient.SetActive(true);
    FActivationMs = MsSince(LStart);
    // The connect is under way: the peer holds the connection (or the SYN waits).
    if (FServer) {
      ASSERT_TRUE(WaitUntil([&] { return FServer->Accepted() == 1; }));
    }
    EXPECT_EQ(aClient.State(), tcpsConnecting);
  }

  std::unique_ptr<TSilentPeer> FSilent;
  std::unique_ptr<TServer> FServer;
  TEventLog FLog;
  int64_t FActivationMs = 0;
};

TEST_P(StalledConnect, TheActivationReturnsAndADeactivationCancelsSilently) {
  TqorTCPCLient LClient(nullptr);
  Start(LClient);
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_LT(FActivationMs, 1000) << "the activation waited for the connect";
  const auto LStart = Clock::now();
  LClient.SetActive(false);
  EXPECT_LT(MsSince(LStart), 5000) << "the deactivation waited for the stalled connect";
  EXPECT_EQ(LClient.State(), tcpsIdle);
  EXPECT_FALSE(LClient.Active());
  PumpFor(50);  // anything queued for the main thread would be delivered now
  EXPECT_TRUE(FLog.Texts().empty()) << testing::PrintToString(FLog.Texts());
  if (FServer) {
    EXPECT_EQ(FServer->Accepted(), 1);
  }

  // The cancel is spent: the next activation connects as far as before.
  LClient.SetActive(true);
  EXPECT_EQ(LClient.State(), tcpsConnecting);
  if (FServer) {
    ASSERT_TRUE(WaitUntil([&] { return FServer->Accepted() == 2; }));
  }
  LClient.SetActive(false);
  EXPECT_EQ(LClient.State(), tcpsIdle);
  if (FServer) {
    EXPECT_FALSE(FServer->Failed());
  }
}

TEST_P(StalledConnect, TheComponentsEndCancels) {
  auto LClient = std::make_unique<TqorTCPCLient>(nullptr);
  Start(*LClient);
  if (IsSkipped() || HasFatalFailure()) return;
  const auto LStart = Clock::now();
  LClient.reset();
  EXPECT_LT(MsSince(LStart), 5000);
  PumpFor(50);
  EXPECT_TRUE(FLog.Texts().empty()) << testing::PrintToString(FLog.Texts());
  if (FServer) {
    EXPECT_FALSE(FServer->Failed());
  }
}

std::string StallCaseName(const ::testing::TestParamInfo<TStallCase>& aInfo) {
  static const char* const LStalls[] = {"TCP", "Socks5", "HTTPProxy", "TLS"};
  return std::string(LStalls[aInfo.param.Stall]) + DeliveryModeName(aInfo.param.Mode);
}

std::vector<TStallCase> AllStallCases() {
  std::vector<TStallCase> LCases;
  for (TStall LStall : {sTCP, sSocks5, sHTTPProxy, sTLS})
    for (TwsNotifyEvent LMode : {neNoSync, neAsynchronous, neSynchronous})
      LCases.push_back({LStall, LMode});
  return LCases;
}

INSTANTIATE_TEST_SUITE_P(Delivery, BackgroundConnect, AllDeliveryModes(), DeliveryModeParamName);
INSTANTIATE_TEST_SUITE_P(Stages, StalledConnect, ::testing::ValuesIn(AllStallCases()),
                         StallCaseName);

// A lookup runs on a helper when it can be cancelled: the answer is the direct lookup's, and
// a raised cancel ends the wait before any lookup.
TEST(CancellableLookup, AnswersAsTheDirectLookupAndStopsAtTheCancel) {
  TIdStack::IncUsage();
  struct TUsage {
    ~TUsage() { TIdStack::DecUsage(); }
  } LUsage;
  TIdWakeSignal LCancel;
  const std::string LName = GStack()->HostName();
  ASSERT_FALSE(LName.empty());
  std::string LDirect, LHelped;
  try {
    LDirect = GStack()->ResolveHost(LName, Id_IPv4);
  } catch (const EIdSocketError& E) {
    LDirect = "error " + std::to_string(E.LastError());
  }
  try {
    LHelped = GStack()->ResolveHost(LName, Id_IPv4, &LCancel);
  } catch (const EIdSocketError& E) {
    LHelped = "error " + std::to_string(E.LastError());
  }
  EXPECT_EQ(LHelped, LDirect);
  LCancel.Raise();
  EXPECT_THROW(GStack()->ResolveHost(LName, Id_IPv4, &LCancel), EIdConnectCancelled);
  // Address literals need no lookup and no helper.
  EXPECT_EQ(GStack()->ResolveHost("127.0.0.1", Id_IPv4, &LCancel), "127.0.0.1");
}

}  // namespace
