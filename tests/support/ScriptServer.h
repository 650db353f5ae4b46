#pragma once
// The one scripted loopback server of the tests and benchmarks: it listens on an ephemeral
// port of 127.0.0.1 (or ::1) and runs a session written by the test on each connection it
// accepts, one after another, on its own thread. Every wait is bounded.
//
// A session that fails (a read that gets less than asked, a send to a client that has gone,
// a gate that is never opened) marks the server failed. A test that expects that asks
// Failed() or Failure(); otherwise a failed session ends the program with its reason when the
// server is destroyed, so that a peer's own failure can never let a test pass.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Types.h"
#include "tests/support/Loopback.h"

// One accepted connection as the session sees it. Failures throw std::runtime_error.
class TScriptPeer {
 public:
  explicit TScriptPeer(int aFd) : FFd(aFd) {}

  int Fd() const { return FFd; }

  void Send(const std::string& aBytes) const { Send(aBytes.data(), aBytes.size()); }
  void Send(const TBytes& aBytes) const {
    Send(reinterpret_cast<const char*>(aBytes.data()), aBytes.size());
  }
  void Send(const char* aBytes, size_t aCount) const {
    for (size_t done = 0; done < aCount;) {
      const ssize_t n = ::send(FFd, aBytes + done, aCount - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed after " + std::to_string(done) + " bytes");
      done += size_t(n);
    }
  }
  // False when the client closed or the bytes did not come within the time.
  bool ReadExact(uint8_t* aOut, size_t aCount, int aTimeoutMs = 10000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    for (size_t done = 0; done < aCount;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd p{FFd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, int(left)) <= 0) return false;
      const ssize_t n = ::recv(FFd, aOut + done, aCount - done, 0);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }
  // Exactly aCount bytes, or the session fails.
  std::string Read(size_t aCount, int aTimeoutMs = 10000) const {
    std::string out(aCount, '\0');
    if (!ReadExact(reinterpret_cast<uint8_t*>(out.data()), aCount, aTimeoutMs))
      throw std::runtime_error("expected " + std::to_string(aCount) + " bytes from the client");
    return out;
  }
  // True when the client closes its side within the time (bytes before the end are skipped).
  bool WaitClosed(int aTimeoutMs = 10000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    char buf[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd p{FFd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, int(left)) <= 0) return false;
      const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
      if (n == 0) return true;
      if (n < 0) return false;
    }
  }
  // An orderly end of the server's sending side; the client sees end of stream.
  void Close() const { ::shutdown(FFd, SHUT_WR); }
  // An abortive close: the client sees a reset. Nothing can be sent or read afterwards.
  void Reset() {
    const linger l{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(FFd);
    FFd = -1;
  }
  // One byte per send with a pause; the client may still read several at once, so a test
  // that relies on separate reads must check that they happened.
  void SendByteByByte(const TBytes& aBytes) const {
    for (uint8_t b : aBytes) {
      Send(TBytes{b});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 protected:
  int FFd;
};

// A flag that one side opens and the other waits for, bounded: the test tells a session
// that the client has got what was sent so far, so that the next send is a separate receive.
class TGate {
 public:
  void Open() {
    std::lock_guard<std::mutex> g(FLock);
    FOpen = true;
    FChanged.notify_all();
  }
  // Waits for Open() and closes the gate again; the session fails when it does not come.
  void Pass(int aTimeoutMs = 10000) {
    std::unique_lock<std::mutex> g(FLock);
    if (!FChanged.wait_for(g, std::chrono::milliseconds(aTimeoutMs), [this] { return FOpen; }))
      throw std::runtime_error("the gate was never opened");
    FOpen = false;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = false;
};

template <class TPeer = TScriptPeer>
class TScriptServer {
 public:
  using TSession = std::function<void(TPeer&)>;

  // Listens on 127.0.0.1, or on ::1 with aIPv6; Valid() is false when that family is missing
  // here (IPv4 must work: a failure to listen on it throws).
  explicit TScriptServer(TSession aSession, bool aIPv6 = false) : FSession(std::move(aSession)) {
    uint16_t port = 0;
    FListener = aIPv6 ? ListenIPv6() : ListenOnLoopback(8, port);
    if (!aIPv6) FPort = port;
    if (FListener < 0) {
      if (!aIPv6) throw std::runtime_error("cannot listen on 127.0.0.1");
      return;
    }
    FThread = std::thread([this] { Run(); });
  }
  ~TScriptServer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    if (FListener >= 0) ::close(FListener);
    if (FFailed && !FAcknowledged) {
      std::fprintf(stderr, "scripted loopback peer failed: %s\n", Failure().c_str());
      std::abort();
    }
  }
  TScriptServer(const TScriptServer&) = delete;
  TScriptServer& operator=(const TScriptServer&) = delete;

  bool Valid() const { return FListener >= 0; }
  int Port() const { return FPort; }
  int Accepted() const { return FAccepted; }
  // Sessions that have run to their end (or failed), after the server closed the connection.
  int Finished() const { return FFinished; }
  // Waits (bounded) until aCount sessions have finished.
  bool WaitFinished(int aCount = 1, int aTimeoutMs = 10000) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    while (FFinished < aCount && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return FFinished >= aCount;
  }
  // A session failed; asking counts as the test having checked it.
  bool Failed() const {
    FAcknowledged = true;
    return FFailed;
  }
  // Why the first failed session failed; empty when none did.
  std::string Failure() const {
    FAcknowledged = true;
    std::lock_guard<std::mutex> g(FLock);
    return FFailure;
  }

 private:
  int ListenIPv6() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      if (fd >= 0) ::close(fd);
      return -1;
    }
    FPort = ntohs(a.sin6_port);
    return fd;
  }

  void Run() {
    while (!FStop) {
      pollfd p{FListener, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ++FAccepted;
      TPeer peer(fd);
      try {
        FSession(peer);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> g(FLock);
        if (!FFailed) FFailure = e.what();
        FFailed = true;
      }
      if (peer.Fd() >= 0) {
        // Take what the client sent unasked, so that the close is not turned into a reset.
        ::shutdown(fd, SHUT_WR);
        char buf[4096];
        pollfd q{fd, POLLIN, 0};
        while (::poll(&q, 1, 0) > 0 && ::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
        ::close(fd);
      }
      ++FFinished;
    }
  }

  TSession FSession;
  int FListener = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::atomic<int> FFinished{0};
  std::atomic<bool> FFailed{false};
  mutable std::atomic<bool> FAcknowledged{false};
  mutable std::mutex FLock;
  std::string FFailure;
  std::thread FThread;
};
