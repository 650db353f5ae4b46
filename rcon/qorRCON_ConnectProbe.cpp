#include "rcon/qorRCON_ConnectProbe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

// Shared by the probe and its thread; the last of the two frees it.
struct TqorRCON_ConnectProbe::TState {
  std::atomic<TResult> Result{prWaiting};
  const int Cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // readable once cancelled
  ~TState() {
    if (Cancel >= 0) ::close(Cancel);
  }
};

TqorRCON_ConnectProbe::TqorRCON_ConnectProbe(const std::string& aHost, int aPort, int aTimeoutMs)
    : FState(std::make_shared<TState>()), FThread(Run, FState, aHost, aPort, aTimeoutMs) {}

// Not joined: a thread in getaddrinfo cannot be interrupted, and one in poll wakes at the
// cancel and ends by itself; either way the window must not wait for it.
TqorRCON_ConnectProbe::~TqorRCON_ConnectProbe() {
  const uint64_t one = 1;
  if (FState->Cancel >= 0) (void)!::write(FState->Cancel, &one, sizeof one);
  FThread.detach();
}

TqorRCON_ConnectProbe::TResult TqorRCON_ConnectProbe::Result() const {
  return FState->Result;
}

void TqorRCON_ConnectProbe::Run(std::shared_ptr<TState> aState, std::string aHost, int aPort,
                                int aTimeoutMs) {
  // 0 or less: no limit of its own, as for the component's connect.
  const auto deadline =
      std::chrono::steady_clock::now() +
      (aTimeoutMs > 0 ? std::chrono::milliseconds(aTimeoutMs) : std::chrono::hours(24));
  TResult result = prAnswered;
  addrinfo hints{};
  hints.ai_family = AF_INET;  // as the component connects
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(aHost.c_str(), std::to_string(aPort).c_str(), &hints, &found) == 0 && found) {
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0 && errno == EINPROGRESS) {
      pollfd p[2] = {{fd, POLLOUT, 0}, {aState->Cancel, POLLIN, 0}};
      result = prTimedOut;
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        const int n = ::poll(p, 2, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n > 0 && p[0].revents) result = prAnswered;
        break;
      }
    }
    if (fd >= 0) ::close(fd);
    freeaddrinfo(found);
  }
  aState->Result = result;
}
