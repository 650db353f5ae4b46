// What the RCON component raises around the end of a connection and of itself, in every
// delivery mode: nothing of a connection after its OnDisconnect (whole answers included), no
// answer left open once a connection has ended, a command's reply always joined to its command
// (the reading thread may decode it before the send returns), and no handler while the
// component is destroyed, even while a long answer streams in.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"
#include "tests/support/DeliveryModes.h"
#include "tests/support/Eventually.h"
#include "tests/support/Recorder.h"
#include "transport/IdException.h"

namespace {

const std::string kFull(4096, 'a');

// Tokens of the events, from any thread: C, A, D, R<id> (a packet), W<id> <command>=<text>
// (a whole answer), E <message>; "open" when OnDisconnect still sees open answers and "late"
// for a handler that runs while the component is being destroyed.
class TEvents : public TTokenLog {
 public:
  void Hook(TqorLib_RCON& aRCON) {
    aRCON.SetOnConnect([this](TComponent* s) { Add(s, "C"); });
    aRCON.SetOnAuthenticate([this](TComponent* s, bool, const TqorRCON_Packet&) { Add(s, "A"); });
    aRCON.SetOnResponse([this](TComponent* s, const std::string&, const TqorRCON_Packet& p) {
      Add(s, "R" + std::to_string(p.ID()));
    });
    aRCON.SetOnResponseComplete(
        [this](TComponent* s, int32_t aID, const std::string& aCommand, const std::string& aText) {
          Add(s, "W" + std::to_string(aID) + " " + aCommand + "=" + aText.substr(0, 8));
        });
    aRCON.SetOnDisconnect([this](TComponent* s) {
      if (static_cast<TqorLib_RCON*>(s)->OpenResponses() != 0) Add(s, "open");
      Add(s, "D");
    });
    aRCON.SetOnException([this](TComponent* s, Exception& E) { Add(s, "E " + E.Message()); });
  }
  void Add(TComponent* aSender, const std::string& aToken) {
    const bool LLate = static_cast<TqorLib_RCON*>(aSender)->IsDestroying();
    std::lock_guard<std::mutex> LGuard(FLock);
    if (LLate) ++FLate;
    // Consecutive packets of one answer count as one.
    if (aToken[0] == 'R' && !FTokens.empty() && FTokens.back() == aToken) return;
    FTokens.push_back(aToken);
  }
  bool Has(const std::string& aToken) const {
    const auto LTokens = Tokens();
    return std::find(LTokens.begin(), LTokens.end(), aToken) != LTokens.end();
  }
  int Late() const {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FLate;
  }

 private:
  int FLate = 0;
};

bool Authenticate(TPeer& aPeer) {
  TWirePacket LAuth;
  if (!aPeer.Receive(LAuth) || LAuth.Type != 3) return false;
  aPeer.Send(WirePacket(LAuth.ID, 2, ""));
  return true;
}

// Answers commands with aAnswer(command) and fences as Source does, until the client closes.
void Echo(TPeer& aPeer, const std::function<TBytes(const TWirePacket&)>& aAnswer) {
  if (!Authenticate(aPeer)) return;
  TWirePacket LPacket;
  while (aPeer.Receive(LPacket)) {
    if (LPacket.Type == 2)
      aPeer.Send(aAnswer(LPacket));
    else
      aPeer.Send(Cat(
          {WirePacket(LPacket.ID, 0, ""), WirePacket(LPacket.ID, 0, std::string("\0\1\0\0", 4))}));
  }
}

void Configure(TqorLib_RCON& aRCON, int aPort, TwsNotifyEvent aMode) {
  aRCON.SetNotifyEvents(aMode);
  aRCON.SetSendFences(true);
  aRCON.RCON_Options()->SetHost("127.0.0.1");
  aRCON.RCON_Options()->SetPort(aPort);
  aRCON.RCON_Options()->SetPassword("zulu");
}

bool Pump(const std::function<bool()>& aDone, int aMs = 10000) {
  return PumpUntil(aDone, aMs);
}

// Checks for whole answers for a while: nothing of an ended connection may come out.
void CheckFor(TqorLib_RCON& aRCON, int aMs) {
  Pump(
      [&] {
        aRCON.CheckResponses();
        return false;
      },
      aMs);
}

class RCONLifecycle : public ::testing::TestWithParam<TwsNotifyEvent> {};

// OnResponse ends the connection: the answer its packet completed goes with the connection.
TEST_P(RCONLifecycle, AResponseHandlerThatEndsTheConnectionGetsNoWholeAnswerAfterIt) {
  TRCONTestServer LServer([](TPeer& aPeer) {
    Echo(aPeer, [](const TWirePacket& c) { return WirePacket(c.ID, 0, "hi"); });
  });
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LServer.Port(), GetParam());
  TEvents LEvents;
  LEvents.Hook(LRCON);
  LRCON.SetOnResponse([&](TComponent* s, const std::string&, const TqorRCON_Packet& p) {
    LEvents.Add(s, "R" + std::to_string(p.ID()));
    LRCON.SetActive(false);
  });
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LEvents.Has("A"); }));
  LRCON.ExecCommand("echo hi");
  ASSERT_TRUE(Pump([&] { return LEvents.Has("D"); })) << testing::PrintToString(LEvents.Tokens());
  CheckFor(LRCON, 100);
  EXPECT_EQ(LEvents.Tokens(), (std::vector<std::string>{"C", "A", "R2", "D"}));
  EXPECT_EQ(LRCON.OpenResponses(), 0u);
}

// How a connection with open answers ends.
enum TEnd { eServerCloses, eServerResets, eApplication, eHandler };

class RCONOpenAnswers : public ::testing::TestWithParam<std::tuple<TwsNotifyEvent, TEnd>> {};

// A cut answer (one full packet, then nothing) and a command without any answer are open when
// the connection ends: they are dropped with it, and checking later completes or reports
// nothing of them.
TEST_P(RCONOpenAnswers, AreDroppedWithTheirConnection) {
  const auto [LMode, LEnd] = GetParam();
  TRCONTestServer LServer([LEnd = LEnd](TPeer& aPeer) {
    if (!Authenticate(aPeer)) return;
    TWirePacket LCommand, LFence;
    if (!aPeer.Receive(LCommand) || !aPeer.Receive(LFence)) return;
    aPeer.Send(WirePacket(LCommand.ID, 0, kFull));
    if (!aPeer.Receive(LCommand) || !aPeer.Receive(LFence)) return;  // "sleep": no answer
    if (LEnd == eServerResets)
      aPeer.Reset();
    else if (LEnd != eServerCloses)
      aPeer.WaitClosed();
  });
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LServer.Port(), LMode);
  TEvents LEvents;
  LEvents.Hook(LRCON);
  std::atomic<bool> LSecondSent{false};
  if (LEnd == eHandler) {
    LRCON.SetOnResponse([&](TComponent* s, const std::string&, const TqorRCON_Packet& p) {
      LEvents.Add(s, "R" + std::to_string(p.ID()));
      if (!WaitUntil([&] { return LSecondSent.load(); }, 10000)) return;
      LRCON.SetActive(false);
    });
  }
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LEvents.Has("A"); }));
  LRCON.ExecCommand("big 4096");
  if (LMode != neNoSync && LEnd == eHandler) {
    // The handler runs here: the second command goes out before the packet is delivered.
    LRCON.ExecCommand("sleep 3000");
    LSecondSent = true;
  } else {
    ASSERT_TRUE(Pump([&] { return LEvents.Has("R2"); }));
    LRCON.ExecCommand("sleep 3000");
    LSecondSent = true;
    if (LEnd == eApplication) {
      EXPECT_EQ(LRCON.OpenResponses(), 2u);
      LRCON.SetActive(false);
    }
  }
  ASSERT_TRUE(Pump([&] { return LEvents.Has("D"); })) << testing::PrintToString(LEvents.Tokens());
  EXPECT_EQ(LRCON.OpenResponses(), 0u);
  CheckFor(LRCON, TqorRCON_AnswerAssembler::QuietPeriodMs + 150);
  for (const std::string& LToken : LEvents.Tokens()) {
    EXPECT_NE(LToken[0], 'W') << testing::PrintToString(LEvents.Tokens());
    EXPECT_NE(LToken, "open") << testing::PrintToString(LEvents.Tokens());
  }
}

std::string OpenAnswersName(const ::testing::TestParamInfo<std::tuple<TwsNotifyEvent, TEnd>>& i) {
  static const char* const LEnds[] = {"ServerCloses", "ServerResets", "Application", "Handler"};
  return DeliveryModeName(std::get<0>(i.param)) + "_" + LEnds[std::get<1>(i.param)];
}

INSTANTIATE_TEST_SUITE_P(Roads, RCONOpenAnswers,
                         ::testing::Combine(AllDeliveryModes(),
                                            ::testing::Values(eServerCloses, eServerResets,
                                                              eApplication, eHandler)),
                         OpenAnswersName);

// A component whose sends are slow to return: the reply has been decoded before the send of
// its command is over, as a reading thread may do it in neNoSync; or whose sends fail.
class TSlowSender : public TqorLib_RCON {
 public:
  using TqorLib_RCON::TqorLib_RCON;
  ~TSlowSender() override { Shutdown(); }
  std::atomic<int> Replies{0};
  bool Fail = false;

 protected:
  void DoWritePacket(int32_t aPacketType, const std::string& aBody) override {
    if (aPacketType == 2 && Fail) throw EIdSocketError(32, "Broken pipe.");
    const int LBefore = Replies;
    TqorLib_RCON::DoWritePacket(aPacketType, aBody);
    if (aPacketType == 2) PumpUntil([&] { return Replies > LBefore; }, 10000);
  }
};

TEST_P(RCONLifecycle, ACommandIsRegisteredBeforeItIsSentAndWithdrawnWhenTheSendFails) {
  TRCONTestServer LServer([](TPeer& aPeer) {
    Echo(aPeer, [](const TWirePacket& c) { return WirePacket(c.ID, 0, "hi"); });
  });
  TSlowSender LRCON(nullptr);
  Configure(LRCON, LServer.Port(), GetParam());
  LRCON.SetSendFences(false);
  TEvents LEvents;
  LEvents.Hook(LRCON);
  LRCON.SetOnResponse([&](TComponent* s, const std::string&, const TqorRCON_Packet& p) {
    LEvents.Add(s, "R" + std::to_string(p.ID()));
    ++LRCON.Replies;
  });
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LEvents.Has("A"); }));
  LRCON.ExecCommand("echo hi");
  ASSERT_TRUE(Pump([&] { return LEvents.Tokens().size() >= 4; }));
  EXPECT_EQ(LEvents.Tokens(), (std::vector<std::string>{"C", "A", "R2", "W2 echo hi=hi"}));
  LRCON.Fail = true;
  EXPECT_THROW(LRCON.ExecCommand("echo lost"), EIdSocketError);
  EXPECT_EQ(LRCON.OpenResponses(), 0u);
  LRCON.SetActive(false);
}

// The component is destroyed while a 200 KB answer streams in: no handler runs once its
// destruction has begun (ThreadSanitizer and AddressSanitizer watch the reading thread).
TEST_P(RCONLifecycle, DestructionWhileALongAnswerStreamsRaisesNothing) {
  const std::string LPacket(4096, 'x');
  TRCONTestServer LServer([&](TPeer& aPeer) {
    try {
      Echo(aPeer, [&](const TWirePacket& c) {
        TBytes LAnswer;
        for (int i = 0; i < 50; ++i) LAnswer = Cat({LAnswer, WirePacket(c.ID, 0, LPacket)});
        return LAnswer;
      });
    } catch (const std::runtime_error&) {  // the client went in the middle
    }
  });
  TEvents LEvents;
  for (int LRound = 0; LRound < 5; ++LRound) {
    auto LRCON = std::make_unique<TqorLib_RCON>(nullptr);
    Configure(*LRCON, LServer.Port(), GetParam());
    LEvents.Hook(*LRCON);
    std::atomic<int> LPackets{0};
    LRCON->SetOnResponse([&](TComponent* s, const std::string&, const TqorRCON_Packet&) {
      LEvents.Add(s, "R");
      ++LPackets;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a handler that works
    });
    LRCON->SetActive(true);
    ASSERT_TRUE(Pump([&] { return LEvents.Has("A"); }));
    LRCON->ExecCommand("long 204800");
    ASSERT_TRUE(Pump([&] { return LPackets > 0; }));
    LRCON.reset();
    ASSERT_TRUE(LServer.WaitFinished(LRound + 1));
  }
  EXPECT_EQ(LEvents.Late(), 0);
}

// Many commands sent from the main thread while the reading thread decodes (neNoSync), with
// fences: every whole answer is its own command's.
TEST(RCONLifecycleStress, EveryWholeAnswerBelongsToItsCommandInNoSync) {
  constexpr int kCommands = 2000, kInFlight = 8;
  TRCONTestServer LServer([](TPeer& aPeer) {
    Echo(aPeer, [](const TWirePacket& c) { return WirePacket(c.ID, 0, "answer to " + c.Body); });
  });
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LServer.Port(), neNoSync);
  std::mutex LLock;
  std::vector<std::string> LWrong;
  std::atomic<int> LAnswers{0};
  std::atomic<bool> LAuthenticated{false};
  LRCON.SetOnAuthenticate(
      [&](TComponent*, bool, const TqorRCON_Packet&) { LAuthenticated = true; });
  LRCON.SetOnResponseComplete(
      [&](TComponent*, int32_t aID, const std::string& aCommand, const std::string& aText) {
        const int LIndex = LAnswers++;
        if (aCommand != "c" + std::to_string(LIndex) || aText != "answer to " + aCommand ||
            aID != LIndex + 2) {
          std::lock_guard<std::mutex> LGuard(LLock);
          LWrong.push_back(std::to_string(aID) + " " + aCommand + "=" + aText);
        }
      });
  LRCON.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return LAuthenticated.load(); }));
  for (int i = 0; i < kCommands; ++i) {
    ASSERT_TRUE(WaitUntil([&] { return i - LAnswers < kInFlight; })) << "stuck at " << i;
    LRCON.ExecCommand("c" + std::to_string(i));
  }
  ASSERT_TRUE(WaitUntil([&] { return LAnswers >= kCommands; }, 30000)) << LAnswers;
  LRCON.SetActive(false);
  EXPECT_EQ(LAnswers, kCommands);
  std::lock_guard<std::mutex> LGuard(LLock);
  EXPECT_TRUE(LWrong.empty()) << LWrong.size() << " wrong, first: " << LWrong.front();
}

INSTANTIATE_TEST_SUITE_P(Delivery, RCONLifecycle, AllDeliveryModes(), DeliveryModeParamName);

}  // namespace
