#pragma once
// What escapes the calls queued for the main thread (what would reach the application's error
// box), kept as messages while this lives.
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/MainThread.h"

class TEscapedExceptions {
 public:
  // aAfter takes them over again afterwards (none: the queue's own report to stderr).
  explicit TEscapedExceptions(std::function<void(std::exception_ptr)> aAfter = nullptr)
      : FAfter(std::move(aAfter)) {
    SetMainThreadExceptionHandler([this](std::exception_ptr aError) {
      try {
        std::rethrow_exception(aError);
      } catch (const std::exception& E) {
        FMessages.push_back(E.what());
      } catch (...) {
        FMessages.push_back("(not a std::exception)");
      }
    });
  }
  ~TEscapedExceptions() { SetMainThreadExceptionHandler(std::move(FAfter)); }
  TEscapedExceptions(const TEscapedExceptions&) = delete;
  TEscapedExceptions& operator=(const TEscapedExceptions&) = delete;

  // The handler runs on the main thread, so only the main thread reads them.
  const std::vector<std::string>& Messages() const { return FMessages; }

 private:
  std::function<void(std::exception_ptr)> FAfter;
  std::vector<std::string> FMessages;
};
