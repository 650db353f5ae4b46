#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"
#include "tests/support/EscapedExceptions.h"
#include "tests/support/Loopback.h"
#include "tests/support/Recorder.h"

namespace {

// Packets the server threads received, read by the test thread.
using TReceived = TRecorder<TWirePacket>;

// Reads the authentication request and records it; false if none came.
bool ReceiveAuth(TPeer& peer, TReceived& received) {
  TWirePacket auth;
  if (!peer.Receive(auth)) return false;
  received.Add(auth);
  return true;
}

class RCONClient : public testing::Test {
 protected:
  void SetUp() override {
    RCON = std::make_unique<TqorLib_RCON>(nullptr);
    RCON->SetNotifyEvents(neAsynchronous);
    RCON->SetOnConnect([this](TComponent* s) { Line(s, "#connected"); });
    RCON->SetOnDisconnect([this](TComponent* s) { Line(s, "#disconnected"); });
    RCON->SetOnAuthenticate([this](TComponent* s, bool ok, const TqorRCON_Packet&) {
      Line(s, ok ? "#authenticated" : "#not authenticated");
    });
    RCON->SetOnResponse(
        [this](TComponent* s, const std::string& r, const TqorRCON_Packet&) { Line(s, r); });
    RCON->SetOnException(
        [this](TComponent* s, Exception& e) { Line(s, "#exception: " + e.Message()); });
  }

  void Line(TComponent* aSender, const std::string& aLine) {
    EXPECT_EQ(aSender, RCON.get());
    EXPECT_TRUE(IsMainThread());
    Log.push_back(aLine);
  }
  void Serve(std::function<void(TPeer&)> aSession) {
    Server = std::make_unique<TRCONTestServer>(std::move(aSession));
  }
  void Connect(const std::string& aPassword = "zulu") {
    RCON->RCON_Options()->SetHost("127.0.0.1");
    RCON->RCON_Options()->SetPort(Server->Port());
    RCON->RCON_Options()->SetPassword(aPassword);
    RCON->SetActive(true);
  }
  bool WaitLog(size_t aLines) {
    return PumpUntil([&] { return Log.size() >= aLines; }, 10000);
  }

  TReceived Received;
  std::unique_ptr<TRCONTestServer> Server;  // declared first: outlives the client
  std::unique_ptr<TqorLib_RCON> RCON;
  std::vector<std::string> Log;
};

TEST_F(RCONClient, AuthenticatesThenSendsCommandsAsPackets) {
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.Send(WirePacket(1, 2, ""));
    TWirePacket cmd;
    while (peer.Receive(cmd)) {
      Received.Add(cmd);
      peer.Send(WirePacket(cmd.ID, 0, cmd.Body.empty() ? "" : "answer to " + cmd.Body));
    }
  });
  Connect();
  ASSERT_TRUE(WaitLog(2));
  RCON->ExecCommand("help");
  ASSERT_TRUE(WaitLog(3));
  RCON->ExecCommand("");
  ASSERT_TRUE(WaitLog(4));
  EXPECT_EQ(Log, (std::vector<std::string>{"#connected", "#authenticated", "answer to help", ""}));
  auto got = Received.Get();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].Raw, WirePacket(1, 3, "zulu"));
  EXPECT_EQ(got[1].Raw,
            (TBytes{0x0e, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0x68, 0x65, 0x6c, 0x70, 0, 0}));
  EXPECT_EQ(got[2].Raw, WirePacket(3, 2, ""));
  EXPECT_TRUE(RCON->Active());
}

TEST_F(RCONClient, ReassemblesPacketsSentOneBytePerSend) {
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.SendByteByByte(Cat({WirePacket(1, 2, ""), WirePacket(2, 0, "split \xC3\xBC answer")}));
    peer.WaitClosed();
  });
  Connect();
  ASSERT_TRUE(WaitLog(3));
  EXPECT_EQ(Log,
            (std::vector<std::string>{"#connected", "#authenticated", "split \xC3\xBC answer"}));
}

// The empty type-0 packet before the auth response (Source), packets of types without an
// event, a long answer in several packets and one far beyond 4 KiB, all in one send.
TEST_F(RCONClient, DecodesEveryPacketOfOneSendInOrder) {
  const std::string big(100000, 'x');
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.Send(Cat({WirePacket(1, 0, ""), WirePacket(1, 2, ""), WirePacket(7, 1, "type one"),
                   WirePacket(7, 3, "type three"), WirePacket(2, 0, "part 1"),
                   WirePacket(2, 0, "part 2"), WirePacket(3, 0, big)}));
    peer.Send(WirePacket(4, 0, "later"));
    peer.WaitClosed();
  });
  Connect();
  ASSERT_TRUE(WaitLog(7));
  EXPECT_EQ(Log, (std::vector<std::string>{"#connected", "", "#authenticated", "part 1", "part 2",
                                           big, "later"}));
}

class RCONAuthResponse : public RCONClient,
                         public testing::WithParamInterface<std::pair<int32_t, const char*>> {};

TEST_P(RCONAuthResponse, NegativeIDMeansRejected) {
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.Send(WirePacket(GetParam().first, 2, ""));
    peer.WaitClosed();
  });
  Connect("wrong");
  ASSERT_TRUE(WaitLog(2));
  EXPECT_EQ(Log[1], GetParam().second);
  EXPECT_TRUE(RCON->Active()) << "a rejected password does not end the connection";
}

INSTANTIATE_TEST_SUITE_P(Rows, RCONAuthResponse,
                         testing::Values(std::make_pair(0, "#authenticated"),
                                         std::make_pair(5, "#authenticated"),
                                         std::make_pair(-1, "#not authenticated"),
                                         std::make_pair(-7, "#not authenticated")));

class RCONGarbageSize : public RCONClient, public testing::WithParamInterface<int32_t> {};

// A size outside 10 .. 1 MiB is reported, the data dropped, and the component goes on.
TEST_P(RCONGarbageSize, ReportedAndRecovered) {
  const int32_t size = GetParam();
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.Send(Cat({Int(size), Int(1), Int(0), TBytes(32, 'g'), WirePacket(1, 0, "dropped")}));
    TWirePacket cmd;
    if (!peer.Receive(cmd)) return;
    peer.Send(WirePacket(cmd.ID, 0, "still working"));
    peer.WaitClosed();
  });
  Connect();
  ASSERT_TRUE(WaitLog(2));
  EXPECT_EQ(Log[1], "#exception: Invalid RCON packet size " + std::to_string(size) +
                        " (expected 10 to 1048576); the received data was discarded.");
  RCON->ExecCommand("next");
  ASSERT_TRUE(WaitLog(3));
  EXPECT_EQ(Log[2], "still working");
  EXPECT_EQ(Log.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Rows, RCONGarbageSize, testing::Values(0, 9, -1, 1048577, 0x7FFFFFFF));

TEST_F(RCONClient, ServerCloseLogsDisconnectThenGracefulClose) {
  Serve([&](TPeer& peer) {
    if (ReceiveAuth(peer, Received)) peer.Send(WirePacket(1, 2, ""));
  });
  Connect();
  ASSERT_TRUE(WaitLog(4));
  EXPECT_EQ(Log, (std::vector<std::string>{"#connected", "#authenticated", "#disconnected",
                                           "#exception: Connection Closed Gracefully."}));
  EXPECT_FALSE(RCON->Active());
}

TEST_F(RCONClient, RequestIDsRestartAtOneAfterReconnect) {
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.Send(WirePacket(1, 2, ""));
    TWirePacket cmd;
    while (peer.Receive(cmd)) Received.Add(cmd);
  });
  Connect();
  ASSERT_TRUE(WaitLog(2));
  RCON->ExecCommand("a");
  RCON->ExecCommand("b");
  ASSERT_TRUE(PumpUntil([&] { return Received.Count() == 3; }, 10000));
  RCON->SetActive(false);
  ASSERT_EQ(Log.back(), "#disconnected") << "a disconnect from the main thread is raised at once";
  Connect();
  ASSERT_TRUE(WaitLog(5));
  RCON->ExecCommand("c");
  ASSERT_TRUE(PumpUntil([&] { return Received.Count() == 5; }, 10000));
  std::vector<std::pair<int32_t, int32_t>> ids;
  for (const TWirePacket& p : Received.Get()) ids.emplace_back(p.ID, p.Type);
  EXPECT_EQ(ids,
            (std::vector<std::pair<int32_t, int32_t>>{{1, 3}, {2, 2}, {3, 2}, {1, 3}, {2, 2}}));
}

// The previous connection ended in the middle of a packet; its tail must not be glued to
// the first bytes of the next connection.
TEST_F(RCONClient, NewConnectionStartsWithEmptyBuffer) {
  std::atomic<int> session{0};
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    if (session++ == 0) {
      TBytes half = WirePacket(9, 0, "stale");
      half.resize(7);
      peer.Send(half);
    } else {
      peer.Send(WirePacket(1, 2, ""));
      peer.WaitClosed();
    }
  });
  Connect();
  ASSERT_TRUE(WaitLog(3));
  EXPECT_EQ(Log, (std::vector<std::string>{"#connected", "#disconnected",
                                           "#exception: Connection Closed Gracefully."}));
  Connect();
  ASSERT_TRUE(WaitLog(5));
  EXPECT_EQ(Log[3], "#connected");
  EXPECT_EQ(Log[4], "#authenticated");
}

// A response handler that throws: the exception reaches the application's handling once,
// and every packet still arrives exactly once, in order.
TEST_F(RCONClient, AThrowingResponseHandlerLosesAndRepeatsNothing) {
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.Send(Cat({WirePacket(1, 2, ""), WirePacket(2, 0, "first"), WirePacket(2, 0, "second")}));
    TWirePacket cmd;
    if (peer.Receive(cmd)) peer.Send(WirePacket(cmd.ID, 0, "third"));
    peer.WaitClosed();
  });
  TEscapedExceptions escaped;
  RCON->SetOnResponse([this](TComponent* s, const std::string& r, const TqorRCON_Packet&) {
    Line(s, r);
    if (r == "first") throw Exception("handler failed");
  });
  Connect();
  ASSERT_TRUE(WaitLog(4));
  RCON->ExecCommand("next");
  ASSERT_TRUE(WaitLog(5));
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Log,
            (std::vector<std::string>{"#connected", "#authenticated", "first", "second", "third"}));
  EXPECT_EQ(escaped.Messages(), std::vector<std::string>{"handler failed"});
}

// With neNoSync the reading thread decodes and resets the request counter while the caller's
// thread sends: the component's own state is guarded (ThreadSanitizer watches this case).
TEST_F(RCONClient, NoSyncReceivingAndSendingShareNoUnguardedState) {
  std::atomic<int> answers{0};
  Serve([&](TPeer& peer) {
    if (!ReceiveAuth(peer, Received)) return;
    peer.Send(WirePacket(1, 2, ""));
    TWirePacket cmd;
    for (int i = 0; i < 200 && peer.Receive(cmd); ++i)
      peer.SendByteByByte(WirePacket(cmd.ID, 0, "ok"));
  });
  RCON->SetNotifyEvents(neNoSync);
  RCON->SetOnConnect(nullptr);
  RCON->SetOnAuthenticate(nullptr);
  RCON->SetOnDisconnect(nullptr);
  RCON->SetOnException(nullptr);
  RCON->SetOnResponse([&](TComponent*, const std::string&, const TqorRCON_Packet&) { ++answers; });
  Connect();
  for (int i = 0; i < 200 && RCON->Active(); ++i) {
    RCON->ExecCommand("c" + std::to_string(i));
    const int LAt = answers;
    for (int w = 0; w < 1000 && answers == LAt && RCON->Active(); ++w)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GT(answers, 0);
  RCON->SetActive(false);
}

TEST_F(RCONClient, ExecCommandBeforeConnectDoesNothing) {
  Serve([](TPeer&) {});
  EXPECT_NO_THROW(RCON->ExecCommand("help"));
  EXPECT_FALSE(PumpUntil([&] { return !Log.empty() || Server->Accepted() > 0; }, 300));
  EXPECT_FALSE(RCON->Active());
}

// A server that never answers the connect: the console gets its error after the connect
// time-out instead of hanging.
TEST_F(RCONClient, SilentServerTimesOut) {
  TSilentPeer peer;
  if (!peer.Valid()) GTEST_SKIP() << "this sandbox answers every loopback connect";
  EXPECT_EQ(RCON->ConnectTimeout(), TqorLib_RCON_Client::DefaultConnectTimeout);
  RCON->SetConnectTimeout(300);
  RCON->RCON_Options()->SetHost("127.0.0.1");
  RCON->RCON_Options()->SetPort(peer.Port());
  const auto start = std::chrono::steady_clock::now();
  RCON->SetActive(true);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(5));
  ASSERT_TRUE(WaitLog(1));
  EXPECT_EQ(Log, std::vector<std::string>{"#exception: Connect timed out."});
  EXPECT_FALSE(RCON->Active());
}

}  // namespace
