#pragma once
// Waits of the window tests for what QTest's own waits do not see: the process's threads and
// the calls still queued for the main thread.
#include <QTest>
#include <algorithm>
#include <vector>

#include "platform/MainThread.h"
#include "tests/support/SystemThreads.h"

// The process's threads but Qt's pool workers, which idle for half a minute after their last
// task: what is left of the window's connections, among others.
inline int ThreadsButQtPool() {
  const std::vector<int> LIds = SystemThreadIds();
  return int(std::count_if(LIds.begin(), LIds.end(),
                           [](int aId) { return SystemThreadName(aId) != "Thread (pooled)"; }));
}

// Runs everything queued for the main thread so far, the program's own calls and Qt's posted
// events alike: true once a call posted behind them all has run.
inline bool DrainMainThread(int aMs = 10000) {
  TMainThreadContext context;
  bool ran = false;
  PostToMainThread([&ran] { ran = true; }, context);
  return QTest::qWaitFor([&ran] { return ran; }, aMs);
}
