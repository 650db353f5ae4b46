#include "transport/IdIOHandlerSocket.h"

#include <typeinfo>

#include "platform/SysUtils.h"
#include "transport/IdException.h"

const TIdIOHandlerClass TIdIOHandlerSocket::IdClass = {"TIdIOHandlerSocket", &TIdIOHandler::IdClass,
                                                       nullptr};

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  Destroying();
  DropTransparentProxy();
  FBinding.reset();
}

void TIdIOHandlerSocket::Open() {
  TIdIOHandler::Open();
  // A socket still held here would leak once the handle forgets it.
  FBinding->CloseSocket();
  FBinding->Reset(true);
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  if (!FHost.empty() && FPort > 0) ConnectToPeer();
}

void TIdIOHandlerSocket::Close() {
  if (FBinding) FBinding->CloseSocket();
  TIdIOHandler::Close();
}

bool TIdIOHandlerSocket::Connected() {
  return (BindingAllocated() && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

void TIdIOHandlerSocket::AfterAccept() {
  if (FBinding) FIPVersion = FBinding->IPVersion();
}

bool TIdIOHandlerSocket::WaitReadableOrWoken(const TIdWakeSignal& AWake) {
  // Without a socket the receive reports the end.
  if (HoldsApplicationBytes() || !BindingAllocated()) return true;
  return FBinding->ReadableOrWoken(AWake);
}

void TIdIOHandlerSocket::AbortAfterFailure() {
  FBinding->Shutdown();
}

int TIdIOHandlerSocket::CheckTransportResult(int AResult) {
  // With the socket known, a run-out send or receive time-out reads as 10060 and comes back.
  const TIdStackSocketHandle LSocket = FBinding ? FBinding->Handle() : Id_INVALID_SOCKET;
  return GStack()->CheckForSocketError(
      LSocket, AResult, {Id_WSAESHUTDOWN, Id_WSAECONNABORTED, Id_WSAECONNRESET, Id_WSAETIMEDOUT});
}

void TIdIOHandlerSocket::RaiseTransportError(int AErr) {
  GStack()->RaiseSocketError(AErr);
}

std::string TIdIOHandlerSocket::Destination() const {
  std::string LResult = FHost;
  if (FPort > 0 && FPort != FDefaultPort) LResult += ":" + IntToStr(FPort);
  return LResult;
}

void TIdIOHandlerSocket::SetDestination(const std::string& AValue) {
  const size_t LColon = AValue.rfind(':');
  if (LColon == std::string::npos) return;
  SetHost(AValue.substr(0, LColon));
  int LPort;
  SetPort(TryStrToInt(Trim(AValue.substr(LColon + 1, 255)), LPort) ? LPort : FDefaultPort);
}

void TIdIOHandlerSocket::SetReuseSocket(TIdReuseSocket AValue) {
  FReuseSocket = AValue;
  if (FBinding) FBinding->SetReuseSocket(AValue);
}

void TIdIOHandlerSocket::SetUseNagle(bool AValue) {
  FUseNagle = AValue;
  if (FBinding) FBinding->SetUseNagle(AValue);
}

void TIdIOHandlerSocket::SetLingerState(int AValue) {
  FLingerState = AValue;
  if (FBinding) FBinding->SetLingerState(AValue);
}

void TIdIOHandlerSocket::DropTransparentProxy() {
  TIdCustomTransparentProxy* LOld = FTransparentProxy;
  if (!LOld) return;
  FTransparentProxy = nullptr;
  if (FImplicitTransparentProxy) {
    FImplicitTransparentProxy = false;
    delete LOld;
  } else {
    RemoveFreeNotification(LOld);
  }
}

void TIdIOHandlerSocket::SetTransparentProxy(TIdCustomTransparentProxy* AValue) {
  if (AValue == FTransparentProxy) return;
  if (!AValue || AValue->Owner()) {
    DropTransparentProxy();
    FTransparentProxy = AValue;
    if (AValue) FreeNotification(AValue);
    return;
  }
  // Without an owner the value is a template: copy it into a proxy of its class that this
  // handler owns, so the caller keeps and frees its own object.
  if (FTransparentProxy &&
      (!FImplicitTransparentProxy || typeid(*FTransparentProxy) != typeid(*AValue))) {
    DropTransparentProxy();
  }
  if (!FTransparentProxy) {
    FTransparentProxy = AValue->CreateOfSameClass(this);
    FImplicitTransparentProxy = true;
  }
  FTransparentProxy->Assign(*AValue);
}

void TIdIOHandlerSocket::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == static_cast<TComponent*>(FTransparentProxy)) {
    FTransparentProxy = nullptr;
    FImplicitTransparentProxy = false;
  }
  TIdIOHandler::Notification(AComponent, Operation);
}

void TIdIOHandlerSocket::FireBeforeBind() {
  if (FOnBeforeBind) FOnBeforeBind(this);
}

void TIdIOHandlerSocket::FireAfterBind() {
  if (FOnAfterBind) FOnAfterBind(this);
}

void TIdIOHandlerSocket::FireSocketAllocated() {
  if (FOnSocketAllocated) FOnSocketAllocated(this);
}

TIdCustomTransparentProxy* TIdIOHandlerSocket::EnabledProxy() const {
  return FTransparentProxy && FTransparentProxy->Enabled() ? FTransparentProxy : nullptr;
}

TIdIPVersion TIdIOHandlerSocket::PeerIPVersion() const {
  const TIdCustomTransparentProxy* LProxy = EnabledProxy();
  return LProxy ? IPVersionOfHost(LProxy->Host(), LProxy->IPVersion())
                : IPVersionOfHost(FHost, FIPVersion);
}

void TIdIOHandlerSocket::ConnectToPeer() {
  FireBeforeBind();
  FBinding->SetIPVersion(PeerIPVersion());
  FBinding->AllocateSocket(Id_SOCK_STREAM, 0);
  FireSocketAllocated();
  if (!FBoundIP.empty()) FBinding->SetIP(FBoundIP);
  FBinding->SetPort(FBoundPort);
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  FBinding->SetReuseSocket(FReuseSocket);
  // With no local address, port or range asked for, the connect picks them itself: a bind to
  // port 0 first costs two calls and holds the port against every destination.
  if (!FBoundIP.empty() || FBoundPort != 0 || (FBoundPortMin != 0 && FBoundPortMax != 0)) {
    FBinding->Bind();
  }
  FBinding->SetUseNagle(FUseNagle);
  FBinding->SetLingerState(FLingerState);
  FireAfterBind();
}
