#include "rcon/qorRCON_ConnectProbe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
// How often a waiting connect looks for a cancel.
constexpr int kStepMs = 20;
}  // namespace

struct TqorRCON_ConnectProbe::TState {
  std::atomic<bool> Cancelled{false};
  std::atomic<TResult> Result{prWaiting};
  std::mutex Lock;
  std::condition_variable Finished;
  bool Done = false;
};

TqorRCON_ConnectProbe::TqorRCON_ConnectProbe(const std::string& aHost, int aPort, int aTimeoutMs)
    : FState(std::make_shared<TState>()), FThread(Run, FState, aHost, aPort, aTimeoutMs) {}

TqorRCON_ConnectProbe::~TqorRCON_ConnectProbe() {
  FState->Cancelled = true;
  std::unique_lock<std::mutex> g(FState->Lock);
  if (FState->Finished.wait_for(g, std::chrono::milliseconds(10 * kStepMs),
                                [this] { return FState->Done; })) {
    g.unlock();
    FThread.join();
  } else {
    FThread.detach();  // in getaddrinfo, which cannot be interrupted; it holds its own state
  }
}

TqorRCON_ConnectProbe::TResult TqorRCON_ConnectProbe::Result() const { return FState->Result; }

void TqorRCON_ConnectProbe::Run(std::shared_ptr<TState> aState, std::string aHost, int aPort,
                                int aTimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  TResult result = prAnswered;
  addrinfo hints{};
  hints.ai_family = AF_INET;  // as the component connects
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(aHost.c_str(), std::to_string(aPort).c_str(), &hints, &found) == 0 && found) {
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      result = prTimedOut;
      while (!aState->Cancelled && std::chrono::steady_clock::now() < deadline) {
        if (::poll(&p, 1, kStepMs) != 0) {
          result = prAnswered;
          break;
        }
      }
    }
    if (fd >= 0) ::close(fd);
    freeaddrinfo(found);
  }
  if (aState->Cancelled) result = prTimedOut;
  aState->Result = result;
  std::lock_guard<std::mutex> g(aState->Lock);
  aState->Done = true;
  aState->Finished.notify_all();
}
