#include "transport/IdCustomTransparentProxy.h"

#include "platform/SysUtils.h"

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
