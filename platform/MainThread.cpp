#include "platform/MainThread.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Exception.h"

namespace {
struct TSyncState {
  std::thread::id caller = std::this_thread::get_id();
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  std::exception_ptr error;
};

struct TQueuedCall {
  uint64_t seq;
  TThreadProcedure proc;
  std::shared_ptr<TMainThreadContext::TState> context;
  std::shared_ptr<TSyncState> sync;  // set for synchronised calls
};

// The main thread sleeps on a futex word rather than a condition variable: a post then costs
// a system call only when the main thread really sleeps, and the woken thread takes no lock
// that its waker must be told about.
struct TCallQueue {
  std::mutex lock;
  std::deque<TQueuedCall> calls;
  uint64_t nextSeq = 1;
  std::atomic<uint32_t> signal{0};    // counts posts and wakes: the futex word
  std::atomic<bool> sleeping{false};  // the main thread waits on signal
  std::function<void()> wake;
  std::function<void(std::exception_ptr)> onException;
};

// Never destroyed: a thread that frees itself may still end, and wake the pump, while the
// program's static objects go.
TCallQueue& Queue() {
  static TCallQueue& q = *new TCallQueue;
  return q;
}

// The threads whose synchronised calls the main thread is running, innermost last.
std::vector<std::thread::id>& Serving() {
  static std::vector<std::thread::id> callers;
  return callers;
}

// Captured on first use, and at the latest during this file's static initialisation; both
// happen on the main thread.
std::thread::id MainThreadId() {
  static const std::thread::id id = std::this_thread::get_id();
  return id;
}
[[maybe_unused]] const std::thread::id gCaptureAtStartup = MainThreadId();

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);

uint32_t* FutexWord(std::atomic<uint32_t>& aWord) {
  return reinterpret_cast<uint32_t*>(&aWord);
}

// Ends a wait in WaitForSignal. Sequentially consistent with the waiter's own two steps:
// either it sees the new signal, or this sees it sleeping.
void Signal(TCallQueue& q) {
  q.signal.fetch_add(1);
  if (q.sleeping.load())
    ::syscall(SYS_futex, FutexWord(q.signal), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// Main thread: sleeps until the signal moves on from aSeen or aTimeoutMs passes.
void WaitForSignal(TCallQueue& q, uint32_t aSeen, int aTimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  q.sleeping.store(true);
  while (q.signal.load() == aSeen) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec relative{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
    ::syscall(SYS_futex, FutexWord(q.signal), FUTEX_WAIT_PRIVATE, aSeen, &relative, nullptr, 0);
  }
  q.sleeping.store(false);
}

void Post(TThreadProcedure proc, std::shared_ptr<TMainThreadContext::TState> context,
          std::shared_ptr<TSyncState> sync) {
  TCallQueue& q = Queue();
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> g(q.lock);
    q.calls.push_back({q.nextSeq++, std::move(proc), std::move(context), std::move(sync)});
    wake = q.wake;
  }
  Signal(q);
  if (wake) wake();
}

void ReportEscaped(std::exception_ptr e) {
  std::function<void(std::exception_ptr)> handler;
  {
    std::lock_guard<std::mutex> g(Queue().lock);
    handler = Queue().onException;
  }
  if (handler) {
    handler(e);
    return;
  }
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "%s: %s\n", ExceptionClassName(ex), ex.what());
  } catch (...) {
    std::fprintf(stderr, "unknown exception in a queued call\n");
  }
}
}  // namespace

// Recursive: a call may pump the queue and so run another call of the same context.
struct TMainThreadContext::TState {
  std::recursive_mutex running;
  std::atomic<bool> alive{true};
};

TMainThreadContext::TMainThreadContext() : FState(std::make_shared<TState>()) {}

bool TMainThreadContext::Alive(const TState& aState) {
  return aState.alive;
}

void TMainThreadContext::Close() {
  if (!FState->alive) return;
  {
    std::lock_guard<std::recursive_mutex> g(FState->running);  // waits for a running call
    FState->alive = false;
  }
  TCallQueue& q = Queue();
  std::deque<TQueuedCall> dropped;  // destroyed outside the lock: captures may own objects
  std::lock_guard<std::mutex> g(q.lock);
  for (auto it = q.calls.begin(); it != q.calls.end();) {
    if (it->context == FState) {
      dropped.push_back(std::move(*it));
      it = q.calls.erase(it);
    } else {
      ++it;
    }
  }
}

bool IsMainThread() {
  return std::this_thread::get_id() == MainThreadId();
}

void QueueToMainThread(TThreadProcedure aProc) {
  if (IsMainThread()) {
    aProc();
    return;
  }
  Post(std::move(aProc), nullptr, nullptr);
}

void QueueToMainThread(TThreadProcedure aProc, const TMainThreadContext& aContext) {
  if (IsMainThread()) {
    aProc();
    return;
  }
  PostToMainThread(std::move(aProc), aContext);
}

void PostToMainThread(TThreadProcedure aProc, const TMainThreadContext& aContext) {
  Post(std::move(aProc), aContext.State(), nullptr);
}

void SynchronizeWithMainThread(TThreadProcedure aProc) {
  if (IsMainThread()) {
    aProc();
    return;
  }
  auto state = std::make_shared<TSyncState>();
  Post(std::move(aProc), nullptr, state);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> g(state->lock);
    state->done.wait(g, [&] { return state->finished; });
    // Taken over, so the exception object ends on this thread, which last used it.
    error = std::move(state->error);
  }
  if (error) std::rethrow_exception(error);
}

bool IsServingSynchronizedCall(std::thread::id aThread) {
  if (!IsMainThread() || aThread == std::thread::id()) return false;
  const auto& LCallers = Serving();
  return std::find(LCallers.begin(), LCallers.end(), aThread) != LCallers.end();
}

bool CheckSynchronize(int aTimeoutMs) {
  if (!IsMainThread()) return false;
  TCallQueue& q = Queue();
  const uint32_t seen = q.signal.load();
  auto lastQueued = [&q](uint64_t& aLast) {
    std::lock_guard<std::mutex> g(q.lock);
    if (q.calls.empty()) return false;
    aLast = q.calls.back().seq;
    return true;
  };
  uint64_t last;
  if (!lastQueued(last)) {
    if (aTimeoutMs <= 0) return false;
    WaitForSignal(q, seen, aTimeoutMs);
    if (!lastQueued(last)) return false;
  }
  // One call at a time: a call may remove later ones (its object destroyed) or pump again.
  bool ran = false;
  while (true) {
    TQueuedCall call;
    {
      std::lock_guard<std::mutex> g(q.lock);
      if (q.calls.empty() || q.calls.front().seq > last) break;
      call = std::move(q.calls.front());
      q.calls.pop_front();
    }
    ran = true;
    std::exception_ptr error;
    if (call.sync) Serving().push_back(call.sync->caller);
    try {
      if (call.context) {
        std::lock_guard<std::recursive_mutex> g(call.context->running);
        if (call.context->alive) call.proc();
      } else {
        call.proc();
      }
    } catch (...) {
      error = std::current_exception();
    }
    if (call.sync) Serving().pop_back();
    if (call.sync) {
      {
        std::lock_guard<std::mutex> g(call.sync->lock);
        call.sync->error = std::move(error);  // the waiting thread holds the only reference
        call.sync->finished = true;
      }
      call.sync->done.notify_all();
    } else if (error) {
      ReportEscaped(error);
    }
  }
  return ran;
}

void WakeMainThreadPump() {
  Signal(Queue());
}

void SetWakeMainThread(std::function<void()> aHook) {
  std::lock_guard<std::mutex> g(Queue().lock);
  Queue().wake = std::move(aHook);
}

void SetMainThreadExceptionHandler(std::function<void(std::exception_ptr)> aHandler) {
  std::lock_guard<std::mutex> g(Queue().lock);
  Queue().onException = std::move(aHandler);
}

bool PumpUntil(const std::function<bool()>& aDone, int aTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  while (!aDone()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return aDone();
    CheckSynchronize(static_cast<int>(left < 10 ? left : 10));
  }
  return true;
}
