#pragma once
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

class TIdSocketHandle;

// Runs one blocking connect of ABinding on its own thread, starting at construction. An
// exception of the connect is kept and handed over, never shared.
class TIdConnectThread {
 public:
  explicit TIdConnectThread(TIdSocketHandle* ABinding);
  // Waits for the thread's end.
  ~TIdConnectThread();
  TIdConnectThread(const TIdConnectThread&) = delete;
  TIdConnectThread& operator=(const TIdConnectThread&) = delete;

  // True once the body has finished; waits at most ATimeout ms (negative: no limit).
  bool WaitFor(int ATimeout);
  // Set when the body has finished.
  bool Terminated();
  bool ExceptionOccured();
  // The kept exception (empty when none was kept); the thread no longer holds it.
  std::exception_ptr TakeConnectException();

 private:
  void Execute();

  TIdSocketHandle* FBinding;
  std::mutex FLock;
  std::condition_variable FDone;
  bool FTerminated = false;
  bool FExceptionOccured = false;
  std::exception_ptr FConnectException;
  std::thread FThread;  // last: starts once everything above exists
};
