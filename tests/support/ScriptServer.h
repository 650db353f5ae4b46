#pragma once
// A loopback server whose every connection runs a script written by the test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Types.h"
#include "tests/support/Loopback.h"

// One connection as the script sees it. Every wait is bounded.
class TScriptPeer {
 public:
  explicit TScriptPeer(int aFd) : FFd(aFd) {}

  void Send(const TBytes& aBytes) const {
    size_t done = 0;
    while (done < aBytes.size()) {
      ssize_t n = send(FFd, aBytes.data() + done, aBytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      done += size_t(n);
    }
  }
  // One byte per send, with a pause so that the client sees separate chunks.
  void SendByteByByte(const TBytes& aBytes) const {
    for (uint8_t b : aBytes) {
      Send(TBytes{b});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // False when the client closed or nothing came within the time.
  bool ReadExact(uint8_t* aOut, size_t aCount, int aTimeoutMs = 10000) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    size_t done = 0;
    while (done < aCount) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now()).count();
      pollfd p{FFd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, int(left)) <= 0) return false;
      ssize_t n = recv(FFd, aOut + done, aCount - done, 0);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }
  // True when the client closes its side within the time.
  bool WaitClosed(int aTimeoutMs = 10000) const {
    uint8_t b;
    pollfd p{FFd, POLLIN, 0};
    return poll(&p, 1, aTimeoutMs) > 0 && recv(FFd, &b, 1, 0) == 0;
  }

 protected:
  int FFd;
};

template <class TPeer = TScriptPeer>
class TScriptServer {
 public:
  // aSession runs on the server thread for each accepted connection, one after another;
  // the connection is closed when it returns.
  explicit TScriptServer(std::function<void(TPeer&)> aSession) : FSession(std::move(aSession)) {
    uint16_t LPort = 0;
    FListener = ListenOnLoopback(8, LPort);
    if (FListener < 0) throw std::runtime_error("cannot listen");
    FPort = LPort;
    FThread = std::thread([this] { Run(); });
  }
  ~TScriptServer() {
    FStop = true;
    FThread.join();
    close(FListener);
  }
  int Port() const { return FPort; }
  int Accepted() const { return FAccepted; }
  // A session threw (for example a send to a client that had gone).
  bool Failed() const { return FFailed; }

 private:
  void Run() {
    while (!FStop) {
      pollfd p{FListener, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int fd = accept(FListener, nullptr, nullptr);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ++FAccepted;
      TPeer peer(fd);
      try {
        FSession(peer);
      } catch (const std::exception&) {
        FFailed = true;
      }
      close(fd);
    }
  }

  std::function<void(TPeer&)> FSession;
  int FListener = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::atomic<bool> FFailed{false};
  std::thread FThread;
};
