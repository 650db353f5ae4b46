#include "transport/IdSocketHandle.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "platform/Exception.h"
#include "platform/SysUtils.h"
#include "transport/IdException.h"

TIdSocketHandle::TIdSocketHandle() : FReadSocketList(TIdSocketList::CreateSocketList()) {}

TIdSocketHandle::~TIdSocketHandle() {
  CloseSocket();
}

void TIdSocketHandle::AllocateSocket(int ASocketType, int AProtocol) {
  CloseSocket();
  if (FHandleAllocated) Reset(true);
  AssignHandle(GStack()->NewSocketHandle(ASocketType, AProtocol, FIPVersion, FOverLapped),
               ASocketType & ~(SOCK_NONBLOCK | SOCK_CLOEXEC));
}

void TIdSocketHandle::AssignHandle(TIdStackSocketHandle AHandle, int ASocketType) {
  const TIdStackSocketHandle LOld = FHandle;
  if (LOld != Id_INVALID_SOCKET) FReadSocketList->Remove(LOld);
  FHandle = AHandle;
  FHandleAllocated = AHandle != Id_INVALID_SOCKET;
  FSocketType = AHandle == Id_INVALID_SOCKET ? 0 : ASocketType;
  if (AHandle == Id_INVALID_SOCKET) return;
  FReadSocketList->Add(AHandle);
  // Nothing to read back: a fresh stream socket starts with Nagle on (TCP_NODELAY 0).
  if (FSocketType == SOCK_STREAM) FUseNagle = true;
}

void TIdSocketHandle::Reset(bool AResetLocal) {
  AssignHandle(Id_INVALID_SOCKET);
  if (AResetLocal) {
    FIP.clear();
    FPort = 0;
  }
  FPeerIP.clear();
  FPeerPort = 0;
  FIPVersion = Id_IPv4;
}

bool TIdSocketHandle::TryBindPort(TIdPort APort) {
  try {
    GStack()->Bind(FHandle, FIP, APort, FIPVersion);
  } catch (const Exception&) {
    return false;
  }
  UpdateBindingLocal();
  return true;
}

void TIdSocketHandle::Bind() {
  // rsOSDependent leaves the system's default, which is off.
  if (FReuseSocket != rsOSDependent) {
    SetSockOpt(SOL_SOCKET, SO_REUSEADDR, FReuseSocket == rsTrue ? 1 : 0);
  }
  if (FPort == 0 && FClientPortMin != 0 && FClientPortMax != 0) {
    if (FClientPortMax < FClientPortMin) {
      throw EIdInvalidPortRange(Format(RSInvalidPortRange, FClientPortMin, FClientPortMax));
    }
    for (int LPort = FClientPortMax; LPort >= FClientPortMin; --LPort) {
      if (TryBindPort(static_cast<TIdPort>(LPort))) return;
    }
    throw EIdCanNotBindPortInRange(Format(RSCannotBindRange, FClientPortMin, FClientPortMax));
  }
  GStack()->Bind(FHandle, FIP, FPort, FIPVersion);
  UpdateBindingLocal();
}

void TIdSocketHandle::Connect(int ATimeout, const TIdWakeSignal* ACancel) {
  // Unlocked: a close from another thread must not wait for a connect still under way.
  GStack()->Connect(FHandle, FPeerIP, FPeerPort, FIPVersion, ATimeout, ACancel);
  std::lock_guard<std::mutex> LGuard(FConnectionHandle);
  if (FHandleAllocated) {
    UpdateBindingLocal();
    try {
      UpdateBindingPeer();
    } catch (const EIdSocketError& E) {
      // The connect succeeded and the peer has already reset the connection: the address is
      // the one just connected to, and the first read reports the reset itself rather than
      // the connect a misleading "Socket is not connected.".
      if (E.LastError() != Id_WSAENOTCONN) throw;
    }
  }
}

void TIdSocketHandle::DisconnectHandle() {
  GStack()->Disconnect(FHandle);
}

void TIdSocketHandle::CloseSocket() {
  std::lock_guard<std::mutex> LGuard(FConnectionHandle);
  if (!FHandleAllocated) return;
  FHandleAllocated = false;
  if (FUsers > 0) {
    GStack()->ShutdownSocket(FHandle, SHUT_RDWR);
    FClosePending = FHandle;
  } else {
    DisconnectHandle();
  }
  AssignHandle(Id_INVALID_SOCKET);
}

TIdSocketHandle::TUse::TUse(TIdSocketHandle& AOwner) : FOwner(AOwner) {
  std::lock_guard<std::mutex> LGuard(FOwner.FConnectionHandle);
  FHandle = FOwner.FHandle;
  FHeld = FOwner.FHandleAllocated;
  if (FHeld) ++FOwner.FUsers;
}

TIdSocketHandle::TUse::~TUse() {
  std::lock_guard<std::mutex> LGuard(FOwner.FConnectionHandle);
  if (!FHeld) return;
  if (--FOwner.FUsers == 0 && FOwner.FClosePending != Id_INVALID_SOCKET)
    GStack()->Disconnect(std::exchange(FOwner.FClosePending, Id_INVALID_SOCKET));
}

int TIdSocketHandle::Receive(TIdBytes& VBuffer) {
  TUse LUse(*this);
  return GStack()->Receive(LUse.Handle(), VBuffer);
}

int TIdSocketHandle::Send(const TIdBytes& ABuffer, int AOffset, int ASize) {
  TUse LUse(*this);
  return GStack()->Send(LUse.Handle(), ABuffer, ASize, AOffset);
}

int TIdSocketHandle::Send(const std::string& AText, IIdTextEncoding AEncoding) {
  return Send(ToBytes(AText, AEncoding));
}

bool TIdSocketHandle::Readable(int AMSec) {
  if (AMSec == IdTimeoutDefault) AMSec = IdTimeoutInfinite;
  TUse LUse(*this);
  if (LUse.Handle() == Id_INVALID_SOCKET)
    throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
  return Select(AMSec);
}

bool TIdSocketHandle::Select(int ATimeout) {
  return FReadSocketList->SelectRead(ATimeout);
}

bool TIdSocketHandle::ReadableOrWoken(const TIdWakeSignal& AWake, int AMSec) {
  TUse LUse(*this);
  if (LUse.Handle() == Id_INVALID_SOCKET)
    throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
  return AWake.WaitReadable(LUse.Handle(), AMSec);
}

void TIdSocketHandle::Shutdown() {
  TUse LUse(*this);
  if (LUse.Handle() != Id_INVALID_SOCKET) GStack()->ShutdownSocket(LUse.Handle(), SHUT_RDWR);
}

void TIdSocketHandle::SetSendTimeout(int AMSec) {
  SetSockOpt(SOL_SOCKET, SO_SNDTIMEO, AMSec);
}

void TIdSocketHandle::SetReceiveTimeout(int AMSec) {
  SetSockOpt(SOL_SOCKET, SO_RCVTIMEO, AMSec);
}

void TIdSocketHandle::SetPeer(const std::string& AIP, TIdPort APort, TIdIPVersion AIPVersion) {
  FPeerIP = AIP;
  FPeerPort = APort;
  FIPVersion = AIPVersion;
}

void TIdSocketHandle::SetBinding(const std::string& AIP, TIdPort APort, TIdIPVersion AIPVersion) {
  FIP = AIP;
  FPort = APort;
  FIPVersion = AIPVersion;
}

void TIdSocketHandle::UpdateBindingLocal() {
  GStack()->GetSocketName(FHandle, FIP, FIPVersion, FPort);
}

void TIdSocketHandle::UpdateBindingPeer() {
  GStack()->GetPeerName(FHandle, FPeerIP, FIPVersion, FPeerPort);
}

void TIdSocketHandle::SetSockOpt(int ALevel, int AOptName, int AOptVal) {
  GStack()->SetSocketOption(FHandle, ALevel, AOptName, AOptVal);
}

void TIdSocketHandle::GetSockOpt(int ALevel, int AOptName, int& VOptVal) {
  GStack()->GetSocketOption(FHandle, ALevel, AOptName, VOptVal);
}

void TIdSocketHandle::SetNagleOpt(bool AEnabled) {
  if (FHandleAllocated && FSocketType == SOCK_STREAM) {
    SetSockOpt(IPPROTO_TCP, TCP_NODELAY, AEnabled ? 0 : 1);
  }
}

void TIdSocketHandle::SetKeepAliveValues(bool AEnabled, int ATimeMS, int AInterval) {
  GStack()->SetKeepAliveValues(FHandle, AEnabled, ATimeMS, AInterval);
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion AValue) {
  if (AValue == FIPVersion) return;
  if (FHandleAllocated) {
    throw EIdCannotSetIPVersionWhenConnected(RSCannotSetIPVersionWhenConnected);
  }
  FIPVersion = AValue;
}

void TIdSocketHandle::SetUseNagle(bool AValue) {
  if (AValue == FUseNagle) return;
  FUseNagle = AValue;
  SetNagleOpt(AValue);
}

void TIdSocketHandle::SetLingerState(int AValue) {
  FLingerState = AValue;
  GStack()->SetLingerState(AValue);
}
