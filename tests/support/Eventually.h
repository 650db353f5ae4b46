#pragma once
// Bounded waits for a condition, for tests and benchmarks: wait for the thing itself instead
// of sleeping and hoping it happened. EXPECT_EVENTUALLY / ASSERT_EVENTUALLY retry their
// condition until it holds or ten seconds pass, as Qt's QTRY_ macros do, and name it when it
// never held.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/MainThread.h"

// Asks APredicate every millisecond until it holds (true) or AMs milliseconds have passed
// (false; asked once more at the end), without running anything queued for the main thread.
template <class TPredicate>
bool WaitUnpumped(TPredicate APredicate, int AMs = 10000) {
  const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() >= LEnd) return APredicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The same, but on the main thread its queue is pumped meanwhile, so that the notifications
// the condition waits for can arrive.
template <class TPredicate>
bool WaitUntil(TPredicate APredicate, int AMs = 10000) {
  if (IsMainThread()) return PumpUntil(APredicate, AMs);
  return WaitUnpumped(APredicate, AMs);
}

// Keeps pumping for a while, to show that nothing more arrives.
inline void PumpFor(int AMs) {
  WaitUntil([] { return false; }, AMs);
}

#define EXPECT_EVENTUALLY(ACondition) \
  EXPECT_TRUE(WaitUntil([&] { return bool(ACondition); })) << "never held: " #ACondition
#define ASSERT_EVENTUALLY(ACondition) \
  ASSERT_TRUE(WaitUntil([&] { return bool(ACondition); })) << "never held: " #ACondition

// Counts the calls posted to the main thread while it lives (through the pump's wake hook):
// lets a test wait until a notification is queued without running it.
class TMainThreadPosts {
 public:
  TMainThreadPosts() {
    SetWakeMainThread([this] { ++FPosts; });
  }
  ~TMainThreadPosts() { SetWakeMainThread(nullptr); }
  TMainThreadPosts(const TMainThreadPosts&) = delete;
  TMainThreadPosts& operator=(const TMainThreadPosts&) = delete;
  int Posts() const { return FPosts; }

 private:
  std::atomic<int> FPosts{0};
};
