#include "transport/IdTCPClient.h"

#include "transport/IdException.h"
#include "transport/IdWakeSignal.h"

void TIdTCPClientCustom::Connect(const std::string& AHost) {
  SetHost(AHost);
  Connect();
}

void TIdTCPClientCustom::Connect(const std::string& AHost, TIdPort APort) {
  SetHost(AHost);
  SetPort(APort);
  Connect();
}

TIdIOHandler* TIdTCPClientCustom::CreateDefaultHandler() {
  return TIdIOHandler::MakeDefaultIOHandler(this);
}

void TIdTCPClientCustom::Connect() {
  if (Connected()) throw EIdAlreadyConnected(RSAlreadyConnected);
  if (FHost.empty()) throw EIdHostRequired(RSHostRequired);
  if (FPort == 0) throw EIdPortRequired(RSPortRequired);
  if (!FIOHandler) {
    TIdIOHandler* LHandler = CreateDefaultHandler();
    SetIOHandler(LHandler);
    FManagedIOHandler = true;
    LHandler->SetOnStatus(OnStatus());
  }
  try {
    if (!FDestination.empty()) FIOHandler.load()->SetDestination(FDestination);
    FIOHandler.load()->SetPort(FPort);
    FIOHandler.load()->SetHost(FHost);
    FIOHandler.load()->SetConnectTimeout(FConnectTimeout);
    FIOHandler.load()->SetReadTimeout(FReadTimeout);
    CopySocketSettings();
    FIOHandler.load()->Open();
    if (FIOHandler.load()->Intercept()) FIOHandler.load()->Intercept()->Connect(this);
    // A cancel that came after the last wait still ends the connect before anybody hears of it.
    const TIdWakeSignal* LCancel = FIOHandler.load()->ConnectCancel();
    if (LCancel && LCancel->Raised()) throw EIdConnectCancelled(RSConnectCancelled);
    RaiseStatus(hsConnected, {FHost});
    FireConnected();
  } catch (...) {
    if (FIOHandler) {
      try {
        FIOHandler.load()->Close();
      } catch (const std::exception&) {
        // The connect failure is the one the caller must see.
      }
      if (FManagedIOHandler) SetIOHandler(nullptr);
    }
    throw;
  }
}

void TIdTCPClientCustom::CopySocketSettings() {
  if (!FSocket) return;
  FSocket->SetBoundIP(FBoundIP);
  FSocket->SetBoundPort(FBoundPort);
  FSocket->SetBoundPortMin(FBoundPortMin);
  FSocket->SetBoundPortMax(FBoundPortMax);
  FSocket->SetIPVersion(FIPVersion);
  FSocket->SetReuseSocket(FReuseSocket);
  FSocket->SetUseNagle(FUseNagle);
  FSocket->SetLingerState(FLingerState);
  FSocket->SetOnBeforeBind(FOnBeforeBind);
  FSocket->SetOnAfterBind(FOnAfterBind);
  FSocket->SetOnSocketAllocated(FOnSocketAllocated);
}

void TIdTCPClientCustom::SetIOHandler(TIdIOHandler* AValue) {
  TIdTCPConnection::SetIOHandler(AValue);
  if (!FIOHandler) return;
  FIOHandler.load()->SetPort(FPort);
  FIOHandler.load()->SetHost(FHost);
  FIOHandler.load()->SetConnectTimeout(FConnectTimeout);
  FIOHandler.load()->SetReadTimeout(FReadTimeout);
  CopySocketSettings();
}

void TIdTCPClientCustom::FireConnected() {
  if (FOnConnected) FOnConnected(this);
}

void TIdTCPClientCustom::SetHost(const std::string& AValue) {
  FHost = AValue;
  if (FIOHandler) FIOHandler.load()->SetHost(AValue);
}

void TIdTCPClientCustom::SetPort(TIdPort AValue) {
  FPort = AValue;
  if (FIOHandler) FIOHandler.load()->SetPort(AValue);
}

void TIdTCPClientCustom::SetIPVersion(TIdIPVersion AValue) {
  FIPVersion = AValue;
  if (FSocket) FSocket->SetIPVersion(AValue);
}

void TIdTCPClientCustom::SetConnectTimeout(int AValue) {
  FConnectTimeout = AValue;
  if (FIOHandler) FIOHandler.load()->SetConnectTimeout(AValue);
}

int TIdTCPClientCustom::ReadTimeout() const {
  return FIOHandler ? FIOHandler.load()->ReadTimeout() : FReadTimeout;
}

void TIdTCPClientCustom::SetReadTimeout(int AValue) {
  FReadTimeout = AValue;
  if (FIOHandler) FIOHandler.load()->SetReadTimeout(AValue);
}

void TIdTCPClientCustom::SetBoundIP(const std::string& AValue) {
  FBoundIP = AValue;
  if (FSocket) FSocket->SetBoundIP(AValue);
}

void TIdTCPClientCustom::SetBoundPort(TIdPort AValue) {
  FBoundPort = AValue;
  if (FSocket) FSocket->SetBoundPort(AValue);
}

void TIdTCPClientCustom::SetBoundPortMin(TIdPort AValue) {
  FBoundPortMin = AValue;
  if (FSocket) FSocket->SetBoundPortMin(AValue);
}

void TIdTCPClientCustom::SetBoundPortMax(TIdPort AValue) {
  FBoundPortMax = AValue;
  if (FSocket) FSocket->SetBoundPortMax(AValue);
}

TIdReuseSocket TIdTCPClientCustom::ReuseSocket() const {
  return FSocket ? FSocket->ReuseSocket() : FReuseSocket;
}

void TIdTCPClientCustom::SetReuseSocket(TIdReuseSocket AValue) {
  FReuseSocket = AValue;
  if (FSocket) FSocket->SetReuseSocket(AValue);
}

bool TIdTCPClientCustom::UseNagle() const {
  return FSocket ? FSocket->UseNagle() : FUseNagle;
}

void TIdTCPClientCustom::SetUseNagle(bool AValue) {
  FUseNagle = AValue;
  if (FSocket) FSocket->SetUseNagle(AValue);
}

void TIdTCPClientCustom::SetLingerState(int AValue) {
  FLingerState = AValue;
  if (FSocket) FSocket->SetLingerState(AValue);
}

void TIdTCPClientCustom::SetOnBeforeBind(TIdNotifyEvent AValue) {
  FOnBeforeBind = std::move(AValue);
  if (FSocket) FSocket->SetOnBeforeBind(FOnBeforeBind);
}

void TIdTCPClientCustom::SetOnAfterBind(TIdNotifyEvent AValue) {
  FOnAfterBind = std::move(AValue);
  if (FSocket) FSocket->SetOnAfterBind(FOnAfterBind);
}

void TIdTCPClientCustom::SetOnSocketAllocated(TIdNotifyEvent AValue) {
  FOnSocketAllocated = std::move(AValue);
  if (FSocket) FSocket->SetOnSocketAllocated(FOnSocketAllocated);
}
