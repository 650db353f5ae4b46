#pragma once
// Plain loopback sockets for tests and benchmarks: 127.0.0.1 only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <cstdint>
#include <vector>

inline sockaddr_in LoopbackAddress(uint16_t APort) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(APort);
  return A;
}

// A TCP socket bound to 127.0.0.1:APort (0: any free port); -1 when the port is taken.
// VPort, when given, receives the bound port.
inline int BindLoopback(uint16_t APort, uint16_t* VPort = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = LoopbackAddress(APort);
  socklen_t L = sizeof A;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&A), L) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&A), &L) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  if (VPort) *VPort = ntohs(A.sin_port);
  return fd;
}

// A listener on a free loopback port; -1 on failure.
inline int ListenOnLoopback(int ABacklog, uint16_t& VPort) {
  const int fd = BindLoopback(0, &VPort);
  if (fd >= 0 && ::listen(fd, ABacklog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A blocking client socket connected to 127.0.0.1:APort; -1 on failure.
inline int ConnectLoopback(uint16_t APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in A = LoopbackAddress(APort);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&A), sizeof A) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A loopback port where nothing listens: bound once, then released.
inline uint16_t ClosedPort() {
  uint16_t LPort = 0;
  const int fd = BindLoopback(0, &LPort);
  if (fd >= 0) ::close(fd);
  return LPort;
}

// A loopback port whose connects get no answer: a listener with a full accept queue drops
// further SYNs. Valid() is false where the sandbox answers every loopback connect.
class TSilentPeer {
 public:
  TSilentPeer() {
    FListen = ListenOnLoopback(0, FPort);
    const sockaddr_in A = LoopbackAddress(FPort);
    for (int i = 0; FListen >= 0 && i < 8 && !FValid; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      FFillers.push_back(fd);
      ::connect(fd, reinterpret_cast<const sockaddr*>(&A), sizeof A);
      pollfd P{fd, POLLOUT, 0};
      FValid = ::poll(&P, 1, 300) == 0;
    }
  }
  ~TSilentPeer() {
    for (int fd : FFillers) ::close(fd);
    if (FListen >= 0) ::close(FListen);
  }
  TSilentPeer(const TSilentPeer&) = delete;
  TSilentPeer& operator=(const TSilentPeer&) = delete;
  bool Valid() const { return FValid; }
  uint16_t Port() const { return FPort; }
  // From now on connects are answered: the fillers go and the accept queue is emptied, so a
  // client still waiting gets in with its next SYN (about a second after its first).
  void Answer() {
    for (int fd : FFillers) ::close(fd);
    FFillers.clear();
    pollfd P{FListen, POLLIN, 0};
    for (int i = 0; i < 16 && ::poll(&P, 1, 0) == 1; ++i) {
      const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) break;
      FFillers.push_back(fd);  // closed with the peer
    }
  }

 private:
  int FListen = -1;
  uint16_t FPort = 0;
  bool FValid = false;
  std::vector<int> FFillers;
};
