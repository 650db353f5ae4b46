// Handlers that deactivate, activate or reconnect from inside an event, in every delivery mode,
// and hostile peers. Each case runs against a scripted loopback peer and is compared with the
// same action made by the application after the handler returned: both give the events in the
// table below, no event of a connection follows its OnDisconnect, Active reads as the table
// says, and the next activation connects. Events are told apart by their connection's Guid.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <tuple>

#include "tests/support/DeliveryModes.h"
#include "tests/support/Recorder.h"
#include "tests/support/ScriptServer.h"
#include "tests/tcp_client/TCPClientTestKit.h"
#include "transport/IdException.h"

namespace {

using TServer = TScriptServer<>;

const std::string kReset = "Socket Error # 10054\r\nConnection reset by peer.";
const std::string kClosed = "Connection Closed Gracefully.";

// The events of one run as tokens: kind, the connection's number in order of appearance ("-"
// for none), and for a failure its message. "C1 B1 D1" is connect, data, disconnect of the
// first connection; consecutive data events of one connection count as one, since how a
// stream is cut into reads is the kernel's business.
class TLives : public TTokenLog {
 public:
  void Hook(TqorTCPCLient& aClient) {
    aClient.SetOnConnect([this](TqorTCPConnection* c) { Add("C", c); });
    aClient.SetOnDisconnect([this](TqorTCPConnection* c) { Add("D", c); });
    aClient.SetOnBinary([this](TqorTCPConnection* c, TMemoryStream& aData) {
      Add("B", c,
          std::string(reinterpret_cast<const char*>(aData.Memory()),
                      static_cast<size_t>(aData.Size())));
    });
    aClient.SetOnException(
        [this](TqorTCPConnection* c, Exception& E) { Add("E", c, E.Message()); });
  }

  // Returns the connection's number.
  int Add(const std::string& aKind, TqorTCPConnection* aConnection, const std::string& aText = {}) {
    const std::string LGuid = aConnection ? aConnection->Guid() : std::string();
    std::lock_guard<std::mutex> LGuard(FLock);
    int LNumber = 0;
    if (aConnection)
      LNumber = FNumbers.emplace(LGuid, static_cast<int>(FNumbers.size()) + 1).first->second;
    const std::string LWho = LNumber ? std::to_string(LNumber) : "-";
    std::string LToken = aKind + LWho;
    if (aKind == "E" || aKind == "W") LToken += " " + aText;
    if (aKind == "B") FData[LNumber] += aText;
    if (aKind != "B" || FTokens.empty() || FTokens.back() != LToken) FTokens.push_back(LToken);
    FEvents.push_back({aKind, LNumber});
    return LNumber;
  }
  std::string Data(int aConnection) const {
    std::lock_guard<std::mutex> LGuard(FLock);
    auto LAt = FData.find(aConnection);
    return LAt == FData.end() ? std::string() : LAt->second;
  }
  // Every connection begins with its OnConnect and ends with one OnDisconnect, after which
  // nothing of it is raised; aOpen connections may still stand. Empty when that holds.
  std::string BrokenLives(int aOpen = 0) const {
    std::lock_guard<std::mutex> LGuard(FLock);
    std::map<int, std::vector<std::string>> LLives;
    for (const TEvent& E : FEvents)
      if (E.Connection) LLives[E.Connection].push_back(E.Kind);
    int LStanding = 0;
    for (const auto& [LNumber, LKinds] : LLives) {
      const std::string LWho = "connection " + std::to_string(LNumber) + ": ";
      if (LKinds.front() != "C") return LWho + "does not begin with OnConnect";
      if (std::count(LKinds.begin(), LKinds.end(), "C") != 1) return LWho + "connected twice";
      const auto LEnd = std::find(LKinds.begin(), LKinds.end(), "D");
      if (LEnd == LKinds.end()) {
        ++LStanding;
        continue;
      }
      if (LEnd + 1 != LKinds.end()) return LWho + "an event after its OnDisconnect";
    }
    if (LStanding != aOpen) return std::to_string(LStanding) + " connections never ended";
    return {};
  }

 private:
  struct TEvent {
    std::string Kind;
    int Connection;
  };
  std::map<std::string, int> FNumbers;
  std::map<int, std::string> FData;
  std::vector<TEvent> FEvents;
};

void Configure(TqorTCPCLient& aClient, int aPort, TwsNotifyEvent aMode) {
  aClient.SetHost("127.0.0.1");
  aClient.SetPort(aPort);
  aClient.SetNotifyEvents(aMode);
}

// The next activation after whatever happened connects, and its deactivation ends it.
void ExpectNextActivationWorks(TqorTCPCLient& aClient, TLives& aLives) {
  aClient.SetActive(false);
  ASSERT_FALSE(aClient.Active());
  const size_t LBefore = aLives.Count();
  aClient.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return aLives.Count() > LBefore; }));
  EXPECT_EQ(aLives.Last()[0], 'C') << testing::PrintToString(aLives.Tokens());
  EXPECT_TRUE(aClient.Active());
  aClient.SetActive(false);
  EXPECT_EQ(aLives.Last()[0], 'D') << testing::PrintToString(aLives.Tokens());
  EXPECT_FALSE(aClient.Active());
}

// ---- Re-entrant activation and deactivation ----

enum THandler { hConnect, hBinary, hException, hDisconnect };

// What the handler's connection meets: OnConnect its activation; OnBinary a long answer;
// OnException a reset by the server; OnDisconnect a close by the server.
// Active := True while a connection stands changes nothing; a connection whose read failed,
// or that the server closed, no longer stands, so it connects anew.
const std::map<std::pair<THandler, TReentryAction>, std::vector<std::string>> kEvents = {
    {{hConnect, aOff}, {"C1", "D1"}},
    {{hConnect, aOn}, {"C1"}},
    {{hConnect, aOffOn}, {"C1", "D1", "C2"}},
    {{hBinary, aOff}, {"C1", "B1", "D1"}},
    {{hBinary, aOn}, {"C1", "B1"}},
    {{hBinary, aOffOn}, {"C1", "B1", "D1", "C2"}},
    {{hException, aOff}, {"C1", "E1 " + kReset, "D1"}},
    {{hException, aOn}, {"C1", "E1 " + kReset, "D1", "C2"}},
    {{hException, aOffOn}, {"C1", "E1 " + kReset, "D1", "C2"}},
    {{hDisconnect, aOff}, {"C1", "D1", "E- " + kClosed}},
    {{hDisconnect, aOn}, {"C1", "D1", "E- " + kClosed, "C2"}},
    {{hDisconnect, aOffOn}, {"C1", "D1", "E- " + kClosed, "C2"}},
};

using TReentry = std::tuple<TwsNotifyEvent, THandler, TReentryAction, TReentryWhere>;

class Reentry : public ::testing::TestWithParam<TReentry> {};

TEST_P(Reentry, GivesTheEventsOfTheSameActionAfterTheHandler) {
  const auto [LMode, LHandler, LAction, LWhere] = GetParam();
  std::atomic<int> LSessions{0};
  std::atomic<bool> LGo{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (++LSessions == 1) {
      switch (LHandler) {
        case hConnect:
          break;
        case hBinary:
          try {
            for (int i = 0; i < 16; ++i) aPeer.Send(TBytes(4096, 'a'));
          } catch (const std::runtime_error&) {  // the client may close before the end
          }
          break;
        case hException:
          if (WaitUntil([&] { return LGo.load(); })) aPeer.Reset();
          return;
        case hDisconnect:
          if (WaitUntil([&] { return LGo.load(); })) aPeer.Close();
          break;
      }
    }
    aPeer.WaitClosed();
  });
  TLives LLives;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), LMode);
  LLives.Hook(LClient);
  std::atomic<bool> LFired{false};
  auto LTrigger = [&](const std::string& aKind, TqorTCPConnection* c, const std::string& aText) {
    const int LNumber = LLives.Add(aKind, c, aText);
    if (LNumber != 1 || LFired.exchange(true)) return;
    if (LWhere == wInside) Act(LClient, LAction);
  };
  switch (LHandler) {
    case hConnect:
      LClient.SetOnConnect([&](TqorTCPConnection* c) { LTrigger("C", c, {}); });
      break;
    case hBinary:
      LClient.SetOnBinary([&](TqorTCPConnection* c, TMemoryStream&) { LTrigger("B", c, {}); });
      break;
    case hException:
      LClient.SetOnException(
          [&](TqorTCPConnection* c, Exception& E) { LTrigger("E", c, E.Message()); });
      break;
    case hDisconnect:
      LClient.SetOnDisconnect([&](TqorTCPConnection* c) { LTrigger("D", c, {}); });
      break;
  }
  LClient.SetActive(true);
  LGo = true;  // the peer resets or closes only a connection that stands
  ASSERT_TRUE(WaitUntil([&] { return LFired.load(); })) << testing::PrintToString(LLives.Tokens());
  if (LWhere == wAfter) Act(LClient, LAction);
  const std::vector<std::string>& LExpected = kEvents.at({LHandler, LAction});
  EXPECT_TRUE(WaitUntil([&] { return LLives.Count() >= LExpected.size(); }));
  PumpFor(50);  // nothing more arrives
  EXPECT_EQ(LLives.Tokens(), LExpected);
  const bool LStands = LAction != aOff;
  EXPECT_EQ(LClient.Active(), LStands);
  EXPECT_EQ(LLives.BrokenLives(LStands ? 1 : 0), "");
  ExpectNextActivationWorks(LClient, LLives);
  EXPECT_EQ(LLives.BrokenLives(), "");
}

std::string ReentryName(const ::testing::TestParamInfo<TReentry>& aInfo) {
  static const char* const LHandlers[] = {"OnConnect", "OnBinary", "OnException", "OnDisconnect"};
  const auto [LMode, LHandler, LAction, LWhere] = aInfo.param;
  return ReentryCaseName(LMode, LHandlers[LHandler], LAction, LWhere);
}

INSTANTIATE_TEST_SUITE_P(Table, Reentry,
                         ::testing::Combine(AllDeliveryModes(),
                                            ::testing::Values(hConnect, hBinary, hException,
                                                              hDisconnect),
                                            AllReentryActions(), BothReentryPlaces()),
                         ReentryName);

// ---- Hostile peers ----

class HostilePeer : public ::testing::TestWithParam<TwsNotifyEvent> {};

// A reset in the middle of a long answer: what arrived before it may be delivered, then the
// failure and the end of the connection.
TEST_P(HostilePeer, ResetInTheMiddleOfALongAnswer) {
  std::atomic<int> LSessions{0};
  std::atomic<bool> LGo{false}, LReset{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (++LSessions > 1 || !WaitUntil([&] { return LGo.load(); }))
      return aPeer.WaitClosed(), void();
    aPeer.Send(TBytes(1 << 20, 'x'));
    aPeer.Reset();
    LReset = true;
  });
  TLives LLives;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLives.Hook(LClient);
  LClient.SetActive(true);
  LGo = true;
  ASSERT_TRUE(WaitUntil([&] { return LReset && LLives.Last() == "D1"; }))
      << testing::PrintToString(LLives.Tokens());
  PumpFor(50);
  auto LTokens = LLives.Tokens();
  LTokens.erase(std::remove(LTokens.begin(), LTokens.end(), "B1"), LTokens.end());
  EXPECT_EQ(LTokens, (std::vector<std::string>{"C1", "E1 " + kReset, "D1"}));
  EXPECT_EQ(LLives.Data(1).find_first_not_of('x'), std::string::npos);
  EXPECT_FALSE(LClient.Active());
  ExpectNextActivationWorks(LClient, LLives);
  EXPECT_EQ(LLives.BrokenLives(), "");
}

// A close in the middle of a frame: the whole frames arrive, the piece of the next one goes
// with the connection.
TEST_P(HostilePeer, CloseInTheMiddleOfAFrame) {
  std::atomic<int> LSessions{0};
  std::atomic<bool> LGo{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (++LSessions == 1 && WaitUntil([&] { return LGo.load(); })) {
      aPeer.Send(Bytes("one\ntwo\nthr"));
      aPeer.Close();
    }
    aPeer.WaitClosed();
  });
  TLives LLives;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLives.Hook(LClient);
  LClient.SetOnConnect([&](TqorTCPConnection* c) {
    c->SetTCPEndOfFrameScanBuffer(eofScanAllBytes);
    c->AddTCPEndOfFrame('\n');
    LLives.Add("C", c);
  });
  LClient.SetActive(true);
  LGo = true;
  ASSERT_TRUE(WaitUntil([&] { return LLives.Last() == "E- " + kClosed; }))
      << testing::PrintToString(LLives.Tokens());
  PumpFor(50);
  EXPECT_EQ(LLives.Tokens(), (std::vector<std::string>{"C1", "B1", "D1", "E- " + kClosed}));
  EXPECT_EQ(LLives.Data(1), "one\ntwo\n");
  EXPECT_FALSE(LClient.Active());
  ExpectNextActivationWorks(LClient, LLives);
  EXPECT_EQ(LLives.BrokenLives(), "");
}

// A peer that never answers the connect: the time-out is the only event, and the next
// activation, to a peer that answers, connects.
TEST_P(HostilePeer, PeerThatNeverAnswers) {
  TSilentPeer LSilent;
  if (!LSilent.Valid()) GTEST_SKIP() << "this sandbox answers every loopback connect";
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  TLives LLives;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LSilent.Port(), GetParam());
  LLives.Hook(LClient);
  LClient.SetConnectTimeout(200);
  LClient.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return LLives.Count() >= 1; }));
  PumpFor(50);
  EXPECT_EQ(LLives.Tokens(), std::vector<std::string>{"E- Connect timed out."});
  EXPECT_FALSE(LClient.Active());
  LClient.SetPort(LServer.Port());
  ExpectNextActivationWorks(LClient, LLives);
  EXPECT_EQ(LLives.BrokenLives(), "");
}

// A write that meets the server's reset: the writer gets the error once, the connection ends
// with one OnDisconnect, and nothing of it follows.
TEST_P(HostilePeer, WriteError) {
  std::atomic<int> LSessions{0};
  std::atomic<bool> LGo{false}, LReset{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (++LSessions > 1 || !WaitUntil([&] { return LGo.load(); }))
      return aPeer.WaitClosed(), void();
    aPeer.Reset();
    LReset = true;
  });
  TLives LLives;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), GetParam());
  LLives.Hook(LClient);
  int LFailures = 0;
  // Inside OnConnect no reading thread runs yet: the write, not a read, meets the reset.
  LClient.SetOnConnect([&](TqorTCPConnection* c) {
    LLives.Add("C", c);
    if (LSessions > 1) return;
    LGo = true;
    WaitUntil([&] { return LReset.load(); });
    for (int i = 0; i < 500 && LFailures == 0; ++i) {
      try {
        LClient.WriteData(TBytes(100, 'w'));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } catch (EIdSocketError& E) {
        ++LFailures;
        LLives.Add("W", c, std::to_string(E.LastError()));
      }
    }
    LClient.WriteData(TBytes(100, 'w'));  // dropped: the failure was reported once
  });
  LClient.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return LLives.BrokenLives() == ""; }))
      << testing::PrintToString(LLives.Tokens());
  PumpFor(50);
  const auto LTokens = LLives.Tokens();
  ASSERT_GE(LTokens.size(), 3u) << testing::PrintToString(LTokens);
  EXPECT_EQ(LTokens[0], "C1");
  EXPECT_EQ(LTokens[1], "W1 10054");
  EXPECT_EQ(LFailures, 1);
  EXPECT_FALSE(LClient.Active());
  ExpectNextActivationWorks(LClient, LLives);
  EXPECT_EQ(LLives.BrokenLives(), "");
}

INSTANTIATE_TEST_SUITE_P(Delivery, HostilePeer, AllDeliveryModes(), DeliveryModeParamName);

}  // namespace

namespace {

// With neSynchronous a reconnect asked for in OnDisconnect of a close by the server waits for
// that close's exception. A deactivation the application posts from OnException comes later
// than the handler's request, so it has the last word: no second connection is made.
TEST(Reentry, ALaterDeactivationOverridesAHeldReconnect) {
  std::atomic<int> LSessions{0};
  std::atomic<bool> LGo{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    if (++LSessions == 1 && WaitUntil([&] { return LGo.load(); })) aPeer.Close();
    aPeer.WaitClosed();
  });
  TLives LLives;
  TqorTCPCLient LClient(nullptr);
  Configure(LClient, LServer.Port(), neSynchronous);
  LLives.Hook(LClient);
  TMainThreadContext LLater;
  std::atomic<bool> LPostedRan{false};
  LClient.SetOnDisconnect([&](TqorTCPConnection* c) {
    LLives.Add("D", c);
    LClient.SetActive(true);
  });
  LClient.SetOnException([&](TqorTCPConnection* c, Exception& E) {
    LLives.Add("E", c, E.Message());
    PostToMainThread(
        [&] {
          LClient.SetActive(false);
          LPostedRan = true;
        },
        LLater);
  });
  LClient.SetActive(true);
  LGo = true;
  ASSERT_TRUE(WaitUntil([&] { return LPostedRan.load(); }))
      << testing::PrintToString(LLives.Tokens());
  PumpFor(100);  // a held reconnect would run now
  EXPECT_FALSE(LClient.Active());
  EXPECT_EQ(LServer.Accepted(), 1);
  EXPECT_EQ(LLives.Tokens(), (std::vector<std::string>{"C1", "D1", "E- " + kClosed}));
  LLater.Close();
}

}  // namespace
