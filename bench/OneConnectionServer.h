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
#include "tests/support/ScriptServer.h"

// Bounds every wait of a server, whatever the client does.
constexpr auto kServeLimit = std::chrono::seconds(60);

inline void SetTimeouts(int aFd) {
  timeval tv{60, 0};
  ::setsockopt(aFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(aFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  ::setsockopt(aFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The shared scripted server with a session of raw socket calls: aServe runs on the
// connection, then the server half-closes and waits for the client to close. Time-outs on
// the socket bound every wait.
class TOneConnectionServer : public TScriptServer<> {
 public:
  explicit TOneConnectionServer(std::function<void(int)> aServe)
      : TScriptServer<>([serve = std::move(aServe)](TScriptPeer& aPeer) {
          SetTimeouts(aPeer.Fd());
          serve(aPeer.Fd());
          aPeer.Close();
          aPeer.WaitClosed(static_cast<int>(
              std::chrono::duration_cast<std::chrono::milliseconds>(kServeLimit).count()));
        }) {}
  uint16_t Port() const { return static_cast<uint16_t>(TScriptServer<>::Port()); }
};

// Sends aBlock over and over until aTotal bytes went out.
inline std::function<void(int)> Stream(std::string aBlock, int64_t aTotal) {
  return [b = std::move(aBlock), aTotal](int fd) {
    int64_t left = aTotal;
    const auto end = std::chrono::steady_clock::now() + kServeLimit;
    while (left > 0 && std::chrono::steady_clock::now() < end) {
      const ssize_t r =
          ::send(fd, b.data(), size_t(std::min(left, int64_t(b.size()))), MSG_NOSIGNAL);
      if (r <= 0) break;
      left -= r;
    }
  };
}
