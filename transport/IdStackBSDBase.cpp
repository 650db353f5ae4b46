#include "transport/IdStackBSDBase.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/Exception.h"
#include "platform/SysUtils.h"
#include "transport/IdException.h"
#include "transport/IdWakeSignal.h"

namespace {

struct TErrnoCode {
  int Errno;
  int Code;
};

// The one errno -> socket error code table; the first row of a code is its reverse mapping.
constexpr TErrnoCode CErrnoCodes[] = {
    {EINTR, Id_WSAEINTR},
    {EBADF, Id_WSAEBADF},
    {EACCES, Id_WSAEACCES},
    {EPERM, Id_WSAEACCES},
    {EFAULT, Id_WSAEFAULT},
    {EINVAL, Id_WSAEINVAL},
    {EMFILE, Id_WSAEMFILE},
    {ENFILE, Id_WSAEMFILE},
    {EWOULDBLOCK, Id_WSAEWOULDBLOCK},
    {EINPROGRESS, Id_WSAEINPROGRESS},
    {EALREADY, Id_WSAEALREADY},
    {ENOTSOCK, Id_WSAENOTSOCK},
    {EDESTADDRREQ, Id_WSAEDESTADDRREQ},
    {EMSGSIZE, Id_WSAEMSGSIZE},
    {EPROTOTYPE, Id_WSAEPROTOTYPE},
    {ENOPROTOOPT, Id_WSAENOPROTOOPT},
    {EPROTONOSUPPORT, Id_WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, Id_WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, Id_WSAEOPNOTSUPP},
    {EPFNOSUPPORT, Id_WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, Id_WSAEAFNOSUPPORT},
    {EADDRINUSE, Id_WSAEADDRINUSE},
    {EADDRNOTAVAIL, Id_WSAEADDRNOTAVAIL},
    {ENETDOWN, Id_WSAENETDOWN},
    {ENETUNREACH, Id_WSAENETUNREACH},
    {ENETRESET, Id_WSAENETRESET},
    {ECONNABORTED, Id_WSAECONNABORTED},
    {ECONNRESET, Id_WSAECONNRESET},
    {ENOBUFS, Id_WSAENOBUFS},
    {ENOMEM, Id_WSAENOBUFS},
    {EISCONN, Id_WSAEISCONN},
    {ENOTCONN, Id_WSAENOTCONN},
    {ESHUTDOWN, Id_WSAESHUTDOWN},
    {EPIPE, Id_WSAESHUTDOWN},
    {ETOOMANYREFS, Id_WSAETOOMANYREFS},
    {ETIMEDOUT, Id_WSAETIMEDOUT},
    {ECONNREFUSED, Id_WSAECONNREFUSED},
    {ELOOP, Id_WSAELOOP},
    {ENAMETOOLONG, Id_WSAENAMETOOLONG},
    {EHOSTDOWN, Id_WSAEHOSTDOWN},
    {EHOSTUNREACH, Id_WSAEHOSTUNREACH},
    {ENOTEMPTY, Id_WSAENOTEMPTY},
};

struct TResolverCode {
  int Result;
  int Code;
};

constexpr TResolverCode CResolverCodes[] = {
    // "No address of the asked family" is a host not found for that family; a code 0 would
    // reach the user as "Socket Error # 0" with no text.
    {EAI_ADDRFAMILY, Id_WSAHOST_NOT_FOUND},
    {EAI_AGAIN, Id_WSATRY_AGAIN},
    {EAI_BADFLAGS, Id_WSAEINVAL},
    {EAI_FAIL, Id_WSANO_RECOVERY},
    {EAI_FAMILY, Id_WSAEAFNOSUPPORT},
    {EAI_MEMORY, 8},
    {EAI_NODATA, Id_WSANO_DATA},
    {EAI_NONAME, Id_WSAHOST_NOT_FOUND},
    {EAI_SERVICE, Id_WSATYPE_NOT_FOUND},
    {EAI_SOCKTYPE, Id_WSAESOCKTNOSUPPORT},
};

int FamilyOf(TIdIPVersion AIPVersion) {
  switch (AIPVersion) {
    case Id_IPv4:
      return AF_INET;
    case Id_IPv6:
      return AF_INET6;
  }
  throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}

struct TAddrInfoFree {
  void operator()(addrinfo* P) const { freeaddrinfo(P); }
};
using TAddrInfoPtr = std::unique_ptr<addrinfo, TAddrInfoFree>;

// The interface index of a zone given by name or by number.
unsigned ScopeIdOf(const std::string& AIP, const std::string& AZone) {
  if (std::all_of(AZone.begin(), AZone.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    int LIndex;
    if (TryStrToInt(AZone, LIndex) && LIndex > 0) return static_cast<unsigned>(LIndex);
  } else if (const unsigned LIndex = ::if_nametoindex(AZone.c_str())) {
    return LIndex;
  }
  throw EIdInvalidIPv6Address(Format(RSInvalidIPv6Address, AIP.c_str()));
}

bool IsTimeoutOption(int ALevel, int AOptName) {
  return ALevel == SOL_SOCKET && (AOptName == SO_RCVTIMEO || AOptName == SO_SNDTIMEO);
}

bool HasNonASCII(const std::string& AText) {
  return std::any_of(AText.begin(), AText.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

}  // namespace

int ErrnoToSocketError(int AErrno) {
  for (const TErrnoCode& E : CErrnoCodes) {
    if (E.Errno == AErrno) return E.Code;
  }
  return AErrno;
}

int SocketErrorToErrno(int AErr) {
  for (const TErrnoCode& E : CErrnoCodes) {
    if (E.Code == AErr) return E.Errno;
  }
  return AErr;
}

int ResolverErrorToSocketError(int AResolverError) {
  for (const TResolverCode& E : CResolverCodes) {
    if (E.Result == AResolverError) return E.Code;
  }
  return AResolverError;
}

void RaiseResolverError(int AResolverError) {
  if (AResolverError == EAI_SYSTEM) {
    const int LErr = errno;
    throw EOSError(Format("System Error.  Code: %d.\r\n%s", LErr, std::strerror(LErr)));
  }
  TIdStack::RaiseSocketError(ResolverErrorToSocketError(AResolverError));
}

std::unique_ptr<TIdStack> CreateBSDStack() {
  return std::make_unique<TIdStackBSDBase>();
}

TIdStackSocketHandle TIdStackBSDBase::WSSocket(int AFamily, int AStruct, int AProtocol,
                                               bool /*AOverlapped*/) {
  return ::socket(AFamily, AStruct | SOCK_CLOEXEC, AProtocol);
}

TIdStackSocketHandle TIdStackBSDBase::NewSocketHandle(int ASocketType, int AProtocol,
                                                      TIdIPVersion AIPVersion, bool AOverlapped) {
  const TIdStackSocketHandle LHandle =
      WSSocket(FamilyOf(AIPVersion), ASocketType, AProtocol, AOverlapped);
  if (LHandle == Id_INVALID_SOCKET) RaiseLastSocketError();
  return LHandle;
}

socklen_t TIdStackBSDBase::FillSockAddr(sockaddr_storage& VAddr, const std::string& AIP,
                                        TIdPort APort, TIdIPVersion AIPVersion) {
  std::memset(&VAddr, 0, sizeof(VAddr));
  if (AIPVersion == Id_IPv4) {
    auto& LAddr = reinterpret_cast<sockaddr_in&>(VAddr);
    LAddr.sin_family = AF_INET;
    LAddr.sin_port = htons(APort);
    if (AIP.empty()) {
      LAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    } else {
      TranslateStringToTInAddr(AIP, &LAddr.sin_addr, Id_IPv4);
    }
    return sizeof(sockaddr_in);
  }
  if (AIPVersion == Id_IPv6) {
    auto& LAddr = reinterpret_cast<sockaddr_in6&>(VAddr);
    LAddr.sin6_family = AF_INET6;
    LAddr.sin6_port = htons(APort);
    if (AIP.empty()) {
      LAddr.sin6_addr = in6addr_any;
    } else {
      TranslateStringToTInAddr(AIP, &LAddr.sin6_addr, Id_IPv6);
      std::string LZone;
      TIdIPv6Address LWords;
      IPv6ToWords(AIP, LWords, &LZone);
      if (!LZone.empty()) LAddr.sin6_scope_id = ScopeIdOf(AIP, LZone);
    }
    return sizeof(sockaddr_in6);
  }
  throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}

void TIdStackBSDBase::ReadSockAddr(const sockaddr_storage& AAddr, std::string& VIP,
                                   TIdIPVersion& VIPVersion, TIdPort& VPort) {
  if (AAddr.ss_family == AF_INET) {
    const auto& LAddr = reinterpret_cast<const sockaddr_in&>(AAddr);
    VIP = TranslateTInAddrToString(&LAddr.sin_addr, Id_IPv4);
    VIPVersion = Id_IPv4;
    VPort = ntohs(LAddr.sin_port);
  } else if (AAddr.ss_family == AF_INET6) {
    const auto& LAddr = reinterpret_cast<const sockaddr_in6&>(AAddr);
    VIP = TranslateTInAddrToString(&LAddr.sin6_addr, Id_IPv6);
    if (LAddr.sin6_scope_id != 0) {
      char LName[IF_NAMESIZE] = {};
      VIP += '%';
      VIP += ::if_indextoname(LAddr.sin6_scope_id, LName) ? std::string(LName)
                                                          : std::to_string(LAddr.sin6_scope_id);
    }
    VIPVersion = Id_IPv6;
    VPort = ntohs(LAddr.sin6_port);
  } else {
    throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
  }
}

void TIdStackBSDBase::Bind(TIdStackSocketHandle ASocket, const std::string& AIP, TIdPort APort,
                           TIdIPVersion AIPVersion) {
  sockaddr_storage LAddr;
  const socklen_t LLen = FillSockAddr(LAddr, AIP, APort, AIPVersion);
  CheckForSocketError(::bind(ASocket, reinterpret_cast<sockaddr*>(&LAddr), LLen));
}

void TIdStackBSDBase::Connect(TIdStackSocketHandle ASocket, const std::string& AIP, TIdPort APort,
                              TIdIPVersion AIPVersion, int ATimeout, const TIdWakeSignal* ACancel) {
  sockaddr_storage LAddr;
  const socklen_t LLen = FillSockAddr(LAddr, AIP, APort, AIPVersion);
  const auto* LTarget = reinterpret_cast<const sockaddr*>(&LAddr);
  int LErr = 0;
  if (ATimeout == IdTimeoutInfinite && !ACancel) {
    if (::connect(ASocket, LTarget, LLen) == 0) return;
    LErr = errno;
    // An interrupted connect goes on in the background; its end is still to be awaited.
    if (LErr == EINTR) AwaitConnect(ASocket, ATimeout, LErr, nullptr);
  } else {
    // Bounded or cancellable on this thread: a non-blocking connect, a wait for its end, the
    // socket back to blocking whatever the outcome.
    SetBlocking(ASocket, false);
    struct TBlockingAgain {
      TIdStackBSDBase& Stack;
      TIdStackSocketHandle Socket;
      ~TBlockingAgain() { Stack.SetBlocking(Socket, true); }
    } LBlockingAgain{*this, ASocket};
    if (::connect(ASocket, LTarget, LLen) != 0) {
      LErr = errno;
      if (LErr == EINPROGRESS && !AwaitConnect(ASocket, ATimeout, LErr, ACancel))
        throw EIdConnectTimeout(RSConnectTimeout);
    }
  }
  if (LErr != 0) RaiseSocketError(ErrnoToSocketError(LErr));
}

bool TIdStackBSDBase::AwaitConnect(TIdStackSocketHandle ASocket, int ATimeout, int& VErr,
                                   const TIdWakeSignal* ACancel) {
  if (ACancel) {
    if (!ACancel->WaitWritable(ASocket, ATimeout)) {
      if (ACancel->Raised()) throw EIdConnectCancelled(RSConnectCancelled);
      return false;
    }
  } else {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point LEnd = Clock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
    pollfd LFd{ASocket, POLLOUT, 0};
    for (int LWait = ATimeout;;) {
      const int LResult = ::poll(&LFd, 1, LWait);
      if (LResult > 0) break;
      if (LResult == 0) return false;
      if (errno != EINTR) {
        VErr = errno;
        return true;
      }
      if (ATimeout < 0) continue;
      // The time left, rounded up so that the wait never ends early.
      const auto LLeft = std::chrono::ceil<std::chrono::milliseconds>(LEnd - Clock::now()).count();
      if (LLeft <= 0) return false;
      LWait = static_cast<int>(LLeft);
    }
  }
  socklen_t LLen = sizeof(VErr);
  if (::getsockopt(ASocket, SOL_SOCKET, SO_ERROR, &VErr, &LLen) != 0) VErr = errno;
  return true;
}

void TIdStackBSDBase::Disconnect(TIdStackSocketHandle ASocket) {
  const int LLinger = FLingerState.load();
  if (LLinger < 0) {
    ShutdownSocket(ASocket, SHUT_WR);
  } else {
    const linger LValue{1, LLinger};
    ::setsockopt(ASocket, SOL_SOCKET, SO_LINGER, &LValue, sizeof(LValue));
  }
  CloseSocketHandle(ASocket);
}

void TIdStackBSDBase::CloseSocketHandle(TIdStackSocketHandle ASocket) {
  ::close(ASocket);
}

void TIdStackBSDBase::ShutdownSocket(TIdStackSocketHandle ASocket, int AHow) {
  ::shutdown(ASocket, AHow);
}

int TIdStackBSDBase::Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) {
  ssize_t LResult;
  do {
    LResult = ::recv(ASocket, VBuffer.data(), VBuffer.size(), 0);
  } while (LResult < 0 && errno == EINTR);
  return CheckForSocketError(ASocket, static_cast<int>(LResult));
}

int TIdStackBSDBase::Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int ASize,
                          int AOffset) {
  const int LSize = IndyLength(ABuffer, ASize, AOffset);
  if (LSize <= 0) return 0;
  ssize_t LResult;
  do {
    // MSG_NOSIGNAL: a peer that has gone away must give EPIPE, not kill the process.
    LResult = ::send(ASocket, ABuffer.data() + AOffset, static_cast<size_t>(LSize), MSG_NOSIGNAL);
  } while (LResult < 0 && errno == EINTR);
  return CheckForSocketError(ASocket, static_cast<int>(LResult));
}

void TIdStackBSDBase::GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                                      int& VOptVal) {
  if (IsTimeoutOption(ALevel, AOptName)) {
    timeval LTime{};
    socklen_t LLen = sizeof(LTime);
    GetSocketOption(ASocket, ALevel, AOptName, &LTime, LLen);
    VOptVal = static_cast<int>(std::min<int64_t>(
        INT_MAX, static_cast<int64_t>(LTime.tv_sec) * 1000 + LTime.tv_usec / 1000));
    return;
  }
  socklen_t LLen = sizeof(VOptVal);
  GetSocketOption(ASocket, ALevel, AOptName, &VOptVal, LLen);
}

void TIdStackBSDBase::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                                      int AOptVal) {
  if (IsTimeoutOption(ALevel, AOptName)) {
    // Negative would be refused by the system; like 0 it means no time-out.
    const int LMSec = std::max(AOptVal, 0);
    const timeval LTime{LMSec / 1000, (LMSec % 1000) * 1000};
    SetSocketOption(ASocket, ALevel, AOptName, &LTime, sizeof(LTime));
    return;
  }
  SetSocketOption(ASocket, ALevel, AOptName, &AOptVal, sizeof(AOptVal));
}

void TIdStackBSDBase::GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                                      void* AOptVal, socklen_t& VOptLen) {
  CheckForSocketError(::getsockopt(ASocket, ALevel, AOptName, AOptVal, &VOptLen));
}

void TIdStackBSDBase::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                                      const void* AOptVal, socklen_t AOptLen) {
  CheckForSocketError(::setsockopt(ASocket, ALevel, AOptName, AOptVal, AOptLen));
}

void TIdStackBSDBase::SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS,
                                         int AInterval) {
  // Each option is checked: a value the kernel refuses is an error, not a silent default.
  const int LOn = AEnabled ? 1 : 0;
  CheckForSocketError(::setsockopt(ASocket, SOL_SOCKET, SO_KEEPALIVE, &LOn, sizeof(LOn)));
  if (!AEnabled) return;
  const auto LSeconds = [](int AMS) { return std::max(1, static_cast<int>((AMS + 999LL) / 1000)); };
  const int LIdle = LSeconds(ATimeMS);
  const int LInterval = LSeconds(AInterval);
  CheckForSocketError(::setsockopt(ASocket, IPPROTO_TCP, TCP_KEEPIDLE, &LIdle, sizeof(LIdle)));
  CheckForSocketError(
      ::setsockopt(ASocket, IPPROTO_TCP, TCP_KEEPINTVL, &LInterval, sizeof(LInterval)));
}

void TIdStackBSDBase::GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP,
                                    TIdIPVersion& VIPVersion, TIdPort& VPort) {
  sockaddr_storage LAddr{};
  socklen_t LLen = sizeof(LAddr);
  CheckForSocketError(::getsockname(ASocket, reinterpret_cast<sockaddr*>(&LAddr), &LLen));
  ReadSockAddr(LAddr, VIP, VIPVersion, VPort);
}

void TIdStackBSDBase::GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP,
                                  TIdIPVersion& VIPVersion, TIdPort& VPort) {
  sockaddr_storage LAddr{};
  socklen_t LLen = sizeof(LAddr);
  CheckForSocketError(::getpeername(ASocket, reinterpret_cast<sockaddr*>(&LAddr), &LLen));
  ReadSockAddr(LAddr, VIP, VIPVersion, VPort);
}

int TIdStackBSDBase::IOControl(TIdStackSocketHandle ASocket, unsigned long ACmd, int& AArg) {
  return ::ioctl(ASocket, ACmd, &AArg);
}

void TIdStackBSDBase::SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) {
  const int LFlags = CheckForSocketError(::fcntl(ASocket, F_GETFL));
  CheckForSocketError(
      ::fcntl(ASocket, F_SETFL, ABlocking ? (LFlags & ~O_NONBLOCK) : (LFlags | O_NONBLOCK)));
}

bool TIdStackBSDBase::CheckIPVersionSupport(TIdIPVersion AIPVersion) {
  const TIdStackSocketHandle LHandle = WSSocket(FamilyOf(AIPVersion), SOCK_STREAM, 0);
  if (LHandle == Id_INVALID_SOCKET) return false;
  CloseSocketHandle(LHandle);
  return true;
}

std::string TIdStackBSDBase::LookupHostAddress(const std::string& AHost, TIdIPVersion AIPVersion) {
  addrinfo LHints{};
  LHints.ai_family = FamilyOf(AIPVersion);
  LHints.ai_socktype = SOCK_STREAM;
  // glibc converts non-ASCII names to their IDNA form when asked to.
  if (HasNonASCII(AHost)) LHints.ai_flags = AI_IDN;
  addrinfo* LResult = nullptr;
  const int LErr = ::getaddrinfo(AHost.c_str(), nullptr, &LHints, &LResult);
  TAddrInfoPtr LGuard(LResult);
  if (LErr != 0) RaiseResolverError(LErr);
  if (!LResult) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
  const void* LInAddr =
      LResult->ai_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(LResult->ai_addr)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(LResult->ai_addr)->sin_addr);
  return TranslateTInAddrToString(LInAddr, LResult->ai_family == AF_INET6 ? Id_IPv6 : Id_IPv4);
}

std::string TIdStackBSDBase::HostByAddress(const std::string& AAddress, TIdIPVersion AIPVersion) {
  addrinfo LHints{};
  LHints.ai_family = FamilyOf(AIPVersion);
  LHints.ai_socktype = SOCK_STREAM;
  LHints.ai_flags = AI_NUMERICHOST;
  addrinfo* LResult = nullptr;
  int LErr = ::getaddrinfo(AAddress.c_str(), nullptr, &LHints, &LResult);
  TAddrInfoPtr LGuard(LResult);
  if (LErr != 0) RaiseResolverError(LErr);
  char LHost[1025] = {};
  LErr = ::getnameinfo(LResult->ai_addr, LResult->ai_addrlen, LHost, sizeof(LHost), nullptr, 0,
                       NI_NAMEREQD);
  if (LErr != 0) RaiseResolverError(LErr);
  return LHost;
}

std::string TIdStackBSDBase::HostName() {
  char LName[250] = {};
  if (::gethostname(LName, sizeof(LName) - 1) != 0) return {};
  return LName;
}

int TIdStackBSDBase::WSGetLastError() {
  return ErrnoToSocketError(errno);
}

int TIdStackBSDBase::WSGetLastError(TIdStackSocketHandle ASocket) {
  const int LErr = errno;
  if (LErr == EAGAIN || LErr == EWOULDBLOCK) {
    // Linux says EAGAIN both for a non-blocking socket with nothing to do and for a blocking
    // one whose SO_RCVTIMEO / SO_SNDTIMEO ran out; only the first is "would block".
    const int LFlags = ::fcntl(ASocket, F_GETFL);
    errno = LErr;
    if (LFlags >= 0 && !(LFlags & O_NONBLOCK)) return Id_WSAETIMEDOUT;
  }
  return ErrnoToSocketError(LErr);
}

void TIdStackBSDBase::WSSetLastError(int AErr) {
  errno = SocketErrorToErrno(AErr);
}

std::string TIdStackBSDBase::TranslateTInAddrToString(const void* AInAddr,
                                                      TIdIPVersion AIPVersion) {
  const auto* LBytes = static_cast<const uint8_t*>(AInAddr);
  if (AIPVersion == Id_IPv4) {
    return Format("%u.%u.%u.%u", LBytes[0], LBytes[1], LBytes[2], LBytes[3]);
  }
  if (AIPVersion == Id_IPv6) {
    std::string LResult;
    for (int i = 0; i < 8; ++i) {
      if (i > 0) LResult += ':';
      LResult += Format("%X", static_cast<unsigned>(LBytes[2 * i] << 8 | LBytes[2 * i + 1]));
    }
    return LResult;
  }
  throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}

void TIdStackBSDBase::TranslateStringToTInAddr(const std::string& AIP, void* VInAddr,
                                               TIdIPVersion AIPVersion) {
  auto* LBytes = static_cast<uint8_t*>(VInAddr);
  if (AIPVersion == Id_IPv4) {
    std::string LRest = AIP;
    for (int i = 0; i < 4; ++i) {
      const size_t LDot = LRest.find('.');
      LBytes[i] = static_cast<uint8_t>(StrToInt(Trim(LRest.substr(0, LDot))));
      LRest = LDot == std::string::npos ? std::string() : LRest.substr(LDot + 1);
    }
    return;
  }
  if (AIPVersion == Id_IPv6) {
    TIdIPv6Address LWords;
    if (!IPv6ToWords(AIP, LWords))
      throw EIdInvalidIPv6Address(Format(RSInvalidIPv6Address, AIP.c_str()));
    for (size_t i = 0; i < 8; ++i) {
      LBytes[2 * i] = static_cast<uint8_t>(LWords[i] >> 8);
      LBytes[2 * i + 1] = static_cast<uint8_t>(LWords[i]);
    }
    return;
  }
  throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}
