#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/Component.h"
#include "platform/Encoding.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"
#include "platform/Stream.h"
#include "platform/StringList.h"
#include "platform/SysUtils.h"

namespace {

std::string Str(const TBytes& b) {
  return std::string(b.begin(), b.end());
}

TEST(Encoding, AsciiReplacesWideCharactersBothWays) {
  EXPECT_EQ(Str(TEncoding::ASCII().GetBytes("a\xC3\xA9z\xE2\x82\xAC")), "a?z?");  // é, €
  const uint8_t in[] = {'o', 'k', 0x80, 0xFF};
  EXPECT_EQ(TEncoding::ASCII().GetString(in, 4), "ok\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Encoding, EightBitKeepsLatin1AndTurnsTheRestInto63) {
  EXPECT_EQ(TEncoding::ANSI().GetBytes("\xC3\xA9\xE2\x82\xAC"), (TBytes{0xE9, 63}));
  const uint8_t in[] = {0xE9};
  EXPECT_EQ(TEncoding::ANSI().GetString(in, 1), "\xC3\xA9");
}

TEST(Encoding, Utf8ReplacesMalformedInputAndCountsCharacters) {
  const uint8_t bad[] = {'a', 0xC3, 'b', 0xE2, 0x82};  // cut sequences
  EXPECT_EQ(TEncoding::UTF8().GetString(bad, sizeof bad),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  const std::string text =
      "\xC2\xA7"
      "a\xF0\x9F\x98\x80";  // § a 😀
  TBytes b = TEncoding::UTF8().GetBytes(text);
  EXPECT_EQ(Str(b), text);
  EXPECT_EQ(TEncoding::UTF8().GetCharCount(b.data(), b.size()), 3u);
}

// One U+FFFD per maximal subpart, as the Unicode standard (its own example, table 3-8) and
// WHATWG decode malformed UTF-8; "R" stands for U+FFFD in the expectations.
struct Utf8Case {
  std::string In;
  std::string Out;
};
class Utf8MalformedTest : public ::testing::TestWithParam<Utf8Case> {};
TEST_P(Utf8MalformedTest, MaximalSubparts) {
  std::string want;
  for (char c : GetParam().Out) want += c == 'R' ? std::string("\xEF\xBF\xBD") : std::string(1, c);
  const auto* p = reinterpret_cast<const uint8_t*>(GetParam().In.data());
  const size_t n = GetParam().In.size();
  EXPECT_EQ(TEncoding::UTF8().GetString(p, n), want);
  const auto chars = std::count_if(want.begin(), want.end(),
                                   [](char c) { return (static_cast<uint8_t>(c) & 0xC0) != 0x80; });
  EXPECT_EQ(TEncoding::UTF8().GetCharCount(p, n), static_cast<size_t>(chars));
  EXPECT_EQ(Str(TEncoding::UTF8().GetBytes(GetParam().In)), want);
}
INSTANTIATE_TEST_SUITE_P(Rows, Utf8MalformedTest,
                         ::testing::Values(Utf8Case{"a\xF1\x80\x80\xE1\x80\xC2"
                                                    "b\x80"
                                                    "c\x80\xBF"
                                                    "d",
                                                    "aRRRbRcRRd"},
                                           Utf8Case{"\xC0\x80", "RR"},       // overlong NUL
                                           Utf8Case{"\xC0\xAF", "RR"},       // overlong "/"
                                           Utf8Case{"\xE0\x80\xAF", "RRR"},  // overlong three-byte
                                           Utf8Case{"\xED\xA0\x80", "RRR"},  // surrogate
                                           Utf8Case{"\xF4\x90\x80\x80", "RRRR"},  // above U+10FFFF
                                           Utf8Case{"\xF5\x80", "RR"}, Utf8Case{"\xFF", "R"},
                                           Utf8Case{"\xE2\x82"
                                                    "A",
                                                    "RA"},                 // cut, then ASCII
                                           Utf8Case{"\xF0\x9F\x98", "R"},  // cut at the end
                                           Utf8Case{"\xEF\xBF\xBD",
                                                    "R"},  // a real U+FFFD stays one
                                           Utf8Case{"\xE2\x82\xAC\xE2\x82", "\xE2\x82\xACR"}));

TEST(Encoding, BulkDecodingAgreesWithOneCharacterAtATime) {
  // Random mixes of ASCII runs, valid sequences and stray bytes, over every alignment.
  std::mt19937 rng(7);
  const std::vector<std::string> pieces = {
      "plain ascii text", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80", "\xC3",
      "\xE2\x82",         "\xF0\x9F", "\xFF",         "\xED\xA0\x80",     "\n"};
  for (int round = 0; round < 500; ++round) {
    std::string in;
    const int count = static_cast<int>(rng() % 40);
    for (int i = 0; i < count; ++i) in += pieces[rng() % pieces.size()];
    std::string slow;
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    for (size_t i = 0; i < in.size();) {
      uint32_t cp;
      i += NextUTF8(p + i, in.size() - i, cp);
      AppendUTF8(cp, slow);
    }
    ASSERT_EQ(TEncoding::UTF8().GetString(p, in.size()), slow) << round;
    std::string ascii;
    for (char c : in)
      AppendUTF8(static_cast<uint8_t>(c) < 0x80 ? static_cast<uint8_t>(c) : 0xFFFD, ascii);
    ASSERT_EQ(TEncoding::ASCII().GetString(p, in.size()), ascii) << round;
    const size_t valid = ValidUTF8Length(p, in.size());
    EXPECT_EQ(TEncoding::UTF8().GetString(p, valid), in.substr(0, valid));
  }
}

TEST(Encoding, Utf16RoundTripsSurrogatePairs) {
  const std::string text = "A\xF0\x9F\x98\x80";
  TBytes le = TEncoding::UTF16LE().GetBytes(text);
  EXPECT_EQ(le, (TBytes{0x41, 0, 0x3D, 0xD8, 0x00, 0xDE}));
  EXPECT_EQ(TEncoding::UTF16LE().GetString(le), text);
  EXPECT_EQ(TEncoding::UTF16BE().GetString(TEncoding::UTF16BE().GetBytes(text)), text);
}

TEST(SysUtils, StrToIntAcceptsIntegersAndNamesBadInput) {
  EXPECT_EQ(StrToInt("25575"), 25575);
  EXPECT_EQ(StrToInt("-12"), -12);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  using namespace std::string_literals;
  // An embedded NUL is a bad character, not the end of the text.
  for (const std::string& bad : {"abc"s, ""s, " 1"s, "1 "s, "12x"s, "2147483648"s, "-"s,
                                 "80\0junk"s, "80\0"s, "\0"s, "$\0"s}) {
    int value = -1;
    EXPECT_FALSE(TryStrToInt(bad, value)) << bad;
    EXPECT_EQ(value, -1);
    try {
      StrToInt(bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "'" + bad + "' is not a valid integer value");
      EXPECT_STREQ(e.ClassName(), "EConvertError");
    }
  }
}

TEST(SysUtils, TrimTakesWhiteSpaceOnly) {
  using namespace std::string_literals;
  EXPECT_EQ(Trim(" \t80\r\n"), "80");
  EXPECT_EQ(Trim("80\0"s), "80\0"s);
  EXPECT_EQ(Trim("\x01"
                 "80"),
            "\x01"
            "80");
  EXPECT_EQ(Trim("   "), "");
}

TEST(SysUtils, GuidsAreWellFormedAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string g = CreateGUIDString();
    ASSERT_EQ(g.size(), 38u);
    EXPECT_EQ(g.front(), '{');
    EXPECT_EQ(g[15], '4');  // version nibble
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(SysUtils, TicksAdvanceAndDiffSurvivesWrap) {
  uint32_t a = GetTickCount();
  Sleep(20);  // the sleep itself is under test
  EXPECT_GE(GetTickDiff(a, GetTickCount()), 15u);
  EXPECT_EQ(GetTickDiff(0xFFFFFFF0u, 0x10u), 0x20u);
}

TEST(SysUtils, LoadsLibrariesByNameAndKnowsItIsNotOne) {
  EXPECT_FALSE(IsLibrary());
  THandleLib lib = LoadLibrary("libc.so.6");
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(GetProcAddress(lib, "strlen"), nullptr);
  EXPECT_EQ(GetProcAddress(lib, "no_such_function_here"), nullptr);
  FreeLibrary(lib);
  EXPECT_EQ(LoadLibrary("libdoes-not-exist.so.9"), nullptr);
}

struct TProbe : TComponent {
  TProbe(TComponent* owner, std::vector<std::string>* log, std::string name)
      : TComponent(owner), FLog(log) {
    SetName(std::move(name));
  }
  ~TProbe() override {
    Destroying();
    FLog->push_back("free " + Name() + (ComponentState() & csDestroying ? " (destroying)" : ""));
  }
  TComponent* FRef = nullptr;
  std::vector<std::string>* FLog;

 protected:
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove && c == FRef) FRef = nullptr;
  }
};

TEST(Component, OwnerFreesChildrenNewestFirstAndEarlyFreeUnlinks) {
  std::vector<std::string> log;
  auto* owner = new TProbe(nullptr, &log, "owner");
  new TProbe(owner, &log, "a");
  auto* b = new TProbe(owner, &log, "b");
  new TProbe(owner, &log, "c");
  delete b;
  EXPECT_EQ(owner->ComponentCount(), 2);
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"free b (destroying)", "free owner (destroying)",
                                           "free c (destroying)", "free a (destroying)"}));
}

TEST(Component, FreeNotificationDropsReferencesToDestroyedComponents) {
  std::vector<std::string> log;
  TProbe holder(nullptr, &log, "holder");
  auto* target = new TProbe(nullptr, &log, "target");
  holder.FRef = target;
  holder.FreeNotification(target);
  delete target;
  EXPECT_EQ(holder.FRef, nullptr);
  // The other direction: the holder going first must not leave a dangling entry behind.
  auto* holder2 = new TProbe(nullptr, &log, "h2");
  TProbe target2(nullptr, &log, "t2");
  holder2->FRef = &target2;
  holder2->FreeNotification(&target2);
  delete holder2;
  SUCCEED();  // target2's destructor must not touch holder2 (ASan checks)
}

TEST(Component, LoadingStateAndAssignError) {
  TComponent c(nullptr);
  c.Loading();
  EXPECT_TRUE(c.ComponentState() & csLoading);
  c.Loaded();
  EXPECT_FALSE(c.ComponentState() & csLoading);
  TComponent other(nullptr);
  try {
    c.Assign(other);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TComponent to a TComponent");
  }
}

TEST(StringList, IndexErrorsAndStrictDelimiting) {
  TStringList l;
  l.Add("a");
  try {
    l.Strings(3);
    ADD_FAILURE();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (3)");
  }
  l.SetDelimitedText("x y,\"q, r\",z");
  EXPECT_EQ(l.Count(), 4);  // blanks split, quotes group
  EXPECT_EQ(l.Strings(2), "q, r");
  l.SetStrictDelimiter(true);
  l.SetDelimitedText("x y,\"q, r\",,z");
  ASSERT_EQ(l.Count(), 5);
  EXPECT_EQ(l.Strings(0), "x y");
  EXPECT_EQ(l.Strings(1), "\"q");
  EXPECT_EQ(l.Strings(3), "");
  EXPECT_EQ(l.DelimitedText(), "x y,\"q, r\",,z");
  l.SetText("one\r\ntwo\nthree");
  EXPECT_EQ(l.Text(), "one\r\ntwo\r\nthree\r\n");
}

TEST(Stream, MemoryStreamReadsWritesAndSeeks) {
  TMemoryStream m;
  m.WriteBuffer("hello", 5);
  EXPECT_EQ(m.Position(), 5);
  m.SetPosition(1);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 4);
  EXPECT_STREQ(buf, "ello");
  EXPECT_THROW(m.ReadBuffer(buf, 1), EReadError);
  // Past the end the gap reads as zeros, as a file's does, and so do the bytes a larger size adds.
  m.Seek(3, soEnd);
  m.WriteBuffer("!", 1);
  m.SetSize(m.Size() + 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size())),
            std::string("hello\0\0\0!\0\0", 11));
  TStringStream s("abc");
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.ReadString(10), "abc");
}

// The queue is process-wide: drain leftovers so cases do not see each other's calls.
void Drain() {
  while (CheckSynchronize(0)) {
  }
}

TEST(MainThread, CallsFromTheMainThreadRunAtOnce) {
  int n = 0;
  QueueToMainThread([&] { ++n; });
  SynchronizeWithMainThread([&] { ++n; });
  EXPECT_EQ(n, 2);
  EXPECT_FALSE(CheckSynchronize(0));
}

TEST(MainThread, QueuedCallsRunInOrderAndWakeTheLoop) {
  Drain();
  std::atomic<int> wakes{0};
  SetWakeMainThread([&] { ++wakes; });
  std::vector<int> order;
  std::thread t([&] {
    EXPECT_FALSE(IsMainThread());
    for (int i = 0; i < 5; ++i) QueueToMainThread([&order, i] { order.push_back(i); });
  });
  t.join();
  SetWakeMainThread(nullptr);
  EXPECT_EQ(wakes, 5);
  EXPECT_TRUE(CheckSynchronize(0));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

// A post from another thread ends the main thread's wait at once, whether it comes before the
// main thread sleeps or while it does, and so does a wake-up; a lost one would show as a wait
// that lasts its whole time-out.
TEST(MainThread, PostsAndWakesEndTheMainThreadsWaitAtOnce) {
  Drain();
  constexpr int kWaitMs = 5000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    int ran = 0;
    std::thread poster([&] { QueueToMainThread([&] { ++ran; }); });
    EXPECT_TRUE(CheckSynchronize(kWaitMs));
    poster.join();
    Drain();
    EXPECT_EQ(ran, 1);
    // A wake-up is not remembered: one made before the wait began must be made again.
    std::atomic<bool> woken{false};
    std::thread waker([&] {
      for (int k = 0; k < 5000 && !woken; ++k) {
        WakeMainThreadPump();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    EXPECT_FALSE(CheckSynchronize(kWaitMs));
    woken = true;
    waker.join();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWaitMs));
}

TEST(MainThread, SynchronizeWaitsAndReraisesTheSameClass) {
  Drain();
  std::atomic<bool> caught{false};
  std::string message;
  std::thread t([&] {
    try {
      SynchronizeWithMainThread([] { throw EListError("boom"); });
    } catch (const EListError& e) {
      message = e.Message();
      caught = true;
    }
  });
  EXPECT_TRUE(PumpUntil([&] { return caught.load(); }, 10000));
  t.join();
  EXPECT_EQ(message, "boom");
}

// While the main thread runs a thread's synchronised call, it knows that this thread waits.
TEST(MainThread, KnowsWhoseSynchronisedCallItServes) {
  Drain();
  std::atomic<bool> done{false};
  bool servingCaller = false, servingOther = true;
  std::thread t([&] {
    const std::thread::id self = std::this_thread::get_id();
    SynchronizeWithMainThread([&] {
      servingCaller = IsServingSynchronizedCall(self);
      servingOther = IsServingSynchronizedCall(std::thread::id());
    });
    done = true;
  });
  const std::thread::id worker = t.get_id();
  EXPECT_FALSE(IsServingSynchronizedCall(worker));
  EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 10000));
  t.join();
  EXPECT_TRUE(servingCaller);
  EXPECT_FALSE(servingOther);
  EXPECT_FALSE(IsServingSynchronizedCall(worker));
}

TEST(MainThread, CallsOfAClosedContextNeverRunAndEscapesReachTheHandler) {
  Drain();
  int ran = 0;
  auto owner = std::make_unique<TMainThreadContext>();
  std::exception_ptr escaped;
  SetMainThreadExceptionHandler([&](std::exception_ptr e) { escaped = e; });
  std::thread t([&] {
    QueueToMainThread([&] { owner.reset(); });  // drops the next one
    QueueToMainThread([&] { ++ran; }, *owner);
    QueueToMainThread([] { throw EOSError("escaped"); });
  });
  t.join();
  CheckSynchronize(0);
  SetMainThreadExceptionHandler(nullptr);
  EXPECT_EQ(ran, 0);
  ASSERT_TRUE(escaped);
  EXPECT_THROW(std::rethrow_exception(escaped), EOSError);
}

TEST(MainThread, PumpIsReentrant) {
  Drain();
  std::vector<int> order;
  std::thread t([&] {
    QueueToMainThread([&] {
      order.push_back(1);
      CheckSynchronize(0);  // a call that waits while pumping, as a thread wait does
      order.push_back(3);
    });
    QueueToMainThread([&] { order.push_back(2); });
  });
  t.join();
  CheckSynchronize(0);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
