#include "transport/IdConnectThread.h"

#include <chrono>
#include <utility>

#include "transport/IdSocketHandle.h"

TIdConnectThread::TIdConnectThread(TIdSocketHandle* ABinding)
    : FBinding(ABinding), FThread([this] { Execute(); }) {}

TIdConnectThread::~TIdConnectThread() {
  FThread.join();
}

void TIdConnectThread::Execute() {
  std::exception_ptr LError;
  try {
    FBinding->Connect();
  } catch (...) {
    LError = std::current_exception();
  }
  std::lock_guard<std::mutex> LGuard(FLock);
  FExceptionOccured = LError != nullptr;
  FConnectException = std::move(LError);
  FTerminated = true;
  FDone.notify_all();
}

bool TIdConnectThread::WaitFor(int ATimeout) {
  std::unique_lock<std::mutex> LGuard(FLock);
  if (ATimeout < 0) {
    FDone.wait(LGuard, [this] { return FTerminated; });
    return true;
  }
  return FDone.wait_for(LGuard, std::chrono::milliseconds(ATimeout),
                        [this] { return FTerminated; });
}

bool TIdConnectThread::Terminated() {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FTerminated;
}

bool TIdConnectThread::ExceptionOccured() {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FExceptionOccured;
}

std::exception_ptr TIdConnectThread::TakeConnectException() {
  std::lock_guard<std::mutex> LGuard(FLock);
  return std::exchange(FConnectException, nullptr);
}
