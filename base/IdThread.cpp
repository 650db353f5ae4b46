#include "base/IdThread.h"

#include <pthread.h>

#include "platform/Exception.h"

namespace {
// Runs aBody, then aFinally, also when aBody raises (an exception of aFinally wins).
template <class Body, class Finally>
void TryFinally(Body&& aBody, Finally&& aFinally) {
  try {
    aBody();
  } catch (...) {
    aFinally();
    throw;
  }
  aFinally();
}

// How long one pump of the main thread's queue waits while the main thread waits for an end.
constexpr int kPumpStepMs = 5;
}  // namespace

TIdThreadSafeInteger& ThreadCount() {
  // Never destroyed: a self-freeing thread may still count down during process exit.
  static auto* count = new TIdThreadSafeInteger;
  return *count;
}

TIdThread::TIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName)
    : FLoop(ALoop), FName(AName) {
  if (ACreateSuspended) FOptions |= itoStopped;
  FThread = std::thread(ThreadProc, this);
  ThreadCount().Increment();
}

TIdThread::~TIdThread() {
  {
    // Only when BeforeDestruction did not run (a descendant's constructor raised): the
    // derived parts are gone, so the body must not start at all.
    std::lock_guard<TIdCriticalSection> g(FLock);
    FAbandoned = true;
  }
  EndThread();
  delete FYarn;
  if (FOptions & itoDataOwner) delete FData;
  FLock.Acquire();  // lets a thread still inside a locked operation leave it
  FLock.Release();
  ThreadCount().Decrement();
}

void TIdThread::AfterConstruction() {
  std::lock_guard<TIdCriticalSection> g(FLock);
  if (!(FOptions & itoStopped)) Resume();
}

void TIdThread::BeforeDestruction() {
  EndThread();
  if (Options() & itoReqCleanup) CycleCleanup();
}

void TIdThread::ThreadProc(TIdThread* aThread) {
  bool abandoned;
  {
    std::unique_lock<TIdCriticalSection> g(aThread->FLock);
    aThread->FWake.wait(g, [aThread] { return !aThread->FSuspended; });
    abandoned = aThread->FAbandoned;
  }
  if (!abandoned) aThread->Execute();
  bool freeSelf;
  {
    std::lock_guard<TIdCriticalSection> g(aThread->FLock);
    aThread->FFinished = true;
    freeSelf = aThread->FFreeOnTerminate;
  }
  WakeMainThreadPump();  // a main thread waiting for this end sees it at once
  // Without FreeOnTerminate the owner may delete the object from here on.
  if (freeSelf) delete aThread;
}

void TIdThread::Execute() {
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    if (FName.empty()) FName = "IdThread (unknown)";
    pthread_setname_np(pthread_self(), FName.substr(0, 15).c_str());  // the kernel's limit
  }
  try {
    ExecuteStarting();
    TryFinally([this] { RunCycles(); }, [this] { ExecuteEnded(); });
  } catch (const std::exception& E) {
    {
      std::lock_guard<TIdCriticalSection> g(FLock);
      FTerminatingExceptionClass = ExceptionClassName(E);
      FTerminatingException = E.what();
    }
    try {
      NotifyException(E);
    } catch (...) {
      // Nothing may escape the thread.
    }
    Terminate();
  } catch (...) {
    Terminate();
  }
}

void TIdThread::RunCycles() {
  while (!Terminated()) {
    if (Stopped()) {
      NotifyStopped();
      if (Stopped()) {
        if (Terminated()) break;
        Park();
        if (Terminated()) break;
      }
    }
    IncludeOption(itoReqCleanup);
    try {
      TryFinally(
          [this] {
            CycleStarting();
            TryFinally(
                [this] {
                  if (Loop()) {
                    while (!Stopped()) RunCycleOffered();
                  } else {
                    RunCycleOffered();
                  }
                },
                [this] { CycleEnded(); });
          },
          [this] { CycleCleanup(); });
    } catch (...) {
      Terminate();
      throw;
    }
  }
}

void TIdThread::RunCycleOffered() {
  try {
    RunCycle();
  } catch (const std::exception& E) {
    if (HandleCycleException(E)) return;
    Terminate();
    throw;
  }
}

void TIdThread::Park() {
  std::unique_lock<TIdCriticalSection> g(FLock);
  // Checked under the lock that Start takes, so a Start since the caller's check is not lost.
  if (!(FOptions & itoStopped) || Terminated()) return;
  FSuspended = true;
  FWake.wait(g, [this] { return !FSuspended; });
}

void TIdThread::Resume() {
  FSuspended = false;
  FWake.notify_all();
}

void TIdThread::EndThread() {
  {
    std::lock_guard<std::mutex> j(FJoinLock);
    if (!FThread.joinable()) return;
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();  // freeing itself at the end of its body
      return;
    }
  }
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    FTerminated = true;
    Resume();
  }
  Join();
}

void TIdThread::Join() {
  // The body may be waiting in SynchronizeWithMainThread: keep the main thread's queue moving.
  if (IsMainThread())
    while (!FFinished) CheckSynchronize(kPumpStepMs);
  std::lock_guard<std::mutex> j(FJoinLock);
  if (FThread.joinable()) FThread.join();
}

void TIdThread::Start() {
  std::lock_guard<TIdCriticalSection> g(FLock);
  if (!Stopped()) return;
  if (Terminated())
    FOptions |= itoStopped;
  else
    FOptions &= ~itoStopped;
  Resume();
}

void TIdThread::Stop() {
  std::lock_guard<TIdCriticalSection> g(FLock);
  if (Stopped()) return;
  if (StopMode() == smTerminate) Terminate();
  FOptions |= itoStopped;
}

void TIdThread::Terminate() {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FOptions |= itoStopped;
  FTerminated = true;
}

void TIdThread::TerminateAndWaitFor() {
  if (FreeOnTerminate())
    throw EIdThreadTerminateAndWaitFor(
        "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  Terminate();
  Start();  // a parked or never started thread must run to its end
  WaitFor();
}

int TIdThread::WaitFor() {
  Join();
  return ReturnValue();
}

bool TIdThread::Stopped() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return Terminated() || (FOptions & itoStopped) || FSuspended;
}

bool TIdThread::Suspended() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FSuspended;
}

TIdThreadOptions TIdThread::Options() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FOptions;
}

void TIdThread::IncludeOption(TIdThreadOptions aOption) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FOptions |= aOption;
}

bool TIdThread::FreeOnTerminate() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FFreeOnTerminate;
}

void TIdThread::SetFreeOnTerminate(bool aValue) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FFreeOnTerminate = aValue;
}

std::string TIdThread::Name() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FName;
}

void TIdThread::SetName(const std::string& aValue) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FName = aValue;
}

TPersistent* TIdThread::Data() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FData;
}

void TIdThread::SetData(TPersistent* aValue) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FData = aValue;
}

TIdYarn* TIdThread::Yarn() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FYarn;
}

void TIdThread::SetYarn(TIdYarn* aValue) {
  TIdYarn* old;
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    old = FYarn;
    FYarn = aValue;
  }
  if (old != aValue) delete old;
}

std::string TIdThread::TerminatingException() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FTerminatingException;
}

std::string TIdThread::TerminatingExceptionClass() const {
  std::lock_guard<TIdCriticalSection> g(FLock);
  return FTerminatingExceptionClass;
}

void TIdThread::SetOnException(TIdExceptionThreadEvent aValue) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FOnException = std::move(aValue);
}

void TIdThread::SetOnStopped(TIdNotifyThreadEvent aValue) {
  std::lock_guard<TIdCriticalSection> g(FLock);
  FOnStopped = std::move(aValue);
}

void TIdThread::CycleCleanup() {
  TIdYarn* yarn;
  TPersistent* data = nullptr;
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    FOptions &= ~itoReqCleanup;
    yarn = std::exchange(FYarn, nullptr);
    if (FOptions & itoDataOwner) data = std::exchange(FData, nullptr);
  }
  // Outside the lock: these are the user's objects.
  delete yarn;
  delete data;
}

void TIdThread::NotifyException(const std::exception& E) {
  TIdExceptionThreadEvent handler;
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    handler = FOnException;
  }
  if (handler) handler(this, E);
}

void TIdThread::NotifyStopped() {
  TIdNotifyThreadEvent handler;
  {
    std::lock_guard<TIdCriticalSection> g(FLock);
    handler = FOnStopped;
  }
  if (handler) handler(this);
}
