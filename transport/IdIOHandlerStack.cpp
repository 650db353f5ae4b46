#include "transport/IdIOHandlerStack.h"

#include "platform/SysUtils.h"
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
    LHost = GStack()->ResolveHost(LHost, LIPVersion, FConnectCancel);
  }
  FBinding->SetPeer(LHost, LPort, LIPVersion);
  if (OnStatus()) RaiseStatus(hsConnecting, {FBinding->PeerIP()});

  int LTimeout = IdTimeoutInfinite;
  if (const uint64_t LDeadline = ConnectDeadline(FOpenedAt)) {
    const uint64_t LNow = GetTickCount64();
    LTimeout = LNow >= LDeadline ? 1 : static_cast<int>(LDeadline - LNow);
  }
  try {
    FBinding->Connect(LTimeout, FConnectCancel);
  } catch (const EIdConnectTimeout&) {
    Close();  // nothing half-open stays behind a connect that ran out
    throw;
  }

  if (LProxy) {
    LProxy->Connect(this, FHost, static_cast<TIdPort>(FPort), IPVersionOfHost(FHost, FIPVersion));
  }
}
