#include "transport/IdCustomTransparentProxy.h"

#include <algorithm>

#include "platform/SysUtils.h"
#include "transport/IdIOHandler.h"

namespace {

// Waits for more input within the handshake's bound; raises at the bound or when the peer
// has gone.
void FillHandshakeInput(TIdIOHandler* AIOHandler) {
  const uint64_t LDeadline = AIOHandler->ConnectDeadline(AIOHandler->OpenedAt());
  int LWait = IdTimeoutDefault;
  if (LDeadline != 0) {
    const int64_t LLeft = static_cast<int64_t>(LDeadline) - static_cast<int64_t>(GetTickCount64());
    if (LLeft <= 0) throw EIdConnectTimeout(RSConnectTimeout);
    LWait = static_cast<int>(LLeft);
  }
  const int LSize = AIOHandler->InputBuffer()->Size();
  const int LResult = AIOHandler->FillInputBuffer(false, LWait, LDeadline == 0);
  if (LResult == -1) throw EIdConnectTimeout(RSConnectTimeout);
  if (LResult <= 0 || AIOHandler->InputBuffer()->Size() == LSize) {
    AIOHandler->CheckForDisconnect(true, true);
  }
}

// While the handshakes run, the intercepts' pacing waits (a throttler's) end at the connect's
// deadline too: they spend the same time.
class TPauseBound {
 public:
  explicit TPauseBound(TIdIOHandler* AIOHandler) {
    FIntercept = AIOHandler && AIOHandler->ConnectTimeout() > 0 ? AIOHandler->Intercept() : nullptr;
    if (!FIntercept) return;
    FPrevious = FIntercept->PauseDeadline();
    FIntercept->SetPauseDeadline(AIOHandler->OpenedAt() +
                                 static_cast<uint64_t>(AIOHandler->ConnectTimeout()));
  }
  ~TPauseBound() {
    if (FIntercept) FIntercept->SetPauseDeadline(FPrevious);
  }
  TPauseBound(const TPauseBound&) = delete;
  TPauseBound& operator=(const TPauseBound&) = delete;

 private:
  TIdConnectionIntercept* FIntercept;
  uint64_t FPrevious = 0;
};

}  // namespace

void TIdCustomTransparentProxy::ReadHandshakeBytes(TIdIOHandler* AIOHandler, TIdBytes& VBuffer,
                                                   int ACount) {
  while (AIOHandler->InputBuffer()->Size() < ACount) FillHandshakeInput(AIOHandler);
  AIOHandler->InputBuffer()->ExtractToBytes(VBuffer, ACount, false);
}

bool TIdCustomTransparentProxy::ReadHandshakeLine(TIdIOHandler* AIOHandler, std::string& VLine,
                                                  int AMaxLength) {
  int LFrom = 0;
  for (;;) {
    TIdBuffer* LBuffer = AIOHandler->InputBuffer();
    const int LFound = LBuffer->Size() > LFrom ? LBuffer->IndexOf(uint8_t('\n'), LFrom) : -1;
    if (LFound >= 0) {
      int LLength = LFound;
      if (LLength > 0 && LBuffer->PeekByte(LLength - 1) == '\r') --LLength;
      if (LLength > AMaxLength) return false;
      VLine =
          AIOHandler->DefStringEncoding()->GetString(LBuffer->Data(), static_cast<size_t>(LLength));
      LBuffer->Remove(LFound + 1);
      return true;
    }
    // One byte of slack: a CR that the LF still to come would strip.
    if (LBuffer->Size() > AMaxLength + 1) return false;
    LFrom = LBuffer->Size();
    FillHandshakeInput(AIOHandler);
  }
}

void TIdCustomTransparentProxy::DiscardHandshakeBytes(TIdIOHandler* AIOHandler, int64_t ACount) {
  TIdBuffer* LBuffer = AIOHandler->InputBuffer();
  while (ACount > 0) {
    if (LBuffer->Size() == 0) FillHandshakeInput(AIOHandler);
    const int LTake = static_cast<int>(std::min<int64_t>(ACount, LBuffer->Size()));
    LBuffer->Remove(LTake);
    ACount -= LTake;
  }
}

void TIdCustomTransparentProxy::Assign(const TPersistent& ASource) {
  const auto* LSource = dynamic_cast<const TIdCustomTransparentProxy*>(&ASource);
  if (!LSource) {
    TIdComponent::Assign(ASource);
    return;
  }
  FHost = LSource->FHost;
  FPassword = LSource->FPassword;
  FPort = LSource->FPort;
  FIPVersion = LSource->FIPVersion;
  FUsername = LSource->FUsername;
}

void TIdCustomTransparentProxy::Connect(TIdIOHandler* AIOHandler, const std::string& AHost,
                                        TIdPort APort, TIdIPVersion AIPVersion) {
  const TPauseBound LBound(AIOHandler);
  if (FChainedProxy && FChainedProxy->Enabled()) {
    OpenTunnel(AIOHandler, FChainedProxy->Host(), FChainedProxy->Port(), Id_IPv4);
    FChainedProxy->Connect(AIOHandler, AHost, APort, AIPVersion);
  } else {
    OpenTunnel(AIOHandler, AHost, APort, AIPVersion);
  }
}

void TIdCustomTransparentProxy::Bind(TIdIOHandler*, const std::string&, TIdPort, TIdIPVersion) {
  throw EIdTransparentProxyCantBind(RSTransparentProxyCannotBind);
}

bool TIdCustomTransparentProxy::Listen(TIdIOHandler*, int) {
  throw EIdTransparentProxyCantBind(RSTransparentProxyCannotBind);
}

void TIdCustomTransparentProxy::OpenUDP(TIdSocketHandle*, const std::string&, TIdPort,
                                        TIdIPVersion) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}

void TIdCustomTransparentProxy::CloseUDP(TIdSocketHandle*) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}

int TIdCustomTransparentProxy::RecvFromUDP(TIdSocketHandle*, TIdBytes&, std::string&, TIdPort&,
                                           TIdIPVersion&, int) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}

void TIdCustomTransparentProxy::SendToUDP(TIdSocketHandle*, const std::string&, TIdPort,
                                          TIdIPVersion, const TIdBytes&) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy* AValue) {
  if (AValue == FChainedProxy) return;
  for (TIdCustomTransparentProxy* LLink = AValue; LLink; LLink = LLink->FChainedProxy) {
    if (LLink == this) {
      throw EIdTransparentProxyCircularLink(Format(RSInterceptCircularLink, ClassName()));
    }
  }
  if (FChainedProxy) RemoveFreeNotification(FChainedProxy);
  FChainedProxy = AValue;
  if (FChainedProxy) FreeNotification(FChainedProxy);
}

void TIdCustomTransparentProxy::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == static_cast<TComponent*>(FChainedProxy)) {
    FChainedProxy = nullptr;
  }
  TIdComponent::Notification(AComponent, Operation);
}
