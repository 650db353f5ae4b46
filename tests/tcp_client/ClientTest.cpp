#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "base/IdThread.h"
#include "tests/support/DeliveryModes.h"
#include "tests/support/ScriptServer.h"
#include "tests/tcp_client/TCPClientTestKit.h"

namespace {

using TServer = TScriptServer<>;

// The client's protected entry points, for the cases no socket can produce on demand.
class TTestClient : public TqorTCPCLient {
 public:
  using TqorTCPCLient::TqorTCPCLient;
  ~TTestClient() override { Shutdown(); }
  using TqorTCPCLient::DoEventException;
  using TqorTCPCLient::DoNotifyBinary;
  using TqorTCPCLient::DoNotifyDisconnect;
};

void Configure(TqorTCPCLient& aClient, int aPort, TwsNotifyEvent aMode) {
  aClient.SetHost("127.0.0.1");
  aClient.SetPort(aPort);
  aClient.SetNotifyEvents(aMode);
}

}  // namespace

TEST(TCPClient, NewClientHasItsInitialSettings) {
  TqorTCPCLient LClient(nullptr);
  EXPECT_EQ(LClient.NotifyEvents(), neAsynchronous);  // a program, not a library
  EXPECT_EQ(LClient.Port(), 80);
  EXPECT_EQ(LClient.Host(), "");
  EXPECT_FALSE(LClient.Active());
  EXPECT_EQ(LClient.Connection(), nullptr);
  EXPECT_FALSE(LClient.QueueMessages());
  EXPECT_EQ(LClient.TCPMode(), tcpmDefault);
  EXPECT_EQ(LClient.ReadTimeout(), -1);
  EXPECT_EQ(LClient.ConnectTimeout(), 0);
  EXPECT_EQ(LClient.WriteTimeout(), 0);
  EXPECT_EQ(LClient.LingerState(), -1);
  EXPECT_EQ(LClient.IPVersion(), Id_IPv4);
  EXPECT_FALSE(LClient.TCPKeepAlive().Enabled());
  EXPECT_EQ(LClient.TCPKeepAlive().Interval(), 1000);
  EXPECT_EQ(LClient.TCPKeepAlive().Time(), 7200000);
  EXPECT_EQ(LClient.WatchDog().Interval(), 10);
  EXPECT_EQ(TqorTCPWatchDog_Options().Interval(), 60);
  EXPECT_EQ(LClient.Proxy().Port(), 8080);
  EXPECT_EQ(LClient.Proxy().ProxyType(), pxyHTTP);
  EXPECT_EQ(LClient.TLSOptions().IOHandler(), iohOpenSSL);
  EXPECT_EQ(LClient.TLSOptions().Version(), tlsUndefined);
}

TEST(TCPClient, OptionRecordsCopyTheirOwnClassAndRefuseOthers) {
  TqorTCPCLient LClient(nullptr);
  TqorTCPKeepAlive LKeepAlive;
  LKeepAlive.SetEnabled(true);
  LKeepAlive.SetTime(5000);
  LClient.SetTCPKeepAlive(LKeepAlive);
  EXPECT_TRUE(LClient.TCPKeepAlive().Enabled());
  EXPECT_EQ(LClient.TCPKeepAlive().Time(), 5000);

  TqorTCPProxy_Options LProxy;
  LProxy.SetHost("proxy");
  LProxy.SetUsername("u");
  LProxy.SetProxyType(pxySocks5);
  LClient.SetProxy(LProxy);
  EXPECT_EQ(LClient.Proxy().Host(), "proxy");
  EXPECT_EQ(LClient.Proxy().Username(), "u");
  EXPECT_EQ(LClient.Proxy().ProxyType(), pxySocks5);

  TqorTCPTLS_Options LTLS;
  LTLS.SetVersion(tls1_2);
  LTLS.SetIOHandler(iohSChannel);
  LTLS.ALPNProtocols().Add("h2");
  LTLS.SChannel_Options().SetCertHash("AB");
  LClient.SetTLSOptions(LTLS);
  EXPECT_EQ(LClient.TLSOptions().Version(), tls1_2);
  EXPECT_EQ(LClient.TLSOptions().IOHandler(), iohSChannel);
  EXPECT_EQ(LClient.TLSOptions().ALPNProtocols().Count(), 1);
  EXPECT_EQ(LClient.TLSOptions().SChannel_Options().CertHash(), "AB");

  try {
    LClient.TCPKeepAlive().Assign(TqorTCPThrottle());
    FAIL() << "a throttle record was accepted as keep-alive settings";
  } catch (Exception& E) {
    EXPECT_EQ(E.Message(), "Cannot assign a TqorTCPThrottle to a TqorTCPKeepAlive");
  }
}

class TCPClientModes : public ::testing::TestWithParam<TwsNotifyEvent> {};

// Connect, receive two frames, deactivate: the events come in order, on the thread the mode
// says, and every OnBinary stream starts at its first byte.
TEST_P(TCPClientModes, ConnectReceiveDeactivate) {
  std::atomic<bool> LSendTwo{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("one"));
    WaitUntil([&] { return LSendTwo.load(); });  // two separate reads, however slow the machine
    aPeer.Send(Bytes("two"));
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  LClient.SetActive(true);
  // OnConnect ran before SetActive returned (with neNoSync the reading thread may follow).
  ASSERT_GE(LLog.Count(), 1u);
  ASSERT_EQ(LLog.Texts()[0], "connect");
  ASSERT_TRUE(LClient.Active());
  TqorTCPConnection* LConnection = LClient.Connection();
  ASSERT_NE(LConnection, nullptr);
  EXPECT_EQ(LConnection->IP(), "127.0.0.1");
  EXPECT_EQ(LConnection->Port(), LServer.Port());
  EXPECT_EQ(LConnection->Transport(), trpTCP);

  ASSERT_EVENTUALLY(LLog.Count() >= 2);
  LSendTwo = true;
  ASSERT_EVENTUALLY(LLog.Count() >= 3);
  LClient.SetActive(false);
  const bool LMainThread = GetParam() != neNoSync;
  const std::vector<std::string> LExpected{"connect", "binary one", "binary two",
                                           "disconnect 127.0.0.1"};
  EXPECT_EQ(LLog.Texts(), LExpected);
  const auto LEvents = LLog.Get();
  for (size_t i = 0; i < LEvents.size(); ++i) {
    EXPECT_EQ(LEvents[i].Connection, LConnection) << LEvents[i].Text;
    // Connect and disconnect run on the activating (main) thread in every mode.
    if (i == 1 || i == 2) {
      EXPECT_EQ(LEvents[i].OnMainThread, LMainThread) << LEvents[i].Text;
    }
  }
  EXPECT_FALSE(LClient.Active());
  EXPECT_EQ(LClient.Connection(), nullptr);
}

// A close by a plain server: OnDisconnect, then OnException without a connection.
TEST_P(TCPClientModes, ServerCloseReportsDisconnectThenGracefulClose) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.Send(Bytes("bye")); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLog.Hook(LClient);
  LClient.SetActive(true);
  ASSERT_EVENTUALLY(LLog.Count() >= 4);
  PumpFor(50);
  const std::vector<std::string> LExpected{"connect", "binary bye", "disconnect 127.0.0.1",
                                           "exception Connection Closed Gracefully."};
  EXPECT_EQ(LLog.Texts(), LExpected);
  EXPECT_EQ(LLog.Get().back().Connection, nullptr);
  EXPECT_FALSE(LClient.Active());
  EXPECT_EQ(LClient.Connection(), nullptr);
}

// A few MiB of patterned bytes, in reads of every size the socket happens to give: the
// frames, put together, are the stream exactly, in every delivery mode.
TEST_P(TCPClientModes, EveryByteArrivesOnceAndInOrder) {
  std::string LSent(4 << 20, '\0');
  for (size_t i = 0; i < LSent.size(); ++i) LSent[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  TServer LServer([&](TScriptPeer& aPeer) {
    for (size_t LAt = 0; LAt < LSent.size(); LAt += 100000)
      aPeer.Send(Bytes(LSent.substr(LAt, 100000)));
    aPeer.WaitClosed();
  });
  std::mutex LLock;
  std::string LReceived;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LClient.SetOnBinary([&](TqorTCPConnection*, TMemoryStream& aData) {
    std::lock_guard<std::mutex> LGuard(LLock);
    LReceived.append(reinterpret_cast<const char*>(aData.Memory()),
                     static_cast<size_t>(aData.Size()));
  });
  LClient.SetActive(true);
  auto LCount = [&] {
    std::lock_guard<std::mutex> LGuard(LLock);
    return LReceived.size();
  };
  ASSERT_TRUE(WaitUntil([&] { return LCount() >= LSent.size(); }, 30000)) << LCount();
  LClient.SetActive(false);
  std::lock_guard<std::mutex> LGuard(LLock);
  EXPECT_EQ(LReceived.size(), LSent.size());
  EXPECT_TRUE(LReceived == LSent);
}

INSTANTIATE_TEST_SUITE_P(Delivery, TCPClientModes, AllDeliveryModes(), DeliveryModeParamName);

TEST(TCPClient, RefusedConnectReportsOnlyTheSocketError) {
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, ClosedPort(), neAsynchronous);
  LLog.Hook(LClient);
  EXPECT_FALSE(LClient.Connect(10000));
  PumpFor(20);
  EXPECT_EQ(LLog.Texts(),
            std::vector<std::string>{"exception Socket Error # 10061\r\nConnection refused."});
  EXPECT_EQ(LLog.Get()[0].Connection, nullptr);
  EXPECT_FALSE(LClient.Active());

  // Without an OnException handler a failure is dropped without any event.
  TqorTCPCLient LQuiet(nullptr);
  Configure(LQuiet, ClosedPort(), neAsynchronous);
  LLog.Hook(LQuiet);
  LQuiet.SetOnException(nullptr);
  LLog.Clear();
  LQuiet.SetActive(true);
  PumpFor(20);
  EXPECT_EQ(LLog.Count(), 0u);
}

TEST(TCPClient, ConnectAndDisconnectResults) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port() + 65536, neAsynchronous);  // only the low 16 bits count
  LLog.Hook(LClient);
  EXPECT_FALSE(LClient.Connect(0));
  EXPECT_TRUE(LClient.Active());
  EXPECT_TRUE(LClient.Connect(10000));  // already connected: nothing changes
  EXPECT_EQ(LLog.Texts(), std::vector<std::string>{"connect"});
  EXPECT_FALSE(LClient.Disconnect(0));
  EXPECT_FALSE(LClient.Active());
  EXPECT_TRUE(LClient.Disconnect(1000));  // nothing left to wait for
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "disconnect 127.0.0.1"}));
  EXPECT_EVENTUALLY(LServer.Accepted() == 1);  // the server thread's count
}

TEST(TCPClient, WritesReachTheServerOnlyWhileConnected) {
  std::string LReceived;
  std::atomic<bool> LDone{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    uint8_t LBuffer[9];
    if (aPeer.ReadExact(LBuffer, sizeof LBuffer))
      LReceived.assign(reinterpret_cast<char*>(LBuffer), sizeof LBuffer);
    aPeer.WaitClosed();
    LDone = true;
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  LClient.WriteData(Bytes("lost"));  // no connection: nothing happens
  LClient.WriteData(std::string("lost"));
  EXPECT_EQ(LLog.Count(), 0u);
  LClient.SetActive(true);
  LClient.WriteData(Bytes("ab"));
  LClient.WriteData(std::string("c\xC3\xA9\xE2\x82\xAC!"));  // UTF-8 text goes out as is
  EXPECT_EQ(LClient.Connection()->SendBytes(), 9);
  LClient.SetActive(false);
  LClient.WriteData(Bytes("after"));
  ASSERT_EVENTUALLY(LDone.load());
  EXPECT_EQ(LReceived, "abc\xC3\xA9\xE2\x82\xAC!");
}

TEST(TCPClient, ActivatingTwiceConnectsOnce) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  LClient.SetActive(true);
  TqorTCPConnection* LFirst = LClient.Connection();
  const std::string LGuid = LFirst->Guid();
  LClient.SetActive(true);
  EXPECT_EQ(LClient.Connection(), LFirst);
  EXPECT_EQ(LFirst->Guid(), LGuid);
  EXPECT_EQ(LGuid.size(), 32u);
  EXPECT_EQ(LGuid.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(LLog.Texts(), std::vector<std::string>{"connect"});
}

TEST(TCPClient, DestroyingAConnectedClientRaisesNoEvent) {
  TServer LServer([](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("data"));
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  {
    TqorTCPCLient LClient(nullptr);
    Configure(LClient, LServer.Port(), neAsynchronous);
    LLog.Hook(LClient);
    TMainThreadPosts LPosts;
    LClient.SetActive(true);
    // Destroyed with the data notification still queued.
    ASSERT_TRUE(WaitUnpumped([&] { return LPosts.Posts() > 0; }));
  }
  PumpFor(30);
  const auto LTexts = LLog.Texts();
  ASSERT_FALSE(LTexts.empty());
  EXPECT_EQ(LTexts.front(), "connect");
  for (const std::string& LText : LTexts) {
    EXPECT_EQ(LText.find("disconnect"), std::string::npos);
    EXPECT_EQ(LText.find("exception"), std::string::npos);
  }
}

TEST(TCPClient, HeldMessagesWaitForQueueMessagesToBeSwitchedOff) {
  std::atomic<int> LToSend{0};
  TServer LServer([&](TScriptPeer& aPeer) {
    for (int i = 0; i < 2; ++i) {
      WaitUntil([&] { return LToSend > i; });
      aPeer.Send(Bytes(i == 0 ? "first" : "second"));
    }
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  LClient.SetQueueMessages(true);
  LClient.SetActive(true);
  auto LReceived = [&](int64_t aBytes) {
    return WaitUntil([&] { return LClient.Connection()->RecBytes() >= aBytes; });
  };
  LToSend = 1;
  ASSERT_TRUE(LReceived(5));
  PumpFor(100);  // its queued delivery holds it back
  EXPECT_EQ(LLog.Texts(), std::vector<std::string>{"connect"});
  LClient.QueueClear();  // "first" is discarded
  LToSend = 2;
  ASSERT_TRUE(LReceived(11));
  PumpFor(100);
  LClient.SetQueueMessages(false);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "binary second"}));
}

// Three notifications appended before the main thread runs: the first dispatcher run
// delivers them all, the later runs find nothing.
TEST(TCPClient, OneDispatcherRunDeliversEveryPendingBinary) {
  TEventLog LLog;
  TTestClient LClient(nullptr);
  LLog.Hook(LClient);
  TqorTCPConnectionClient LConnection;
  size_t LSeenByMarker = 0;
  std::thread LReader([&] {
    for (const char* LText : {"a", "b", "c"}) {
      LConnection.MsgBinaryReceived().Adopt(Bytes(LText));
      LClient.DoNotifyBinary(&LConnection);
      if (LText[0] == 'a') QueueToMainThread([&] { LSeenByMarker = LLog.Count(); });
    }
  });
  LReader.join();
  ASSERT_EVENTUALLY(LLog.Count() == 3 && LSeenByMarker > 0);
  EXPECT_EQ(LSeenByMarker, 3u);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"binary a", "binary b", "binary c"}));
}

// Queued notifications that reach the main thread too late: after their connection was
// freed by its disconnect delivery, or after the component itself is gone.
TEST(TCPClient, LateNotificationsNeverReachAFreedObject) {
  TEventLog LLog;
  {
    TTestClient LClient(nullptr);
    LLog.Hook(LClient);
    auto* LConnection = new TqorTCPConnectionClient();
    std::thread LReader([&] {
      LClient.DoNotifyDisconnect(LConnection);  // its delivery frees the connection
      LConnection->MsgBinaryReceived().Adopt(Bytes("late"));
      LClient.DoNotifyBinary(LConnection);
    });
    LReader.join();
    ASSERT_EVENTUALLY(LLog.Count() == 1);
    PumpFor(20);
    // Nothing of a connection follows its disconnect.
    EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"disconnect "}));
    EXPECT_EQ(LLog.Get()[0].Connection, LConnection);
  }
  LLog.Clear();
  {
    auto LClient = std::make_unique<TTestClient>(nullptr);
    LLog.Hook(*LClient);
    TqorTCPConnectionClient LConnection;
    LConnection.MsgBinaryReceived().Adopt(Bytes("queued"));
    std::thread LReader([&] { LClient->DoNotifyBinary(&LConnection); });
    LReader.join();
    LClient.reset();
  }
  PumpFor(20);
  EXPECT_EQ(LLog.Count(), 0u);
}

TEST(TCPClient, ExceptionWithoutObjectGetsAGeneralOne) {
  TTestClient LClient(nullptr);
  std::string LSeen;
  LClient.SetOnException([&](TqorTCPConnection* c, Exception& E) {
    LSeen = std::string(E.ClassName()) + ":" + E.Message() + (c ? ":conn" : ":none");
  });
  LClient.DoEventException(nullptr, "boom", nullptr);
  EXPECT_EQ(LSeen, "Exception:boom:none");
  EIdException LEmpty("");
  LClient.DoEventException(nullptr, "filled in", &LEmpty);
  EXPECT_EQ(LSeen, "EIdException:filled in:none");
}

TEST(TCPClient, ActiveWrittenWhileLoadingWaitsForTheEndOfLoading) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  LClient.Loading();
  LClient.SetActive(true);
  EXPECT_TRUE(LClient.Active());  // the stored value
  PumpFor(50);
  EXPECT_EQ(LServer.Accepted(), 0);
  LClient.Loaded();
  EXPECT_EQ(LLog.Texts(), std::vector<std::string>{"connect"});
  EXPECT_TRUE(LClient.Active());
}

// A TLS handshake that fails (here: a peer that speaks no TLS and closes) ends the activation
// loudly; no plain connection is left standing.
TEST(TCPClient, AFailedTLSHandshakeFailsTheActivation) {
  TServer LServer([](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("plain\n"));
    aPeer.WaitClosed(200);
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neAsynchronous);
  LLog.Hook(LClient);
  LClient.SetTLS(true);
  LClient.TLSOptions().SetIOHandler(iohSChannel);
  LClient.SetActive(true);
  ASSERT_EQ(LLog.Count(), 1u);
  EXPECT_NE(LLog.Texts()[0].find("exception SChannel initialization error: recv returns 00000000"),
            std::string::npos)
      << LLog.Texts()[0];
  EXPECT_FALSE(LClient.Active());
}

// neNoSync handlers run inside the read loop: deactivating there must neither wait for the
// reading thread itself nor free the connection under the loop.
TEST(TCPClient, DeactivationFromTheReadLoop) {
  TServer LServer([](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("stop"));
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neNoSync);
  LLog.Hook(LClient);
  LClient.SetOnBinary([&](TqorTCPConnection* c, TMemoryStream&) {
    LLog.Add("binary", c);
    LClient.SetActive(false);
    LLog.Add(c->Disconnected() ? "still readable" : "connected?", c);
  });
  LClient.SetActive(true);
  ASSERT_EVENTUALLY(LLog.Count() >= 4);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "binary", "disconnect 127.0.0.1",
                                                    "still readable"}));
  EXPECT_EVENTUALLY(LServer.Accepted() == 1 && !LClient.Active());
}

// With neSynchronous the reading thread waits while its delivery runs on the main thread: a
// handler there that deactivates, or reconnects, must not wait for that thread in turn.
TEST(TCPClient, SynchronousHandlersMayDeactivateAndReconnect) {
  TServer LServer([](TScriptPeer& aPeer) {
    aPeer.Send(Bytes("quit"));
    aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neSynchronous);
  LLog.Hook(LClient);
  int LConnects = 0;
  LClient.SetOnConnect([&](TqorTCPConnection* c) {
    LLog.Add("connect", c);
    ++LConnects;
  });
  LClient.SetOnBinary([&](TqorTCPConnection* c, TMemoryStream&) {
    LLog.Add("binary", c);
    LClient.SetActive(false);
    if (LConnects < 2) LClient.SetActive(true);
  });
  LClient.SetActive(true);
  ASSERT_EVENTUALLY(LConnects == 2 && LLog.Count() >= 6);
  PumpFor(50);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "binary", "disconnect 127.0.0.1",
                                                    "connect", "binary", "disconnect 127.0.0.1"}));
  EXPECT_FALSE(LClient.Active());
  EXPECT_EVENTUALLY(LServer.Accepted() == 2);
}

// A handler on the reading thread that reconnects at once, when the server closes.
TEST(TCPClient, ReconnectFromTheDisconnectHandler) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.Send(Bytes("x")); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neNoSync);
  LLog.Hook(LClient);
  std::atomic<int> LReconnects{0};
  LClient.SetOnDisconnect([&](TqorTCPConnection* c) {
    LLog.Add("disconnect", c);
    if (++LReconnects <= 2) LClient.SetActive(true);
  });
  LClient.SetActive(true);
  ASSERT_EVENTUALLY(LReconnects >= 3);
  EXPECT_EVENTUALLY(LServer.Accepted() == 3);
  LClient.SetActive(false);
}

// Every cycle makes and ends a socket client, a reading thread and a connection object.
TEST(TCPClient, ConnectDisconnectCyclesLeaveNothingBehind) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  const int LThreads = ThreadCount().Value();
  const int LDescriptors = OpenDescriptors();
  int LConnects = 0, LDisconnects = 0, LFailures = 0;
  {
    TqorTCPCLient LClient(nullptr);
    Configure(LClient, LServer.Port(), neAsynchronous);
    LClient.SetOnConnect([&](TqorTCPConnection*) { ++LConnects; });
    LClient.SetOnDisconnect([&](TqorTCPConnection*) { ++LDisconnects; });
    LClient.SetOnException([&](TqorTCPConnection*, Exception&) { ++LFailures; });
    for (int i = 0; i < 1000; ++i) {
      LClient.SetActive(true);
      LClient.SetActive(false);
    }
  }
  EXPECT_EQ(LConnects, 1000);
  EXPECT_EQ(LDisconnects, 1000);
  EXPECT_EQ(LFailures, 0);
  EXPECT_EQ(ThreadCount().Value(), LThreads);
  // The server's side of the last connection closes on its own thread.
  EXPECT_TRUE(WaitUntil([&] { return LServer.Accepted() == 1000; }, 10000));
  EXPECT_EVENTUALLY(OpenDescriptors() == LDescriptors)
      << OpenDescriptors() << " descriptors open, " << LDescriptors << " before";
}
