#pragma once
#include <atomic>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/IdThread.h"
#include "platform/Component.h"
#include "platform/MainThread.h"

// Root of the higher-level components (TCP client, RCON).
class TqorComponent_Base : public TComponent {
 public:
  explicit TqorComponent_Base(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  const char* ClassName() const override { return "TqorComponent_Base"; }
  std::string Version() const { return "4.5.1"; }
  virtual bool IsDesigning() const { return (ComponentState() & csDesigning) != 0; }
  virtual bool IsDestroying() const { return (ComponentState() & csDestroying) != 0; }
  virtual bool IsLoading() const { return (ComponentState() & csLoading) != 0; }
};

// How an event reaches its handler: on the raising thread, posted to the main thread, or run
// on the main thread while the raising thread waits.
enum TwsNotifyEvent { neNoSync, neAsynchronous, neSynchronous };

// A TIdThread that knows the OS thread running its cycles and whether a user handler runs.
class TqorIdThread : public TIdThread {
 public:
  // False until the first cycle has begun.
  bool IsCurrentThread() const;
  const std::string& DebugName() const { return FDebugName; }
  void SetDebugName(const std::string& aValue) { FDebugName = aValue; }
  bool IsExecuting() const { return FIsExecuting.load(); }
  void SetIsExecuting(bool aValue) { FIsExecuting = aValue; }

 protected:
  TqorIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName)
      : TIdThread(ACreateSuspended, ALoop, AName) {}
  // Records the running thread's id; descendants call it first.
  void RunCycle() override;

 private:
  std::string FDebugName;  // the owner's label; only the owner touches it
  std::atomic<uint32_t> FThreadId{0};
  std::atomic<bool> FIsExecuting{false};
};

class TqorTimer;
using TqorTimerOnException = std::function<void(TqorTimer* Sender, const std::exception& E)>;
using TqorTimerEvent = std::function<void(TqorTimer* Sender)>;

// Periodic timer on its own thread: each cycle sleeps Interval rounded up to whole 100 ms
// steps, then fires OnTimer as NotifyEvents says. Made with New<TqorTimer>().
//
// The cycles begin at the first Enabled := True (the thread waits at its start gate until
// then), so the configuration written before enabling is what the first cycle sees.
// Set the handlers before enabling; Interval, NotifyEvents and Enabled may change at any time.
// Enabled := False ends the timer for good. A terminated timer does not fire, not even a call
// that was already posted to the main thread; posted calls still queued when it is destroyed
// are dropped, and a destruction waits for one that is running.
class TqorTimer : public TqorIdThread {
 public:
  ~TqorTimer() override;

  bool Enabled() const { return FEnabled.load(); }
  void SetEnabled(bool aValue);
  int32_t Interval() const { return FInterval.load(); }
  void SetInterval(int32_t aValue) { FInterval = aValue; }
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(); }
  void SetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents = aValue; }
  void SetOnTimer(TqorTimerEvent aValue);
  void SetOnException(TqorTimerOnException aValue);

 protected:
  TqorTimer();
  void RunCycle() override;
  virtual void FireTimer();
  virtual void DoOnException(const std::exception& E);

 private:
  void FireIfAlive();  // a terminated timer does not fire

  std::atomic<bool> FEnabled{false};
  std::atomic<int32_t> FInterval{60000};
  std::atomic<TwsNotifyEvent> FNotifyEvents{neNoSync};
  TqorTimerOnException FOnException;  // guarded by FLock, as FOnTimer
  TqorTimerEvent FOnTimer;
  // Posted ticks die with the timer; its destruction waits for a running one.
  TMainThreadContext FContext;
};

// Frees a thread without deadlock and sets the reference to null. From another thread while
// no handler runs: terminates it and waits for its end. From the thread itself, or while it
// runs a handler (perhaps through a main-thread call it is waiting for): marks it
// FreeOnTerminate and terminates it without waiting; it frees itself when its body ends.
void FreeThreadSafelyNow(TqorIdThread* aThread);

template <class T>
requires std::derived_from<T, TqorIdThread>
void FreeThreadSafely(T*& aThread) {
  T* thread = aThread;
  aThread = nullptr;  // before the wait: calls run by the pump must not see it any more
  FreeThreadSafelyNow(thread);
}
