#include "base/qorBase_Classes.h"

#include <unistd.h>

#include "platform/SysUtils.h"

namespace {
// Asked on every reading-thread cycle: one system call per thread, not per question.
uint32_t CurrentThreadId() {
  thread_local const uint32_t tId = static_cast<uint32_t>(::gettid());
  return tId;
}

// IsExecuting for the duration of a handler call, also when it raises.
class TExecutingScope {
 public:
  explicit TExecutingScope(TqorIdThread& aThread) : FThread(aThread) {
    FThread.SetIsExecuting(true);
  }
  ~TExecutingScope() { FThread.SetIsExecuting(false); }
  TExecutingScope(const TExecutingScope&) = delete;
  TExecutingScope& operator=(const TExecutingScope&) = delete;

 private:
  TqorIdThread& FThread;
};

constexpr int32_t kTimerStepMs = 100;
}  // namespace

bool TqorIdThread::IsCurrentThread() const {
  return FThreadId.load() == CurrentThreadId();
}

void TqorIdThread::RunCycle() {
  uint32_t unset = 0;
  FThreadId.compare_exchange_strong(unset, CurrentThreadId());
}

// Created suspended: the cycles begin at the first Enabled := True.
TqorTimer::TqorTimer() : TqorIdThread(true, true, "") {}

// The thread has ended (BeforeDestruction), so nothing is posted any more.
TqorTimer::~TqorTimer() {
  FContext.Close();
}

void TqorTimer::SetEnabled(bool aValue) {
  FEnabled = aValue;
  if (aValue)
    Start();
  else
    Terminate();
}

void TqorTimer::SetOnTimer(TqorTimerEvent aValue) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FOnTimer = std::move(aValue);
}

void TqorTimer::SetOnException(TqorTimerOnException aValue) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FOnException = std::move(aValue);
}

void TqorTimer::RunCycle() {
  TqorIdThread::RunCycle();
  try {
    for (int32_t left = Interval(); left > 0; left -= kTimerStepMs) {
      Sleep(kTimerStepMs);
      if (Terminated()) return;
    }
    switch (NotifyEvents()) {
      case neNoSync:
        FireTimer();
        break;
      case neAsynchronous:
        QueueToMainThread([this] { FireIfAlive(); }, FContext);
        break;
      case neSynchronous:
        SynchronizeWithMainThread([this] { FireIfAlive(); });
        break;
    }
  } catch (const std::exception& E) {
    DoOnException(E);
  }
}

void TqorTimer::FireIfAlive() {
  if (!Terminated()) FireTimer();
}

void TqorTimer::FireTimer() {
  TqorTimerEvent onTimer;
  bool hasOnException;
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    onTimer = FOnTimer;
    hasOnException = static_cast<bool>(FOnException);
  }
  if (!onTimer) return;
  try {
    TExecutingScope executing(*this);
    onTimer(this);
  } catch (const std::exception& E) {
    if (!hasOnException) throw;
    DoOnException(E);
  }
}

void TqorTimer::DoOnException(const std::exception& E) {
  TqorTimerOnException handler;
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    handler = FOnException;
  }
  if (!handler) return;
  TExecutingScope executing(*this);
  handler(this, E);
}

void FreeThreadSafelyNow(TqorIdThread* aThread) {
  if (!aThread) return;
  if (!aThread->IsCurrentThread() && !aThread->IsExecuting()) {
    if (!aThread->Terminated()) {
      aThread->Terminate();
      // A descendant's Terminate may decline to terminate at once.
      for (int i = 0; i < 1001 && !aThread->Terminated(); ++i) Sleep(1);
    }
    delete aThread;  // waits for the end of its body
  } else {
    // The thread is running this call, or waits for it: it cannot be waited for here.
    aThread->SetFreeOnTerminate(true);
    aThread->Terminate();
  }
}
