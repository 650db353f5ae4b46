#pragma once
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>

#include "transport/IdStack.h"

// Socket error code of an errno value (ECONNREFUSED -> 10061, ...); unknown values pass through.
int ErrnoToSocketError(int AErrno);
int SocketErrorToErrno(int AErr);
// Socket error code of a getaddrinfo()/getnameinfo() result other than EAI_SYSTEM.
int ResolverErrorToSocketError(int AResolverError);
// Raises the error of a failed resolver call (EAI_SYSTEM: the system error as EOSError).
[[noreturn]] void RaiseResolverError(int AResolverError);

// The stack over the BSD socket calls of the operating system.
class TIdStackBSDBase : public TIdStack {
 public:
  TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol, TIdIPVersion AIPVersion,
                                       bool AOverlapped = false) override;
  void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, TIdPort APort,
            TIdIPVersion AIPVersion = Id_IPv4) override;
  void Connect(TIdStackSocketHandle ASocket, const std::string& AIP, TIdPort APort,
               TIdIPVersion AIPVersion = Id_IPv4, int ATimeout = IdTimeoutInfinite,
               const TIdWakeSignal* ACancel = nullptr) override;
  void Disconnect(TIdStackSocketHandle ASocket) override;
  int Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) override;
  int Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int ASize = -1,
           int AOffset = 0) override;
  void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                       int& VOptVal) override;
  void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                       int AOptVal) override;
  void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, void* AOptVal,
                       socklen_t& VOptLen);
  void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                       socklen_t AOptLen);
  // Whole seconds on Linux: milliseconds are rounded up, to at least 1.
  void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS,
                          int AInterval) override;
  void SetLingerState(int AValue) override { FLingerState.store(AValue); }
  int LingerState() const override { return FLingerState.load(); }
  using TIdStack::GetPeerName;
  using TIdStack::GetSocketName;
  void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, TIdIPVersion& VIPVersion,
                     TIdPort& VPort) override;
  void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, TIdIPVersion& VIPVersion,
                   TIdPort& VPort) override;
  int IOControl(TIdStackSocketHandle ASocket, unsigned long ACmd, int& AArg) override;
  bool SupportsIPv4() override { return CheckIPVersionSupport(Id_IPv4); }
  bool SupportsIPv6() override { return CheckIPVersionSupport(Id_IPv6); }

  std::string LookupHostAddress(const std::string& AHost, TIdIPVersion AIPVersion) override;
  std::string HostByAddress(const std::string& AAddress,
                            TIdIPVersion AIPVersion = Id_IPv4) override;
  std::string HostName() override;

  int WSGetLastError() override;
  int WSGetLastError(TIdStackSocketHandle ASocket) override;
  void WSSetLastError(int AErr) override;

  TIdStackSocketHandle WSSocket(int AFamily, int AStruct, int AProtocol, bool AOverlapped = false);
  void CloseSocketHandle(TIdStackSocketHandle ASocket);
  void ShutdownSocket(TIdStackSocketHandle ASocket, int AHow) override;
  void SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking);
  static bool WouldBlock(int AErr) { return AErr == Id_WSAEWOULDBLOCK; }
  // A socket of that family can be created (it is closed again).
  bool CheckIPVersionSupport(TIdIPVersion AIPVersion);

  // IPv4 as "a.b.c.d"; IPv6 as eight upper-case groups without "::" shortening.
  std::string TranslateTInAddrToString(const void* AInAddr, TIdIPVersion AIPVersion);
  // Into an in_addr / in6_addr in network order; bad IPv4 parts raise EConvertError, bad IPv6
  // text EIdInvalidIPv6Address.
  void TranslateStringToTInAddr(const std::string& AIP, void* VInAddr, TIdIPVersion AIPVersion);

 private:
  // Waits for a connect under way to end, at most ATimeout ms (negative: no limit), resuming
  // with the time left when a signal interrupts; false when it has not ended in time, else
  // true with VErr the connect's errno (0: connected).
  bool AwaitConnect(TIdStackSocketHandle ASocket, int ATimeout, int& VErr,
                    const TIdWakeSignal* ACancel);
  // The socket address of AIP (any-address when empty) and APort; returns its length.
  socklen_t FillSockAddr(sockaddr_storage& VAddr, const std::string& AIP, TIdPort APort,
                         TIdIPVersion AIPVersion);
  void ReadSockAddr(const sockaddr_storage& AAddr, std::string& VIP, TIdIPVersion& VIPVersion,
                    TIdPort& VPort);

  std::atomic<int> FLingerState{-1};
};

std::unique_ptr<TIdStack> CreateBSDStack();
