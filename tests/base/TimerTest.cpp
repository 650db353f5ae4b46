#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/qorBase_Classes.h"
#include "platform/MainThread.h"
#include "platform/SysUtils.h"
#include "tests/support/Eventually.h"
#include "tests/support/SystemThreads.h"

namespace {
using Clock = std::chrono::steady_clock;

// Records each firing: time and whether it ran on the main thread.
struct TFirings {
  std::mutex Lock;
  std::vector<Clock::time_point> Times;
  std::vector<bool> OnMain;
  void Add() {
    std::lock_guard<std::mutex> g(Lock);
    Times.push_back(Clock::now());
    OnMain.push_back(IsMainThread());
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(Lock);
    return Times.size();
  }
  // Mean gap between firings, in ms.
  double MeanGapMs() {
    std::lock_guard<std::mutex> g(Lock);
    return std::chrono::duration<double, std::milli>(Times.back() - Times.front()).count() /
           static_cast<double>(Times.size() - 1);
  }
};

TqorTimer* MakeTimer(int32_t aInterval, TwsNotifyEvent aMode, TFirings& aFirings) {
  TqorTimer* t = New<TqorTimer>();
  t->SetNotifyEvents(aMode);
  t->SetOnTimer([&aFirings](TqorTimer*) { aFirings.Add(); });
  t->SetInterval(aInterval);
  return t;
}

}  // namespace

TEST(Timer, Defaults) {
  TqorTimer* t = New<TqorTimer>();
  EXPECT_EQ(t->Interval(), 60000);
  EXPECT_EQ(t->NotifyEvents(), neNoSync);
  EXPECT_FALSE(t->Enabled());
  EXPECT_TRUE(t->Loop());
  FreeThreadSafely(t);
  EXPECT_EQ(t, nullptr);
}

TEST(Timer, PeriodsRoundUpToWholeSteps) {
  struct Row {
    int32_t interval;
    double expectedMs;
  };
  for (const Row& r : {Row{250, 300}, Row{1, 100}}) {
    SCOPED_TRACE(r.interval);
    TFirings f;
    TqorTimer* t = MakeTimer(r.interval, neNoSync, f);
    t->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return f.Count() >= 5; }, 15000));
    FreeThreadSafely(t);
    // Sleeps only ever last longer: allow a lot of drift upward on a loaded machine.
    EXPECT_GE(f.MeanGapMs(), r.expectedMs * 0.9);
    EXPECT_LE(f.MeanGapMs(), r.expectedMs * 2.5);
  }
}

TEST(Timer, NeverEnabledTimerIdlesAndFirstCycleUsesConfiguredInterval) {
  TFirings f;
  TqorTimer* idle = MakeTimer(0, neNoSync, f);  // would fire back to back if it ran cycles
  Sleep(300);
  EXPECT_EQ(f.Count(), 0u);
  EXPECT_TRUE(idle->Stopped());
  FreeThreadSafely(idle);

  // The default 60 s interval must not be the one the first cycle waits: the interval changes
  // only once the timer's thread has gone as far as it goes unaided (its start gate, or a
  // first cycle already asleep on the default) and blocks there.
  TFirings g;
  const std::vector<int> before = SystemThreadIds();
  TqorTimer* t = New<TqorTimer>();
  t->SetOnTimer([&g](TqorTimer*) { g.Add(); });
  std::vector<int> started;
  const std::vector<int> now = SystemThreadIds();
  std::set_difference(now.begin(), now.end(), before.begin(), before.end(),
                      std::back_inserter(started));
  ASSERT_EQ(started.size(), 1u) << "the timer's own thread";
  EXPECT_TRUE(WaitUnpumped([&] { return SystemThreadState(started[0]) == 'S'; }));
  t->SetInterval(100);
  const auto enabledAt = Clock::now();
  t->SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return g.Count() >= 1; }, 10000));
  FreeThreadSafely(t);
  EXPECT_LT(g.Times.front() - enabledAt, std::chrono::seconds(5));
}

TEST(Timer, DisableEndsItForGood) {
  TFirings f;
  TqorTimer* t = MakeTimer(100, neNoSync, f);
  t->SetEnabled(true);
  t->SetEnabled(true);  // no effect on a running timer
  ASSERT_TRUE(PumpUntil([&] { return f.Count() >= 1; }, 10000));
  t->SetEnabled(false);
  t->WaitFor();  // within about one step
  const size_t fired = f.Count();
  t->SetEnabled(true);  // does not restart
  Sleep(300);
  EXPECT_EQ(f.Count(), fired);
  EXPECT_TRUE(t->Terminated());
  FreeThreadSafely(t);
}

TEST(Timer, DeliveryModes) {
  struct Row {
    TwsNotifyEvent mode;
    bool onMain;
  };
  for (const Row& r : {Row{neNoSync, false}, Row{neAsynchronous, true}, Row{neSynchronous, true}}) {
    SCOPED_TRACE(r.mode);
    TFirings f;
    TqorTimer* t = MakeTimer(1, r.mode, f);
    t->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return f.Count() >= 3; }, 10000));
    FreeThreadSafely(t);
    std::lock_guard<std::mutex> g(f.Lock);
    for (bool m : f.OnMain) EXPECT_EQ(m, r.onMain);
  }
}

TEST(Timer, SynchronousWaitsForTheHandlerAsynchronousDoesNot) {
  for (TwsNotifyEvent mode : {neSynchronous, neAsynchronous}) {
    SCOPED_TRACE(mode);
    TMainThreadPosts posts;
    TqorTimer* t = New<TqorTimer>();
    t->SetNotifyEvents(mode);
    t->SetInterval(1);
    t->SetOnTimer([](TqorTimer*) {});
    t->SetEnabled(true);
    // No pumping: a synchronous timer is stuck at its first call, an asynchronous one goes
    // on posting.
    if (mode == neSynchronous) {
      ASSERT_TRUE(WaitUnpumped([&] { return posts.Posts() >= 1; }));
      Sleep(300);  // a second post would come within 100 ms
      EXPECT_EQ(posts.Posts(), 1);
    } else {
      EXPECT_TRUE(WaitUnpumped([&] { return posts.Posts() >= 3; }));
    }
    FreeThreadSafely(t);
  }
}

TEST(Timer, HandlerExceptionGoesToOnExceptionAndTimerKeepsRunning) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(mode);
    std::atomic<int> fired{0}, reported{0};
    std::atomic<bool> executingInHandler{false};
    std::string message;
    TqorTimer* t = New<TqorTimer>();
    t->SetNotifyEvents(mode);
    t->SetInterval(1);
    t->SetOnTimer([&](TqorTimer*) {
      ++fired;
      throw Exception("tick failed");
    });
    t->SetOnException([&](TqorTimer* s, const std::exception& e) {
      executingInHandler = s->IsExecuting();
      if (reported++ == 0) message = e.what();
    });
    t->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return reported >= 2; }, 10000));
    EXPECT_FALSE(t->IsExecuting());
    EXPECT_TRUE(executingInHandler);
    EXPECT_EQ(message, "tick failed");
    EXPECT_FALSE(t->Terminated());
    FreeThreadSafely(t);
  }
}

TEST(Timer, ExceptionWithoutOnExceptionIsDroppedInWaitingModes) {
  // Synchronous: raised on the main thread, re-raised in the timer thread, dropped there.
  for (TwsNotifyEvent mode : {neNoSync, neSynchronous}) {
    SCOPED_TRACE(mode);
    std::atomic<int> fired{0};
    TqorTimer* t = New<TqorTimer>();
    t->SetNotifyEvents(mode);
    t->SetInterval(1);
    t->SetOnTimer([&](TqorTimer*) {
      ++fired;
      throw Exception("ignored");
    });
    t->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return fired >= 3; }, 10000));
    EXPECT_FALSE(t->Terminated());
    FreeThreadSafely(t);
  }
}

TEST(Timer, FreeThreadSafelyFromOwnHandlerDoesNotWait) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(mode);
    const int before = ThreadCount().Value();
    std::atomic<int> fired{0};
    std::atomic<bool> nulled{false};
    TqorTimer* t = New<TqorTimer>();
    TqorTimer* ref = t;
    t->SetNotifyEvents(mode);
    t->SetInterval(1);
    std::mutex refLock;  // the handler may run on the timer thread
    t->SetOnTimer([&](TqorTimer*) {
      ++fired;
      std::lock_guard<std::mutex> g(refLock);
      if (!ref) return;
      const auto start = Clock::now();
      FreeThreadSafely(ref);
      nulled = (ref == nullptr);
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "must not wait";
    });
    t->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return nulled.load(); }, 10000));
    // The timer frees itself at the end of its body.
    ASSERT_TRUE(PumpUntil([&] { return ThreadCount().Value() == before; }, 10000));
    EXPECT_EQ(fired, 1);
  }
}

// An asynchronous timer that has posted aPosts calls the main thread has not run yet.
TqorTimer* TimerWithQueuedCalls(const TMainThreadPosts& aPosts, int aCalls,
                                std::atomic<int>& aFired) {
  TqorTimer* t = New<TqorTimer>();
  t->SetNotifyEvents(neAsynchronous);
  t->SetInterval(1);
  t->SetOnTimer([&aFired](TqorTimer*) { ++aFired; });
  t->SetEnabled(true);
  EXPECT_TRUE(WaitUnpumped([&] { return aPosts.Posts() >= aCalls; }));
  return t;
}

TEST(Timer, DestructionDropsCallsStillQueued) {
  TMainThreadPosts posts;
  std::atomic<int> fired{0};
  TqorTimer* t = TimerWithQueuedCalls(posts, 2, fired);
  FreeThreadSafely(t);
  for (int i = 0; i < 5; ++i) CheckSynchronize(10);
  EXPECT_EQ(fired, 0) << "a call queued for a destroyed timer ran";
}

TEST(Timer, DisabledTimerDoesNotRunCallsAlreadyPosted) {
  TMainThreadPosts posts;
  std::atomic<int> fired{0};
  TqorTimer* t = TimerWithQueuedCalls(posts, 1, fired);
  t->SetEnabled(false);
  for (int i = 0; i < 5; ++i) CheckSynchronize(10);
  EXPECT_EQ(fired, 0);
  FreeThreadSafely(t);
}

TEST(Timer, SelfFreeingTimerWaitsForItsRunningMainThreadCall) {
  // Asynchronous: the handler runs on the main thread while the timer thread ends and frees
  // the timer; the handler's last touches of the timer must still be valid (ASan checks).
  const int before = ThreadCount().Value();
  std::atomic<bool> freed{false};
  TqorTimer* ref = New<TqorTimer>();
  ref->SetNotifyEvents(neAsynchronous);
  ref->SetInterval(1);
  ref->SetOnTimer([&](TqorTimer* self) {
    if (freed) return;
    FreeThreadSafely(ref);
    freed = true;
    // The timer thread ends its body meanwhile and, destroying the timer, waits for this call.
    EXPECT_TRUE(WaitUnpumped([&] { return self->Finished(); }));
    EXPECT_TRUE(self->IsExecuting());
  });
  ref->SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return freed.load(); }, 10000));
  ASSERT_TRUE(PumpUntil([&] { return ThreadCount().Value() == before; }, 10000));
}
