#pragma once
// Bounded waits for a condition, for tests and benchmarks: wait for the thing itself instead
// of sleeping and hoping it happened.
#include <chrono>
#include <thread>

// Polls APredicate every millisecond until it holds (true) or AMs milliseconds have passed
// (false; the predicate is asked once more at the end).
template <class TPredicate>
bool WaitUntil(TPredicate APredicate, int AMs = 10000) {
  const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() >= LEnd) return APredicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
