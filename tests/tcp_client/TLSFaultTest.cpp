// The TCP client over TLS against hostile paths: a server stalled in the middle of a record, a
// reset in the middle of one, a handshake trickled byte by byte, and a close without
// close-notify reported in every delivery mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/DeliveryModes.h"
#include "tests/support/Eventually.h"
#include "tests/support/TLSPeers.h"
#include "tests/tcp_client/TCPClientTestKit.h"
#include "tls/IdSSLOpenSSL.h"

namespace {

// The OpenSSL handler the client makes, counting how often it is asked whether it is readable:
// every wake-up of the reading thread that looks into the session asks once at least.
class TCountingHandler : public TqorIdSSLIOHandlerSocketOpenSSL {
 public:
  bool Readable(int AMSec) override {
    ++Asked;
    return TqorIdSSLIOHandlerSocketOpenSSL::Readable(AMSec);
  }
  std::atomic<int> Asked{0};

 protected:
  explicit TCountingHandler(TComponent* AOwner = nullptr)
      : TqorIdSSLIOHandlerSocketOpenSSL(AOwner) {}
};

class TLSFault : public testing::Test {
 protected:
  void SetUp() override {
    Client = std::make_unique<TqorTCPCLient>(nullptr);
    Client->SetNotifyEvents(neAsynchronous);
    Client->SetHost("127.0.0.1");
    Client->SetTLS(true);
    Log.Hook(*Client);
  }
  void TearDown() override {
    Client.reset();
    PumpFor(0);
  }
  // The client's own handler configuration, on a handler that counts.
  void UseCountingHandler() {
    Client->SetOnSSLGetHandler([this](TComponent*, TwsSSLHandler, TIdSSLIOHandlerSocketBase*& V) {
      Counting = New<TCountingHandler>(nullptr);
      Counting->SetPassThrough(false);
      Counting->SSLOptions().SetMode(sslmClient);
      Counting->SSLOptions().SetSSLVersions(SSLVersionBit(sslvTLSv1_2) |
                                            SSLVersionBit(sslvTLSv1_3));
      V = Counting;
    });
  }
  bool Saw(const std::string& AText, int AMs = 10000) {
    return WaitUntil(
        [&] {
          for (const std::string& T : Log.Texts())
            if (T.find(AText) != std::string::npos) return true;
          return false;
        },
        AMs);
  }
  // Connects through ARelay and waits until the server has finished its handshake.
  void ConnectThrough(TTLSRecordRelay& ARelay, TSServer& AServer) {
    Client->SetPort(ARelay.Port());
    Client->SetActive(true);
    ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
    ASSERT_TRUE(AServer.Process().WaitFor("CIPHER is"));
  }
  // Half a record from the server, and then nothing.
  void StallMidRecord(TTLSRecordRelay& ARelay, TSServer& AServer) {
    ARelay.StallNextRecord();
    AServer.Process().WriteStdin("held back\n");
    ASSERT_TRUE(WaitUntil([&] { return ARelay.Stalled(); }));
  }

  std::unique_ptr<TqorTCPCLient> Client;
  TCountingHandler* Counting = nullptr;
  TEventLog Log;
};

}  // namespace

TEST_F(TLSFault, AServerStalledInTheMiddleOfARecordCostsNoWakeUps) {
  TSServer S("server-chain.pem", "server.key");
  TTLSRecordRelay R(S.Port());
  UseCountingHandler();
  ConnectThrough(R, S);
  StallMidRecord(R, S);
  ASSERT_NE(Counting, nullptr);
  // The half record reaches the session and is looked at; then the thread must sleep.
  ASSERT_TRUE(WaitUntil([&] { return Counting->Asked >= 1; }));
  PumpFor(200);
  const int LBefore = Counting->Asked;
  PumpFor(1000);
  EXPECT_LE(Counting->Asked - LBefore, 2) << "wake-ups in a second of silence";
  EXPECT_FALSE(Saw("binary", 0));
  R.Release();
  EXPECT_TRUE(Saw("binary held back\n")) << testing::PrintToString(Log.Texts());
}

TEST_F(TLSFault, AResetInTheMiddleOfARecordReadsAsOverPlainTCP) {
  TSServer S("server-chain.pem", "server.key");
  TTLSRecordRelay R(S.Port());
  ConnectThrough(R, S);
  StallMidRecord(R, S);
  R.ResetClient();
  ASSERT_TRUE(Saw("disconnect")) << testing::PrintToString(Log.Texts());
  const std::vector<std::string> LTexts = Log.Texts();
  ASSERT_EQ(LTexts.size(), 3u) << testing::PrintToString(LTexts);
  EXPECT_EQ(LTexts[1], "exception Socket Error # 10054\r\nConnection reset by peer.");
}

TEST_F(TLSFault, ATrickledHandshakeIsBoundedByTheReadTimeOutWithoutAConnectTimeOut) {
  TSServer S("server-chain.pem", "server.key");
  // Without a bound of its own the handshake would last as long as the relay does.
  TTLSRecordRelay R(S.Port(), 20000);
  R.SetTrickle(50);
  Client->SetPort(R.Port());
  Client->SetConnectTimeout(0);
  Client->SetReadTimeout(1000);
  const auto LStart = std::chrono::steady_clock::now();
  Client->SetActive(true);
  const auto LSpent = std::chrono::steady_clock::now() - LStart;
  EXPECT_FALSE(Client->Active());
  EXPECT_TRUE(Saw("exception Connect timed out.")) << testing::PrintToString(Log.Texts());
  // Well before the relay's own end at 20 s, which would fail the handshake anyway.
  EXPECT_LT(LSpent, std::chrono::seconds(15));
}

// The copy an asynchronous or synchronous delivery hands over keeps the class and its codes.
class TLSCloseWithoutNotify : public TLSFault,
                              public testing::WithParamInterface<TwsNotifyEvent> {};

TEST_P(TLSCloseWithoutNotify, ReachesTheHandlerWithItsClassAndCodes) {
  TSServer S("server-chain.pem", "server.key");
  Client->SetNotifyEvents(GetParam());
  std::mutex LLock;
  std::string LSeen;
  auto LTaken = [&] {
    std::lock_guard<std::mutex> LGuard(LLock);
    return LSeen;
  };
  Client->SetOnException([&](TqorTCPConnection*, Exception& E) {
    const auto* LSSL = dynamic_cast<const EIdOpenSSLAPISSLError*>(&E);
    std::lock_guard<std::mutex> LGuard(LLock);
    LSeen =
        std::string(E.ClassName()) + " " +
        (LSSL ? std::to_string(LSSL->ErrorCode()) + "/" + std::to_string(LSSL->RetCode()) : "-") +
        " " + E.Message();
  });
  Client->SetPort(S.Port());
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active());
  ASSERT_TRUE(S.Process().WaitFor("CIPHER is"));
  S.Process().WriteStdin("q\n");  // s_server drops the connection without a close-notify
  ASSERT_TRUE(WaitUntil([&] { return !LTaken().empty(); }));
  EXPECT_EQ(LTaken(), "EIdOpenSSLAPISSLError 5/0 EOF was observed that violates the protocol");
}

INSTANTIATE_TEST_SUITE_P(Modes, TLSCloseWithoutNotify, AllDeliveryModes(), DeliveryModeParamName);
