// A seeded, randomized soak of the RCON component in every delivery mode: connects, commands
// with answers from nothing to 200 KB, deactivations, reconnects from handlers and destruction
// while data flows, against servers that split, coalesce, reset, close, stall and send
// garbage. Invariants are checked at every event; at the end a calm server must still get a
// whole answer. QOR_SOAK_SECONDS (per mode, default 1.5) and QOR_SOAK_SEED (default 1) make
// longer or other runs; a failure prints the seed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"
#include "tests/support/DeliveryModes.h"

namespace {

double SoakSeconds() {
  const char* LValue = std::getenv("QOR_SOAK_SECONDS");
  return LValue ? std::atof(LValue) : 1.5;
}

unsigned SoakSeed() {
  const char* LValue = std::getenv("QOR_SOAK_SEED");
  return LValue ? unsigned(std::strtoul(LValue, nullptr, 10)) : 1u;
}

// Shared by the main thread and handlers on reading threads.
class TRandom {
 public:
  explicit TRandom(unsigned aSeed) : FEngine(aSeed) {}
  int Below(int aCount) {
    std::lock_guard<std::mutex> LGuard(FLock);
    return std::uniform_int_distribution<int>(0, aCount - 1)(FEngine);
  }
  bool Percent(int aChance) { return Below(1000) < aChance * 10; }
  bool PerMille(int aChance) { return Below(1000) < aChance; }

 private:
  std::mutex FLock;
  std::mt19937 FEngine;
};

// The answer to command "c<n> <size>": "c<n>;" repeated, cut at size bytes.
std::string Pattern(const std::string& aCommand) {
  const size_t LSpace = aCommand.find(' ');
  if (aCommand.empty() || aCommand[0] != 'c' || LSpace == std::string::npos) return {};
  const std::string LUnit = aCommand.substr(0, LSpace) + ";";
  const size_t LSize = std::stoul(aCommand.substr(LSpace + 1));
  std::string LText;
  while (LText.size() < LSize) LText += LUnit;
  LText.resize(LSize);
  return LText;
}

TBytes Answer(int32_t aID, const std::string& aText) {
  TBytes LOut;
  size_t LAt = 0;
  do {
    const size_t LTake = std::min<size_t>(4096, aText.size() - LAt);
    const TBytes LPacket = WirePacket(aID, 0, aText.substr(LAt, LTake));
    LOut.insert(LOut.end(), LPacket.begin(), LPacket.end());
    LAt += LTake;
  } while (LAt < aText.size());
  return LOut;
}

enum TMood { mPlain, mSplit, mCoalesce, mStall, mReset, mClose, mGarbage, kMoods };

// One connection of the hostile server. Its choices come from its own seeded stream.
void ServeSession(TPeer& aPeer, unsigned aSeed, bool aCalm) {
  std::mt19937 LRandom(aSeed);
  auto LBelow = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(LRandom); };
  const TMood LMood = aCalm ? mPlain : TMood(LBelow(kMoods));
  const bool LSource = LBelow(2) == 0;
  const int LEndAfter = 1 + LBelow(6);  // commands before a reset, close or garbage
  TBytes LHeld;
  auto LSend = [&](const TBytes& aBytes) {
    if (LMood != mSplit) return aPeer.Send(aBytes);
    for (size_t LAt = 0; LAt < aBytes.size();) {
      const size_t LTake = std::min<size_t>(1 + size_t(LBelow(3000)), aBytes.size() - LAt);
      aPeer.Send(TBytes(aBytes.begin() + long(LAt), aBytes.begin() + long(LAt + LTake)));
      LAt += LTake;
    }
  };
  TWirePacket LPacket;
  if (!aPeer.Receive(LPacket) || LPacket.Type != 3) return;
  LSend(LSource ? Cat({WirePacket(LPacket.ID, 0, ""), WirePacket(LPacket.ID, 2, "")})
                : WirePacket(LPacket.ID, 2, ""));
  for (int LCommands = 0; aPeer.Receive(LPacket);) {
    if (LPacket.Type != 2) {  // a fence
      const TBytes LReply = LSource ? Cat({WirePacket(LPacket.ID, 0, ""),
                                           WirePacket(LPacket.ID, 0, std::string("\0\1\0\0", 4))})
                                    : WirePacket(LPacket.ID, 0, "Unknown request 0");
      LHeld.insert(LHeld.end(), LReply.begin(), LReply.end());
      LSend(LHeld);
      LHeld.clear();
      continue;
    }
    const TBytes LAnswer = Answer(LPacket.ID, Pattern(LPacket.Body));
    if (++LCommands == LEndAfter && LMood >= mReset) {
      if (LMood == mGarbage) return aPeer.Send(Cat({Int(5), Int(LPacket.ID), TBytes(20, 'g')}));
      LSend(TBytes(LAnswer.begin(), LAnswer.begin() + long(LAnswer.size() / 2)));
      if (LMood == mReset) aPeer.Reset();
      return;
    }
    if (LMood == mStall) std::this_thread::sleep_for(std::chrono::milliseconds(LBelow(100)));
    if (LMood == mCoalesce)
      LHeld.insert(LHeld.end(), LAnswer.begin(), LAnswer.end());
    else
      LSend(LAnswer);
  }
}

// The client side: drives one component at a time and checks every event.
class TSoak {
 public:
  TSoak(TwsNotifyEvent aMode, unsigned aSeed) : FMode(aMode), FRandom(aSeed) {}

  void Fail(const std::string& aWhat) {
    std::lock_guard<std::mutex> LGuard(FLock);
    if (FFailures.size() < 10) FFailures.push_back(aWhat);
  }
  std::vector<std::string> Failures() {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FFailures;
  }

  std::unique_ptr<TqorLib_RCON> Make(int aPort) {
    auto LRCON = std::make_unique<TqorLib_RCON>(nullptr);
    LRCON->SetNotifyEvents(FMode);
    LRCON->SetSendFences(true);
    LRCON->RCON_Options()->SetHost("127.0.0.1");
    LRCON->RCON_Options()->SetPort(aPort);
    LRCON->RCON_Options()->SetPassword("zulu");
    LRCON->SetOnConnect([this](TComponent* s) {
      Event(s, "connect");
      if (FOpen.exchange(true)) Fail("OnConnect while connected");
      FAuthenticated = false;
      ++FConnections;
    });
    LRCON->SetOnAuthenticate([this](TComponent* s, bool, const TqorRCON_Packet&) {
      Event(s, "authenticate", true);
      FFirstCommand = true;
      FAuthenticated = true;
      if (FRandom.Percent(2)) Rcon(s).SetActive(false);
    });
    LRCON->SetOnResponse([this](TComponent* s, const std::string&, const TqorRCON_Packet&) {
      Event(s, "response", true);
      if (FRandom.PerMille(5)) Rcon(s).SetActive(false);
      if (FRandom.PerMille(3)) Act(Rcon(s), aOffOn);
    });
    LRCON->SetOnResponseComplete(
        [this](TComponent* s, int32_t aID, const std::string& aCommand, const std::string& aText) {
          Event(s, "whole answer", true);
          ++FAnswers;
          if (aCommand.empty() || aText != Pattern(aCommand))
            Fail("answer " + std::to_string(aID) + " to \"" + aCommand + "\" is \"" +
                 aText.substr(0, 40) + "\" (" + std::to_string(aText.size()) + " bytes)");
        });
    LRCON->SetOnResponseOverdue(
        [this](TComponent* s, int32_t, const std::string&) { Event(s, "overdue", true); });
    LRCON->SetOnDisconnect([this](TComponent* s) {
      Event(s, "disconnect", true);
      FOpen = false;
      if (Rcon(s).OpenResponses() != 0) Fail("answers open at OnDisconnect");
      if (FRandom.Percent(10)) Rcon(s).SetActive(true);
    });
    LRCON->SetOnException([this](TComponent* s, Exception& E) {
      Event(s, "exception");
      ++FExceptions;
      const std::string& M = E.Message();
      if (M != "Connection Closed Gracefully." && M.rfind("Socket Error # ", 0) != 0 &&
          M.rfind("Invalid RCON packet size 5 ", 0) != 0)
        Fail("unexpected exception: " + M);
    });
    FCurrent = LRCON.get();
    FOpen = false;
    FAuthenticated = false;
    return LRCON;
  }

  // Runs until aSeconds have passed; every wait inside is bounded.
  void Drive(int aPort, double aSeconds) {
    const auto LEnd =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(int(aSeconds * 1000));
    std::unique_ptr<TqorLib_RCON> LRCON;
    static const int kSizes[] = {0, 5, 100, 4095, 4096, 4097, 8192, 30000};
    while (std::chrono::steady_clock::now() < LEnd) {
      if (!LRCON) LRCON = Make(aPort);
      if (!LRCON->Active() && !FOpen) LRCON->SetActive(true);
      const int LAction = FRandom.Below(100);
      try {
        if (LAction < 50 && FAuthenticated) {
          for (int i = 1 + FRandom.Below(3); i > 0; --i) {
            // A short first answer shows the connection's fences answered, so that later
            // answers end at their fence, not after a quiet period a loaded machine may
            // stretch.
            const int LSize = FFirstCommand.exchange(false) ? 5
                              : FRandom.Percent(3)          ? 200000
                                                            : kSizes[FRandom.Below(8)];
            LRCON->ExecCommand("c" + std::to_string(FCommands++) + " " + std::to_string(LSize));
          }
        } else if (LAction < 54) {
          LRCON->SetActive(false);
        } else if (LAction < 57) {
          Act(*LRCON, aOffOn);
        } else if (LAction < 59) {
          FDestroyed += FOpen ? 1 : 0;
          FCurrent = nullptr;
          LRCON.reset();  // while data may flow
          continue;
        }
      } catch (Exception&) {  // a send that met the server's reset
      }
      const int LPause = FRandom.Below(20);
      PumpUntil(
          [&] {
            LRCON->CheckResponses();
            return false;
          },
          LPause);
    }
    if (LRCON) LRCON->SetActive(false);
    FCurrent = nullptr;
  }

  // A calm server: a fresh component still connects and gets a whole long answer.
  void CheckStillWorks(int aPort) {
    auto LRCON = Make(aPort);
    std::atomic<int> LAnswers{0};
    LRCON->SetOnAuthenticate(
        [&](TComponent*, bool, const TqorRCON_Packet&) { FAuthenticated = true; });
    LRCON->SetOnResponse(nullptr);
    LRCON->SetOnDisconnect(nullptr);
    LRCON->SetOnResponseComplete(
        [&](TComponent*, int32_t, const std::string& aCommand, const std::string& aText) {
          if (aText == Pattern(aCommand)) ++LAnswers;
        });
    LRCON->SetActive(true);
    EXPECT_TRUE(PumpUntil([&] { return FAuthenticated.load(); }, 10000));
    LRCON->ExecCommand("c999999 20000");
    EXPECT_TRUE(PumpUntil([&] { return LAnswers == 1; }, 10000));
  }

  std::atomic<int> FConnections{0}, FAnswers{0}, FExceptions{0}, FCommands{0}, FDestroyed{0};

 private:
  static TqorLib_RCON& Rcon(TComponent* aSender) { return *static_cast<TqorLib_RCON*>(aSender); }

  // aOfConnection: the event belongs to a standing connection.
  void Event(TComponent* aSender, const char* aWhat, bool aOfConnection = false) {
    if (aSender != FCurrent.load()) Fail(std::string(aWhat) + " from another component");
    if (Rcon(aSender).IsDestroying()) Fail(std::string(aWhat) + " during destruction");
    if (FMode != neNoSync && !IsMainThread()) Fail(std::string(aWhat) + " off the main thread");
    if (aOfConnection && !FOpen) Fail(std::string(aWhat) + " after OnDisconnect");
  }

  const TwsNotifyEvent FMode;
  TRandom FRandom;
  std::atomic<TqorLib_RCON*> FCurrent{nullptr};
  std::atomic<bool> FOpen{false}, FAuthenticated{false}, FFirstCommand{false};
  std::mutex FLock;
  std::vector<std::string> FFailures;
};

class RCONSoak : public ::testing::TestWithParam<TwsNotifyEvent> {};

TEST_P(RCONSoak, HoldsItsInvariantsAgainstHostileServers) {
  const unsigned LSeed = SoakSeed() * 3 + unsigned(GetParam());
  std::atomic<unsigned> LSessions{0};
  std::atomic<bool> LCalm{false};
  TRCONTestServer LServer([&](TPeer& aPeer) {
    try {
      ServeSession(aPeer, LSeed * 7919 + LSessions++, LCalm);
    } catch (const std::runtime_error&) {  // the client left in the middle
    }
  });
  TSoak LSoak(GetParam(), LSeed);
  LSoak.Drive(LServer.Port(), SoakSeconds());
  LCalm = true;
  LSoak.CheckStillWorks(LServer.Port());
  const auto LFailures = LSoak.Failures();
  EXPECT_TRUE(LFailures.empty()) << "seed " << SoakSeed() << ": "
                                 << testing::PrintToString(LFailures);
  EXPECT_GT(LSoak.FAnswers, 0);
  EXPECT_GT(LSoak.FConnections, 1);
  std::printf(
      "seed %u: %d connections, %d commands, %d whole answers, %d exceptions, %d "
      "destroyed while connected\n",
      SoakSeed(), LSoak.FConnections.load(), LSoak.FCommands.load(), LSoak.FAnswers.load(),
      LSoak.FExceptions.load(), LSoak.FDestroyed.load());
}

INSTANTIATE_TEST_SUITE_P(Delivery, RCONSoak, AllDeliveryModes(), DeliveryModeParamName);

}  // namespace
