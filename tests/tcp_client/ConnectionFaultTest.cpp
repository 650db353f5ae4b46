// Connections that end in ways other than the happy road: resets, write errors, handlers that
// deactivate or reconnect, handlers that throw, and socket options the kernel refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "tests/support/DeliveryModes.h"
#include "tests/support/EscapedExceptions.h"
#include "tests/support/ScriptServer.h"
#include "tests/tcp_client/TCPClientTestKit.h"
#include "transport/IdException.h"

namespace {

using TServer = TScriptServer<>;

void Configure(TqorTCPCLient& aClient, int aPort, TwsNotifyEvent aMode) {
  aClient.SetHost("127.0.0.1");
  aClient.SetPort(aPort);
  aClient.SetNotifyEvents(aMode);
}

const std::string kReset = "exception Socket Error # 10054\r\nConnection reset by peer.";

class ConnectionFaults : public ::testing::TestWithParam<TwsNotifyEvent> {};

// After a reset the connection ends as after any failed read, and the next activation
// connects again.
void ExpectEndedThenReconnects(TqorTCPCLient& aClient, TEventLog& aLog, int aAccepted,
                               const std::function<int()>& aServerAccepted) {
  ASSERT_TRUE(WaitUntil([&] {
    return aLog.Count() > 0 && aLog.Texts().back() == "disconnect 127.0.0.1";
  })) << testing::PrintToString(aLog.Texts());
  EXPECT_FALSE(aClient.Active()) << "Active still reads True after the connection failed";
  EXPECT_EQ(aClient.Connection(), nullptr);
  PumpFor(30);
  const auto LTexts = aLog.Texts();
  ASSERT_GE(LTexts.size(), 2u);
  EXPECT_EQ(LTexts[LTexts.size() - 2], kReset);
  EXPECT_EQ(LTexts.back(), "disconnect 127.0.0.1");
  aLog.Clear();
  aClient.SetActive(true);
  EXPECT_EQ(aLog.Texts(), std::vector<std::string>{"connect"});
  EXPECT_TRUE(aClient.Active());
  EXPECT_EVENTUALLY(aServerAccepted() == aAccepted + 1);
  aClient.SetActive(false);
}

TEST_P(ConnectionFaults, ResetWhileIdleEndsTheConnection) {
  std::atomic<bool> LGo{false}, LDone{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (LDone) return aPeer.WaitClosed(), void();  // the reconnection stays until closed
    if (!WaitUntil([&] { return LGo.load(); })) return;
    aPeer.Reset();
    LDone = true;
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  LClient.SetActive(true);
  ASSERT_TRUE(LClient.Active());
  LGo = true;
  ExpectEndedThenReconnects(LClient, LLog, 1, [&] { return LServer.Accepted(); });
  EXPECT_FALSE(LServer.Failed());
}

TEST_P(ConnectionFaults, ResetWhileReadingALongAnswerEndsTheConnection) {
  std::atomic<bool> LSent{false}, LConnected{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (LSent) return aPeer.WaitClosed(), void();  // the reconnection stays until closed
    if (!WaitUntil([&] { return LConnected.load(); })) return;
    aPeer.Send(TBytes(1 << 20, 'x'));
    aPeer.Reset();
    LSent = true;
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  LClient.SetOnBinary([&](TqorTCPConnection*, TMemoryStream&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a slow reader
  });
  LClient.SetActive(true);
  LConnected = true;  // a reset before the connect has completed would fail the connect itself
  ASSERT_EVENTUALLY(LSent.load());
  ExpectEndedThenReconnects(LClient, LLog, 1, [&] { return LServer.Accepted(); });
}

// The write error reaches the writer; the connection then ends like after a failed read.
TEST_P(ConnectionFaults, ErrorOnWriteEndsTheConnection) {
  std::atomic<bool> LReset{false}, LConnected{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (LReset) return aPeer.WaitClosed(), void();  // the reconnection stays until closed
    if (!WaitUntil([&] { return LConnected.load(); })) return;
    aPeer.Reset();
    LReset = true;
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  // No reading thread sees the reset before the write does: the write meets it.
  LClient.SetOnConnect([&](TqorTCPConnection* c) {
    LLog.Add("connect", c);
    LConnected = true;
    WaitUntil([&] { return LReset.load(); });
    bool LRaised = false;
    for (int i = 0; i < 500 && !LRaised; ++i) {  // until the RST has arrived
      try {
        LClient.WriteData(TBytes(100, 'w'));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } catch (EIdSocketError& E) {
        LRaised = true;
        LLog.Add("write failed " + std::to_string(E.LastError()), c);
      }
    }
  });
  LClient.SetActive(true);
  auto LEnded = [&] {
    const auto LTexts = LLog.Texts();
    return std::find(LTexts.begin(), LTexts.end(), "disconnect 127.0.0.1") != LTexts.end();
  };
  ASSERT_TRUE(WaitUntil(LEnded)) << testing::PrintToString(LLog.Texts());
  EXPECT_FALSE(LClient.Active());
  PumpFor(30);
  const auto LTexts = LLog.Texts();
  ASSERT_GE(LTexts.size(), 3u);
  EXPECT_EQ(LTexts[0], "connect");
  EXPECT_EQ(LTexts[1], "write failed 10054");
  EXPECT_NE(std::find(LTexts.begin(), LTexts.end(), "disconnect 127.0.0.1"), LTexts.end());
  LLog.Clear();
  LClient.SetOnConnect([&](TqorTCPConnection* c) { LLog.Add("connect", c); });
  LClient.SetActive(true);
  EXPECT_EQ(LLog.Texts(), std::vector<std::string>{"connect"});
  LClient.SetActive(false);
}

// Deactivating inside OnBinary while a long answer still arrives: no event of that
// connection follows its OnDisconnect.
TEST_P(ConnectionFaults, NoEventOfAConnectionAfterItsDisconnect) {
  std::atomic<bool> LAllSent{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    try {
      for (int i = 0; i < 64; ++i) aPeer.Send(TBytes(4096, 'a'));
      LAllSent = true;
    } catch (const std::exception&) {
    }
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  std::atomic<bool> LDone{false};
  LClient.SetOnBinary([&](TqorTCPConnection* c, TMemoryStream&) {
    LLog.Add("binary", c);
    // The rest of the answer arrives before the close.
    EXPECT_TRUE(WaitUnpumped([&] { return LAllSent.load(); }));
    LClient.SetActive(false);
    LDone = true;
  });
  LClient.SetActive(true);
  ASSERT_EVENTUALLY(LDone.load());
  PumpFor(100);
  const auto LTexts = LLog.Texts();
  ASSERT_GE(LTexts.size(), 3u);
  EXPECT_EQ(LTexts.back(), "disconnect 127.0.0.1") << testing::PrintToString(LTexts);
  EXPECT_EQ(std::count(LTexts.begin(), LTexts.end(), "binary"), 1);
}

// Reconnecting inside OnDisconnect after the server closed gives the events of doing it
// right after the handler.
TEST(ConnectionOrder, ReconnectInsideOnDisconnectKeepsTheOrderOfEvents) {
  std::atomic<int> LSessions{0};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (++LSessions > 1) aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  bool LReconnected = false;
  std::mutex LLock;
  LClient.SetOnDisconnect([&](TqorTCPConnection* c) {
    LLog.Add("disconnect", c);
    std::lock_guard<std::mutex> LGuard(LLock);
    if (!LReconnected) {
      LReconnected = true;
      LClient.SetActive(true);
    }
  });
  LClient.SetActive(true);
  ASSERT_EVENTUALLY(LLog.Count() >= 4) << testing::PrintToString(LLog.Texts());
  PumpFor(50);
  EXPECT_EQ(LLog.Texts(),
            (std::vector<std::string>{"connect", "disconnect",
                                      "exception Connection Closed Gracefully.", "connect"}));
  EXPECT_TRUE(LClient.Active());
  LClient.SetActive(false);
}

// A handler run by the main thread's pump while Active := False waits for the reading thread
// reconnects or deactivates: one defined result, no use of freed memory (run under ASan).
TEST_P(ConnectionFaults, HandlersMayActivateWhileADeactivationWaits) {
  std::atomic<int> LSent{0};
  TServer LServer([&](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("tick"));
    ++LSent;
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  std::atomic<int> LBinaries{0};
  LClient.SetOnBinary([&](TqorTCPConnection* c, TMemoryStream&) {
    LLog.Add("binary", c);
    if (++LBinaries == 1) {
      LClient.SetActive(false);
      LClient.SetActive(true);
    }
  });
  TMainThreadPosts LPosts;
  LClient.SetActive(true);
  // The answer arrives: handed to the handler (neNoSync) or queued for the main thread, which
  // does not pump until it deactivates; (neSynchronous) its reading thread waits meanwhile.
  ASSERT_TRUE(WaitUnpumped([&] { return LBinaries > 0 || LPosts.Posts() > 0; }));
  LClient.SetActive(false);
  PumpFor(50);
  LClient.SetActive(false);
  EXPECT_FALSE(LClient.Active());
  EXPECT_EQ(LClient.Connection(), nullptr);
  const auto LTexts = LLog.Texts();
  // Every connect is matched by one disconnect.
  EXPECT_EQ(std::count(LTexts.begin(), LTexts.end(), "connect"),
            std::count(LTexts.begin(), LTexts.end(), "disconnect 127.0.0.1"))
      << testing::PrintToString(LTexts);
}

// A handler that throws gets its exception to the application; the item is not handed out
// again, so every byte arrives exactly once.
TEST_P(ConnectionFaults, AThrowingHandlerSeesEveryFrameOnce) {
  std::atomic<int> LStep{0};
  TServer LServer([&](TScriptPeer& aPeer) {
    int LAt = 0;
    for (const char* LText : {"first", "second", "third"}) {
      aPeer.Send(Bytes(LText));
      ++LAt;
      WaitUntil([&] { return LStep >= LAt; });
    }
    aPeer.WaitClosed();
  });
  TEscapedExceptions LEscaped;
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  LClient.SetOnBinary([&](TqorTCPConnection* c, TMemoryStream& aData) {
    const std::string LText(reinterpret_cast<const char*>(aData.Memory()),
                            static_cast<size_t>(aData.Size()));
    LLog.Add("binary " + LText, c);
    ++LStep;
    if (LText == "second") throw Exception("handler failed");
  });
  LClient.SetActive(true);
  ASSERT_EVENTUALLY(LStep >= 3);
  PumpFor(50);
  LClient.SetActive(false);
  std::vector<std::string> LBinaries;
  for (const std::string& LText : LLog.Texts())
    if (LText.rfind("binary", 0) == 0) LBinaries.push_back(LText);
  EXPECT_EQ(LBinaries, (std::vector<std::string>{"binary first", "binary second", "binary third"}));
  if (GetParam() == neAsynchronous) {
    EXPECT_EQ(LEscaped.Messages(), std::vector<std::string>{"handler failed"});
  } else {
    // Direct and synchronised deliveries hand it back to the client, which reports it.
    EXPECT_TRUE(LEscaped.Messages().empty());
    const auto LTexts = LLog.Texts();
    EXPECT_EQ(std::count(LTexts.begin(), LTexts.end(), "exception handler failed"), 1);
  }
}

// Active := False inside OnConnect: the application's own close is not reported as the
// server's.
TEST_P(ConnectionFaults, DeactivationInsideOnConnectIsNoFailure) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  LClient.SetOnConnect([&](TqorTCPConnection* c) {
    LLog.Add("connect", c);
    LClient.SetActive(false);
  });
  LClient.SetActive(true);
  PumpFor(100);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "disconnect 127.0.0.1"}));
  EXPECT_FALSE(LClient.Active());
}

// Exceptions reach OnException in the order raised, with their own class and fields.
TEST_P(ConnectionFaults, ExceptionsKeepTheirClassAndOrder) {
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, ClosedPort(), GetParam());
  int LLastError = 0;
  std::string LClass;
  LClient.SetOnException([&](TqorTCPConnection* c, Exception& E) {
    LLog.Add("exception", c);
    LClass = E.ClassName();
    if (auto* LSocketError = dynamic_cast<EIdSocketError*>(&E))
      LLastError = LSocketError->LastError();
  });
  LClient.SetActive(true);
  PumpFor(20);
  EXPECT_EQ(LLog.Texts(), std::vector<std::string>{"exception"});
  EXPECT_EQ(LClass, "EIdSocketError");
  EXPECT_EQ(LLastError, 10061);
}

INSTANTIATE_TEST_SUITE_P(Delivery, ConnectionFaults, AllDeliveryModes(), DeliveryModeParamName);

// A failure on the main thread while a notification of another thread still waits in the
// main thread's queue: both arrive, in the order they were raised, the second as itself.
TEST(ConnectionOrder, ExceptionsRaisedOnTheMainThreadAreNotDeferred) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.Send(Bytes("bye")); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  std::string LClass;
  LClient.SetOnException([&](TqorTCPConnection* c, Exception& E) {
    LLog.Add("exception " + E.Message(), c);
    LClass = E.ClassName();
  });
  TMainThreadPosts LPosts;
  LClient.SetActive(true);
  // The server's close is queued, not yet delivered: the main thread has not pumped.
  ASSERT_TRUE(WaitUnpumped([&] { return !LClient.Active() && LPosts.Posts() > 0; }));
  LClient.SetPort(ClosedPort());
  LClient.SetActive(true);  // fails on the main thread
  PumpFor(50);
  const auto LTexts = LLog.Texts();
  ASSERT_EQ(LTexts.size(), 5u) << testing::PrintToString(LTexts);
  EXPECT_EQ(LTexts.back(), "exception Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(LClass, "EIdSocketError");
}

// The kernel refuses a keep-alive idle time beyond its limit: the activation fails through
// OnException and no connection object is made.
TEST(ConnectionOptions, RefusedKeepAliveFailsTheActivation) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(2000); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  LClient.TCPKeepAlive().SetEnabled(true);
  LClient.TCPKeepAlive().SetTime(100000000);  // 100000 s: above the kernel's 32767 s
  LClient.SetActive(true);
  PumpFor(20);
  ASSERT_EQ(LLog.Count(), 1u) << testing::PrintToString(LLog.Texts());
  EXPECT_EQ(LLog.Texts()[0].rfind("exception Socket Error # ", 0), 0u) << LLog.Texts()[0];
  EXPECT_EQ(LLog.Get()[0].Connection, nullptr);
  EXPECT_FALSE(LClient.Active());
  EXPECT_EQ(LClient.Connection(), nullptr);
}

}  // namespace
