#include "transport/IdConnectProbe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

bool IdProbeConnect(const std::string& AHost, int APort, int ATimeoutMs,
                    const TIdWakeSignal& ACancel) {
  // The wait reports through the socket stack, and the probe may run before any component
  // holds it; the usage ends with the probe, so a thread still finishing at exit holds none.
  TIdStack::IncUsage();
  struct TUsage {
    ~TUsage() { TIdStack::DecUsage(); }
  } LUsage;
  const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  addrinfo LHints{};
  LHints.ai_family = AF_INET;
  LHints.ai_socktype = SOCK_STREAM;
  addrinfo* LFound = nullptr;
  if (getaddrinfo(AHost.c_str(), std::to_string(APort).c_str(), &LHints, &LFound) != 0 || !LFound)
    return true;
  bool LAnswered = true;
  const int LSocket = ::socket(LFound->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (LSocket >= 0 && ::connect(LSocket, LFound->ai_addr, LFound->ai_addrlen) != 0 &&
      errno == EINPROGRESS) {
    int LWait = IdTimeoutInfinite;
    if (ATimeoutMs > 0) {
      const auto LLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                             LDeadline - std::chrono::steady_clock::now())
                             .count();
      LWait = LLeft > 0 ? static_cast<int>(LLeft) : 0;
    }
    try {
      LAnswered = LWait != 0 && ACancel.WaitWritable(LSocket, LWait);
    } catch (...) {
      LAnswered = true;  // the wait itself failed: let the activation find out
    }
  }
  if (LSocket >= 0) ::close(LSocket);
  freeaddrinfo(LFound);
  return LAnswered;
}
