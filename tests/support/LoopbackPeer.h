#pragma once
// A scripted TCP peer on loopback for tests: listens on an ephemeral port of 127.0.0.1 or ::1,
// accepts one connection on its own thread and plays a byte script, recording what it reads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

class LoopbackPeer {
 public:
  enum class Op { Send, Pause, Expect, Close, Reset };
  struct Step {
    Op Kind;
    std::string Bytes;  // Send: bytes to send
    int Count = 0;      // Pause: ms (to split receives); Expect: bytes to read first
  };
  static Step Send(std::string s) { return {Op::Send, std::move(s), 0}; }
  static Step Pause(int ms) { return {Op::Pause, {}, ms}; }
  static Step Expect(int n) { return {Op::Expect, {}, n}; }
  static Step Close() { return {Op::Close, {}, 0}; }
  // Abortive close (RST).
  static Step Reset() { return {Op::Reset, {}, 0}; }

  // Listens only; Start() runs the script. Valid() is false when the family is unavailable.
  explicit LoopbackPeer(bool AIPv6 = false) {
    FListen = ::socket(AIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0) return;
    sockaddr_storage LAddr{};
    socklen_t LLen;
    if (AIPv6) {
      auto& A = reinterpret_cast<sockaddr_in6&>(LAddr);
      A.sin6_family = AF_INET6;
      A.sin6_addr = in6addr_loopback;
      LLen = sizeof(A);
    } else {
      auto& A = reinterpret_cast<sockaddr_in&>(LAddr);
      A.sin_family = AF_INET;
      A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      LLen = sizeof(A);
    }
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&LAddr), LLen) != 0 ||
        ::listen(FListen, 4) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&LAddr), &LLen) != 0) {
      ::close(FListen);
      FListen = -1;
      return;
    }
    FPort = ntohs(AIPv6 ? reinterpret_cast<sockaddr_in6&>(LAddr).sin6_port
                        : reinterpret_cast<sockaddr_in&>(LAddr).sin_port);
  }

  LoopbackPeer(std::vector<Step> AScript, bool AIPv6 = false) : LoopbackPeer(AIPv6) {
    Start(std::move(AScript));
  }

  ~LoopbackPeer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    if (FListen >= 0) ::close(FListen);
  }

  bool Valid() const { return FListen >= 0; }
  uint16_t Port() const { return FPort; }

  void Start(std::vector<Step> AScript) {
    FThread = std::thread([this, S = std::move(AScript)] { Run(S); });
  }

  // Waits (bounded) until the script has finished.
  bool WaitDone(int AMs = 5000) const {
    const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    while (!FDone && std::chrono::steady_clock::now() < LEnd) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return FDone;
  }

  std::string Received() const {
    std::lock_guard<std::mutex> G(FLock);
    return FReceived;
  }
  // Sizes of the reads the peer made, to see how the client split its sends.
  std::vector<size_t> Reads() const {
    std::lock_guard<std::mutex> G(FLock);
    return FReads;
  }

 private:
  // Bounded wait for readability so the peer never hangs a test.
  bool WaitReadable(int fd, int AMs) {
    const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    while (!FStop && std::chrono::steady_clock::now() < LEnd) {
      pollfd P{fd, POLLIN, 0};
      if (::poll(&P, 1, 20) > 0) return true;
    }
    return false;
  }

  void Run(const std::vector<Step>& AScript) {
    int fd = -1;
    if (WaitReadable(FListen, 10000)) fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      for (const Step& S : AScript) {
        if (!Play(fd, S)) break;
      }
      // Drain what is left so the client never sees a reset it did not ask for.
      if (fd >= 0) {
        ::shutdown(fd, SHUT_WR);
        char buf[4096];
        while (WaitReadable(fd, 2000)) {
          const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
          if (n <= 0) break;
          Record(buf, n);
        }
        ::close(fd);
      }
    }
    FDone = true;
  }

  // Returns false when the connection is finished.
  bool Play(int& fd, const Step& S) {
    switch (S.Kind) {
      case Op::Send:
        return ::send(fd, S.Bytes.data(), S.Bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(S.Bytes.size());
      case Op::Pause:
        std::this_thread::sleep_for(std::chrono::milliseconds(S.Count));
        return true;
      case Op::Expect: {
        size_t got = 0;
        char buf[4096];
        while (got < static_cast<size_t>(S.Count) && WaitReadable(fd, 5000)) {
          const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, S.Count - got), 0);
          if (n <= 0) return false;
          Record(buf, n);
          got += n;
        }
        return got == static_cast<size_t>(S.Count);
      }
      case Op::Close:
        ::shutdown(fd, SHUT_WR);
        return true;
      case Op::Reset: {
        linger L{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &L, sizeof L);
        ::close(fd);
        fd = -1;
        return false;
      }
    }
    return false;
  }

  void Record(const char* p, ssize_t n) {
    std::lock_guard<std::mutex> G(FLock);
    FReceived.append(p, n);
    FReads.push_back(static_cast<size_t>(n));
  }

  int FListen = -1;
  uint16_t FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDone{false};
  mutable std::mutex FLock;
  std::string FReceived;
  std::vector<size_t> FReads;
};
