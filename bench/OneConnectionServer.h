#pragma once
// The server side of the benchmarks: one loopback connection, served on its own thread.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/Loopback.h"

// Bounds every wait of a server, whatever the client does.
constexpr auto kServeLimit = std::chrono::seconds(60);

inline void SetTimeouts(int aFd) {
  timeval tv{60, 0};
  ::setsockopt(aFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(aFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  ::setsockopt(aFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Accepts one connection on 127.0.0.1 and runs aServe on it in its own thread; afterwards
// half-closes and waits for the client to close. Time-outs on both sockets bound every wait.
class TOneConnectionServer {
 public:
  explicit TOneConnectionServer(std::function<void(int)> aServe) {
    FListen = ListenOnLoopback(1, FPort);
    SetTimeouts(FListen);
    FThread = std::thread([this, serve = std::move(aServe)] {
      const int fd = ::accept(FListen, nullptr, nullptr);
      if (fd < 0) return;
      SetTimeouts(fd);
      serve(fd);
      ::shutdown(fd, SHUT_WR);
      char c[4096];
      const auto end = std::chrono::steady_clock::now() + kServeLimit;
      while (std::chrono::steady_clock::now() < end && ::recv(fd, c, sizeof c, 0) > 0) {
      }
      ::close(fd);
    });
  }
  ~TOneConnectionServer() {
    FThread.join();
    ::close(FListen);
  }
  uint16_t Port() const { return FPort; }

 private:
  int FListen;
  uint16_t FPort;
  std::thread FThread;
};

// Sends aBlock over and over until aTotal bytes went out.
inline std::function<void(int)> Stream(std::string aBlock, int64_t aTotal) {
  return [b = std::move(aBlock), aTotal](int fd) {
    int64_t left = aTotal;
    const auto end = std::chrono::steady_clock::now() + kServeLimit;
    while (left > 0 && std::chrono::steady_clock::now() < end) {
      const ssize_t r =
          ::send(fd, b.data(), size_t(std::min<int64_t>(left, b.size())), MSG_NOSIGNAL);
      if (r <= 0) break;
      left -= r;
    }
  };
}

