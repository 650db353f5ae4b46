#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "base/Constructed.h"
#include "base/IdException.h"
#include "base/IdThreadSafe.h"
#include "platform/Component.h"
#include "platform/MainThread.h"

enum TIdThreadStopMode { smTerminate, smSuspend };

enum TIdThreadOption : uint32_t {
  itoStopped = 1u << 0,
  itoReqCleanup = 1u << 1,
  itoDataOwner = 1u << 2,
  itoTag = 1u << 3,
};
using TIdThreadOptions = uint32_t;

// Opaque per-thread context of a scheduler; owned by the thread.
class TIdYarn {
 public:
  virtual ~TIdYarn() = default;
};

class TIdThread;
using TIdExceptionThreadEvent =
    std::function<void(TIdThread* AThread, const std::exception& AException)>;
using TIdNotifyThreadEvent = std::function<void(TIdThread* AThread)>;

// Process-wide count of live TIdThread objects.
TIdThreadSafeInteger& ThreadCount();

// Background thread that runs RunCycle over and over (Loop) until stopped. Created with
// New<T>(...): a thread not created suspended starts once its whole constructor chain has
// run, and destruction ends the thread before any derived member is destroyed.
//
// "Suspended" has no OS counterpart here: a thread created suspended waits at a start gate,
// and a stopped thread in smSuspend mode parks on a condition variable; Start releases both.
// Waiting for the end on the main thread keeps pumping the main thread's call queue.
class TIdThread {
 public:
  virtual ~TIdThread();
  TIdThread(const TIdThread&) = delete;
  TIdThread& operator=(const TIdThread&) = delete;

  virtual void Start();
  virtual void Stop();
  virtual void Terminate();
  // Raises EIdThreadTerminateAndWaitFor when FreeOnTerminate is set.
  virtual void TerminateAndWaitFor();
  // Waits for the end of the thread body; yields ReturnValue.
  int WaitFor();
  void Synchronize(const TThreadProcedure& Method) { SynchronizeWithMainThread(Method); }

  bool Terminated() const { return FTerminated.load(); }
  // The body has ended (the object may still be waited for and freed).
  bool Finished() const { return FFinished.load(); }
  bool Stopped() const;
  bool Suspended() const;
  TIdThreadOptions Options() const;

  // A thread with FreeOnTerminate deletes itself when its body ends; drop every reference.
  bool FreeOnTerminate() const;
  void SetFreeOnTerminate(bool aValue);
  bool Loop() const { return FLoop.load(); }
  void SetLoop(bool aValue) { FLoop = aValue; }
  TIdThreadStopMode StopMode() const { return FStopMode.load(); }
  void SetStopMode(TIdThreadStopMode aValue) { FStopMode = aValue; }
  int ReturnValue() const { return FReturnValue.load(); }
  void SetReturnValue(int aValue) { FReturnValue = aValue; }
  std::string Name() const;
  void SetName(const std::string& aValue);

  // Data is freed by the thread (CycleCleanup, destruction) while itoDataOwner is set.
  TPersistent* Data() const;
  void SetData(TPersistent* aValue);
  TIdYarn* Yarn() const;
  void SetYarn(TIdYarn* aValue);  // takes ownership

  std::string TerminatingException() const;
  std::string TerminatingExceptionClass() const;

  void SetOnException(TIdExceptionThreadEvent aValue);
  void SetOnStopped(TIdNotifyThreadEvent aValue);

 protected:
  TIdThread(bool ACreateSuspended, bool ALoop, const std::string& AName);

  virtual void CycleEnded() {}
  virtual void ExecuteEnded() {}
  virtual void ExecuteStarting() {}
  virtual void CycleStarting() {}
  virtual void CycleCleanup();
  virtual void NotifyException(const std::exception& E);
  virtual void NotifyStopped();
  // True absorbs an exception of RunCycle and lets the cycles go on.
  virtual bool HandleCycleException(const std::exception&) { return false; }
  virtual void RunCycle() = 0;

  void IncludeOption(TIdThreadOptions aOption);

  // Run by TConstructed: opens the start gate / ends the body and cleans up.
  void AfterConstruction();
  void BeforeDestruction();

  mutable TIdCriticalSection FLock;

 private:
  static void ThreadProc(TIdThread* aThread);
  void Execute();
  void RunCycles();
  void RunCycleOffered();
  void Park();
  void Resume();     // under FLock
  void EndThread();  // terminates and waits for the body; later calls do nothing
  void Join();

  TPersistent* FData = nullptr;
  std::atomic<bool> FLoop;
  std::string FName;
  std::atomic<TIdThreadStopMode> FStopMode{smTerminate};
  TIdThreadOptions FOptions = itoDataOwner;
  std::string FTerminatingException;
  std::string FTerminatingExceptionClass;
  TIdYarn* FYarn = nullptr;
  TIdExceptionThreadEvent FOnException;
  TIdNotifyThreadEvent FOnStopped;

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<int> FReturnValue{0};
  bool FFreeOnTerminate = false;
  bool FAbandoned = false;  // guarded by FLock
  bool FSuspended = true;   // the start gate or the park; guarded by FLock
  std::condition_variable_any FWake;
  std::mutex FJoinLock;
  std::thread FThread;
};
