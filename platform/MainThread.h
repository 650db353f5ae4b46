#pragma once
#include <exception>
#include <functional>
#include <memory>
#include <thread>

// The main (user-interface) thread's call queue. The main thread is the one that ran the
// program's static initialisation; it must pump the queue (CheckSynchronize) regularly.
using TThreadProcedure = std::function<void()>;

bool IsMainThread();

// The one owner of calls posted on behalf of an object (the rule of a Qt context object): a
// call posted with a context runs only while the context lives; Close drops the calls still
// waiting and, made on another thread, waits for one that the main thread is running. An owner
// holds a context as a member and closes it first thing in its destructor.
class TMainThreadContext {
 public:
  TMainThreadContext();
  ~TMainThreadContext() { Close(); }
  TMainThreadContext(const TMainThreadContext&) = delete;
  TMainThreadContext& operator=(const TMainThreadContext&) = delete;

  void Close();
  struct TState;
  // A running call keeps this and asks Alive() after each handler it calls: a handler may
  // destroy the owner (on the main thread the close cannot wait for the call that made it).
  std::shared_ptr<TState> State() const { return FState; }
  static bool Alive(const TState& aState);

 private:
  std::shared_ptr<TState> FState;
};

// On the main thread: runs aProc at once. Elsewhere: queues it (FIFO) and returns.
void QueueToMainThread(TThreadProcedure aProc);
void QueueToMainThread(TThreadProcedure aProc, const TMainThreadContext& aContext);

// Queues aProc even on the main thread, where it runs at the next pump.
void PostToMainThread(TThreadProcedure aProc, const TMainThreadContext& aContext);

// On the main thread: runs aProc at once. Elsewhere: queues it and waits until the main
// thread has run it; an exception it raised is raised again here.
void SynchronizeWithMainThread(TThreadProcedure aProc);

// True on the main thread while it runs a call that aThread waits for in
// SynchronizeWithMainThread: waiting there for aThread could never end.
bool IsServingSynchronizedCall(std::thread::id aThread);

// The pump, for the main thread only: waits up to aTimeoutMs for a call to arrive, then runs
// every call queued so far, one at a time. Returns true when it ran any. Other threads: false.
bool CheckSynchronize(int aTimeoutMs = 0);

// Makes a pump that waits for calls (CheckSynchronize with a time-out) return at once, so that
// a main thread waiting for another thread's end, pumping meanwhile, sees that end at once.
void WakeMainThreadPump();

// Called (on the posting thread) after each queued call, so a window toolkit can wake its
// event loop and pump. An empty function removes the hook.
void SetWakeMainThread(std::function<void()> aHook);

// Receives exceptions that escape queued (not synchronised) calls while the pump runs them.
// By default they are written to stderr.
void SetMainThreadExceptionHandler(std::function<void(std::exception_ptr)> aHandler);

// Pumps until aDone() holds or aTimeoutMs passes; returns aDone(). For the main thread.
bool PumpUntil(const std::function<bool()>& aDone, int aTimeoutMs);
