// The RCON component's handlers that deactivate, activate or reconnect, in every delivery mode,
// compared with the same action made after the handler returned, and hostile servers in every
// mode: the log lines of each connection as the table says, no answer of a connection after its
// "#disconnected", Active as the table says, and the next activation connects and authenticates.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"
#include "tests/support/DeliveryModes.h"
#include "tests/support/Loopback.h"
#include "tests/support/Recorder.h"

namespace {

const std::string kClosed = "Connection Closed Gracefully.";
const std::string kReset = "Socket Error # 10054\r\nConnection reset by peer.";

// The log as tokens: C, A, D and E for "#connected", "#authenticated", "#disconnected" and
// "#exception: ", numbered by the connection they follow (E with its message), and R<n> for
// answers, which the test servers mark with their session's number n. Consecutive answers of
// one session count as one.
class TLog : public TTokenLog {
 public:
  void Hook(TqorLib_RCON& aRCON) {
    aRCON.SetOnConnect([this](TComponent*) { Add("C"); });
    aRCON.SetOnAuthenticate(
        [this](TComponent*, bool aOK, const TqorRCON_Packet&) { Add(aOK ? "A" : "N"); });
    aRCON.SetOnResponse([this](TComponent*, const std::string& aBody, const TqorRCON_Packet&) {
      Add(Answer(aBody));
    });
    aRCON.SetOnDisconnect([this](TComponent*) { Add("D"); });
    aRCON.SetOnException([this](TComponent*, Exception& E) { Add("E", E.Message()); });
  }
  // Session number of an answer body "s<n>:...".
  static std::string Answer(const std::string& aBody) {
    return "R" + aBody.substr(1, aBody.find(':') - 1);
  }
  void Add(const std::string& aKind, const std::string& aText = {}) {
    std::lock_guard<std::mutex> LGuard(FLock);
    if (aKind == "C") ++FConnections;
    std::string LToken = aKind[0] == 'R' ? aKind : aKind + std::to_string(FConnections);
    if (aKind == "E") LToken += " " + aText;
    if (aKind[0] != 'R' || FTokens.empty() || FTokens.back() != LToken) FTokens.push_back(LToken);
    // An answer of a session whose connection has ended.
    if (aKind[0] == 'R' && FEnded.count(aKind.substr(1))) FLate = true;
    if (aKind == "D") FEnded.insert(std::to_string(FConnections));
  }
  bool Late() const {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FLate;
  }

 private:
  int FConnections = 0;
  std::set<std::string> FEnded;
  bool FLate = false;
};

bool Pump(const std::function<bool()>& aDone, int aMs = 10000) {
  return PumpUntil(aDone, aMs);
}

void Configure(TqorLib_RCON& aRCON, int aPort, TwsNotifyEvent aMode) {
  aRCON.SetNotifyEvents(aMode);
  aRCON.RCON_Options()->SetHost("127.0.0.1");
  aRCON.RCON_Options()->SetPort(aPort);
  aRCON.RCON_Options()->SetPassword("zulu");
}

// Reads the authentication request and accepts it; false if none came.
bool Authenticate(TPeer& aPeer) {
  TWirePacket LAuth;
  if (!aPeer.Receive(LAuth) || LAuth.Type != 3 || LAuth.Body != "zulu") return false;
  aPeer.Send(WirePacket(LAuth.ID, 2, ""));
  return true;
}

// An answer of 16 full packets, marked with the session's number.
TBytes LongAnswer(int aSession) {
  TBytes LOut;
  const std::string LMark = "s" + std::to_string(aSession) + ":";
  for (int i = 0; i < 16; ++i) {
    const TBytes LPacket = WirePacket(2, 0, LMark + std::string(4096 - LMark.size(), 'a'));
    LOut.insert(LOut.end(), LPacket.begin(), LPacket.end());
  }
  return LOut;
}

// After whatever happened, the next activation connects and authenticates, and its
// deactivation ends it.
void ExpectNextActivationWorks(TqorLib_RCON& aRCON, TLog& aLog) {
  aRCON.SetActive(false);
  ASSERT_FALSE(aRCON.Active());
  const size_t LBefore = aLog.Count();
  aRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return aLog.Count() >= LBefore + 2; }))
      << testing::PrintToString(aLog.Tokens());
  const auto LTokens = aLog.Tokens();
  EXPECT_EQ(LTokens[LBefore][0], 'C') << testing::PrintToString(LTokens);
  EXPECT_EQ(LTokens[LBefore + 1][0], 'A') << testing::PrintToString(LTokens);
  EXPECT_TRUE(aRCON.Active());
  aRCON.SetActive(false);
  EXPECT_EQ(aLog.Last()[0], 'D') << testing::PrintToString(aLog.Tokens());
}

// ---- Re-entrant activation and deactivation ----

enum THandler { hAuthenticate, hResponse, hDisconnect };

// OnAuthenticate meets the server's acceptance, OnResponse the first packet of a long answer,
// OnDisconnect the server's close after the acceptance.
const std::map<std::pair<THandler, TReentryAction>, std::vector<std::string>> kLog = {
    {{hAuthenticate, aOff}, {"C1", "A1", "D1"}},
    {{hAuthenticate, aOn}, {"C1", "A1"}},
    {{hAuthenticate, aOffOn}, {"C1", "A1", "D1", "C2", "A2"}},
    {{hResponse, aOff}, {"C1", "A1", "R1", "D1"}},
    {{hResponse, aOn}, {"C1", "A1", "R1"}},
    {{hResponse, aOffOn}, {"C1", "A1", "R1", "D1", "C2", "A2"}},
    {{hDisconnect, aOff}, {"C1", "A1", "D1", "E1 " + kClosed}},
    {{hDisconnect, aOn}, {"C1", "A1", "D1", "E1 " + kClosed, "C2", "A2"}},
    {{hDisconnect, aOffOn}, {"C1", "A1", "D1", "E1 " + kClosed, "C2", "A2"}},
};

using TReentry = std::tuple<TwsNotifyEvent, THandler, TReentryAction, TReentryWhere>;

class RCONReentry : public ::testing::TestWithParam<TReentry> {};

TEST_P(RCONReentry, GivesTheLogOfTheSameActionAfterTheHandler) {
  const auto [LMode, LHandler, LAction, LWhere] = GetParam();
  std::atomic<int> LSessions{0};
  TRCONTestServer LServer([&](TPeer& aPeer) {
    const int LSession = ++LSessions;
    if (!Authenticate(aPeer)) return;
    if (LSession == 1 && LHandler == hDisconnect) return;  // the server's close
    if (LSession == 1 && LHandler == hResponse) {
      try {
        aPeer.Send(LongAnswer(LSession));
      } catch (const std::runtime_error&) {  // the client may close before the end
      }
    }
    aPeer.WaitClosed();
  });
  TLog LLog;
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LServer.Port(), LMode);
  LLog.Hook(LRCON);
  std::atomic<bool> LFired{false};
  auto LTrigger = [&](const std::string& aToken) {
    LLog.Add(aToken);
    if (LFired.exchange(true)) return;
    if (LWhere == wInside) Act(LRCON, LAction);
  };
  switch (LHandler) {
    case hAuthenticate:
      LRCON.SetOnAuthenticate([&](TComponent*, bool, const TqorRCON_Packet&) { LTrigger("A"); });
      break;
    case hResponse:
      LRCON.SetOnResponse([&](TComponent*, const std::string& aBody, const TqorRCON_Packet&) {
        LTrigger(TLog::Answer(aBody));
      });
      break;
    case hDisconnect:
      LRCON.SetOnDisconnect([&](TComponent*) { LTrigger("D"); });
      break;
  }
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LFired.load(); })) << testing::PrintToString(LLog.Tokens());
  if (LWhere == wAfter) Act(LRCON, LAction);
  const std::vector<std::string>& LExpected = kLog.at({LHandler, LAction});
  EXPECT_TRUE(Pump([&] { return LLog.Count() >= LExpected.size(); }));
  Pump([] { return false; }, 50);  // nothing more arrives
  EXPECT_EQ(LLog.Tokens(), LExpected);
  EXPECT_FALSE(LLog.Late()) << testing::PrintToString(LLog.Tokens());
  EXPECT_EQ(LRCON.Active(), LAction != aOff);
  ExpectNextActivationWorks(LRCON, LLog);
  EXPECT_FALSE(LLog.Late()) << testing::PrintToString(LLog.Tokens());
}

std::string ReentryName(const ::testing::TestParamInfo<TReentry>& aInfo) {
  static const char* const LHandlers[] = {"OnAuthenticate", "OnResponse", "OnDisconnect"};
  const auto [LMode, LHandler, LAction, LWhere] = aInfo.param;
  return ReentryCaseName(LMode, LHandlers[LHandler], LAction, LWhere);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RCONReentry,
    ::testing::Combine(AllDeliveryModes(), ::testing::Values(hAuthenticate, hResponse, hDisconnect),
                       AllReentryActions(), BothReentryPlaces()),
    ReentryName);

// ---- Hostile servers ----

class RCONHostileServer : public ::testing::TestWithParam<TwsNotifyEvent> {};

// The server ends the connection in the middle of a packet: no answer is made of the piece,
// and the next connection does not glue it to its own first bytes.
TEST_P(RCONHostileServer, CloseInTheMiddleOfAPacket) {
  std::atomic<int> LSessions{0};
  TRCONTestServer LServer([&](TPeer& aPeer) {
    if (++LSessions == 1) {
      TWirePacket LAuth;
      if (!aPeer.Receive(LAuth)) return;
      TBytes LHalf = WirePacket(LAuth.ID, 0, "s1:stale");
      LHalf.resize(9);
      aPeer.Send(LHalf);
      return;
    }
    if (Authenticate(aPeer)) aPeer.WaitClosed();
  });
  TLog LLog;
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LServer.Port(), GetParam());
  LLog.Hook(LRCON);
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LLog.Count() >= 3; })) << testing::PrintToString(LLog.Tokens());
  Pump([] { return false; }, 50);
  EXPECT_EQ(LLog.Tokens(), (std::vector<std::string>{"C1", "D1", "E1 " + kClosed}));
  EXPECT_FALSE(LRCON.Active());
  ExpectNextActivationWorks(LRCON, LLog);
  EXPECT_EQ(LLog.Tokens().size(), 6u) << testing::PrintToString(LLog.Tokens());
}

// A reset in the middle of a long answer: the answer's packets that arrived whole, then the
// failure and the end of the connection; none of its answers after that.
TEST_P(RCONHostileServer, ResetInTheMiddleOfALongAnswer) {
  std::atomic<int> LSessions{0};
  TRCONTestServer LServer([&](TPeer& aPeer) {
    const int LSession = ++LSessions;
    if (!Authenticate(aPeer)) return;
    if (LSession > 1) return aPeer.WaitClosed(), void();
    TWirePacket LCommand;
    if (!aPeer.Receive(LCommand)) return;
    for (int i = 0; i < 16; ++i) aPeer.Send(LongAnswer(LSession));
    aPeer.Reset();
  });
  TLog LLog;
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LServer.Port(), GetParam());
  LLog.Hook(LRCON);
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LLog.Count() >= 2; }));
  LRCON.ExecCommand("long");
  ASSERT_TRUE(Pump([&] { return LLog.Last() == "D1"; })) << testing::PrintToString(LLog.Tokens());
  Pump([] { return false; }, 50);
  auto LTokens = LLog.Tokens();
  LTokens.erase(std::remove(LTokens.begin(), LTokens.end(), "R1"), LTokens.end());
  EXPECT_EQ(LTokens, (std::vector<std::string>{"C1", "A1", "E1 " + kReset, "D1"}));
  EXPECT_FALSE(LRCON.Active());
  ExpectNextActivationWorks(LRCON, LLog);
  EXPECT_FALSE(LLog.Late()) << testing::PrintToString(LLog.Tokens());
}

// A server that never answers the connect: the time-out is the only line, then the next
// activation, to a server that answers, works.
TEST_P(RCONHostileServer, ServerThatNeverAnswers) {
  TSilentPeer LSilent;
  if (!LSilent.Valid()) GTEST_SKIP() << "this sandbox answers every loopback connect";
  TRCONTestServer LServer([](TPeer& aPeer) {
    if (Authenticate(aPeer)) aPeer.WaitClosed();
  });
  TLog LLog;
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LSilent.Port(), GetParam());
  LLog.Hook(LRCON);
  LRCON.SetConnectTimeout(200);
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LLog.Count() >= 1; }));
  Pump([] { return false; }, 50);
  EXPECT_EQ(LLog.Tokens(), std::vector<std::string>{"E0 Connect timed out."});
  EXPECT_FALSE(LRCON.Active());
  LRCON.RCON_Options()->SetPort(LServer.Port());
  ExpectNextActivationWorks(LRCON, LLog);
}

// A server that accepts but never answers the authentication (a service that is no RCON
// server): the connection stands silently until the application ends it.
TEST_P(RCONHostileServer, ServerThatNeverAnswersTheAuthentication) {
  std::atomic<int> LSessions{0};
  TRCONTestServer LServer([&](TPeer& aPeer) {
    if (++LSessions > 1 && !Authenticate(aPeer)) return;
    aPeer.WaitClosed();
  });
  TLog LLog;
  TqorLib_RCON LRCON(nullptr);
  Configure(LRCON, LServer.Port(), GetParam());
  LLog.Hook(LRCON);
  LRCON.SetActive(true);
  ASSERT_TRUE(Pump([&] { return LLog.Count() >= 1; }));
  Pump([] { return false; }, 200);
  EXPECT_EQ(LLog.Tokens(), std::vector<std::string>{"C1"});
  EXPECT_TRUE(LRCON.Active());
  ExpectNextActivationWorks(LRCON, LLog);
  EXPECT_EQ(LLog.Tokens(), (std::vector<std::string>{"C1", "D1", "C2", "A2", "D2"}));
}

INSTANTIATE_TEST_SUITE_P(Delivery, RCONHostileServer, AllDeliveryModes(), DeliveryModeParamName);

}  // namespace
