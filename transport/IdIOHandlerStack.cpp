#include "transport/IdIOHandlerStack.h"

#include <sys/socket.h>

#include "transport/IdConnectThread.h"
#include "transport/IdException.h"

namespace {
TIdIOHandler* CreateStack(TComponent* AOwner) {
  return New<TIdIOHandlerStack>(AOwner);
}
}  // namespace

const TIdIOHandlerClass TIdIOHandlerStack::IdClass = {"TIdIOHandlerStack",
                                                      &TIdIOHandlerSocket::IdClass, &CreateStack};

int TIdIOHandlerStack::ReadFromTransport(TIdBytes& VBuffer) {
  return FBinding->Receive(VBuffer);
}

int TIdIOHandlerStack::WriteToTransport(const TIdBytes& ABuffer, int AOffset, int ALength) {
  return FBinding->Send(ABuffer, AOffset, ALength);
}

bool TIdIOHandlerStack::Readable(int AMSec) {
  return FBinding && FBinding->Readable(AMSec);
}

bool TIdIOHandlerStack::Connected() {
  FillInputBuffer(false, 0, false);
  return TIdIOHandlerSocket::Connected();
}

void TIdIOHandlerStack::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
  bool LLost;
  if (FClosedGracefully) {
    if (BindingAllocated()) {
      Close();
      RaiseStatus(hsDisconnected);
    }
    LLost = true;
  } else {
    LLost = !BindingAllocated();
  }
  if (LLost && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty())) {
    RaiseConnClosedGracefully();
  }
}

void TIdIOHandlerStack::ConnectToPeer() {
  TIdIOHandlerSocket::ConnectToPeer();

  TIdCustomTransparentProxy* LProxy = EnabledProxy();
  std::string LHost = LProxy ? LProxy->Host() : FHost;
  const TIdIPVersion LIPVersion = PeerIPVersion();
  const TIdPort LPort = LProxy ? LProxy->Port() : static_cast<TIdPort>(FPort);

  const bool LLiteral =
      LIPVersion == Id_IPv6 ? !CanonicalIPv6(LHost).empty() : GStack()->IsIP(LHost);
  if (!LLiteral) {
    if (OnStatus()) RaiseStatus(hsResolving, {LHost});
    LHost = GStack()->ResolveHost(LHost, LIPVersion);
  }
  FBinding->SetPeer(LHost, LPort, LIPVersion);
  if (OnStatus()) RaiseStatus(hsConnecting, {FBinding->PeerIP()});

  const int LTimeout =
      (FConnectTimeout == 0 || FConnectTimeout == -1) ? IdTimeoutInfinite : FConnectTimeout;
  if (LTimeout != IdTimeoutInfinite) {
    WaitForConnect(LTimeout);
  } else {
    FBinding->Connect();
  }

  if (LProxy) {
    LProxy->Connect(this, FHost, static_cast<TIdPort>(FPort), IPVersionOfHost(FHost, FIPVersion));
  }
}

void TIdIOHandlerStack::WaitForConnect(int ATimeout) {
  TIdConnectThread LThread(FBinding.get());
  if (!LThread.WaitFor(ATimeout)) {
    // Closing alone does not wake a blocked connect on Linux; a shutdown of the connecting
    // socket aborts it at once.
    if (BindingAllocated()) GStack()->ShutdownSocket(FBinding->Handle(), SHUT_RDWR);
    Close();
    LThread.WaitFor(-1);
    throw EIdConnectTimeout(RSConnectTimeout);
  }
  if (LThread.ExceptionOccured()) {
    if (std::exception_ptr LError = LThread.TakeConnectException()) std::rethrow_exception(LError);
    throw EIdConnectException("");
  }
}
