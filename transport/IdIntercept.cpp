#include "transport/IdIntercept.h"

#include "platform/SysUtils.h"
#include "transport/IdException.h"

void TIdConnectionIntercept::Connect(TComponent* AConnection) {
  FConnection = AConnection;
  if (FOnConnect) FOnConnect(this);
  if (FIntercept) FIntercept->Connect(AConnection);
}

void TIdConnectionIntercept::Disconnect() {
  if (FIntercept) FIntercept->Disconnect();
  if (FOnDisconnect) FOnDisconnect(this);
  FConnection = nullptr;
}

void TIdConnectionIntercept::Receive(TIdBytes& VBuffer) {
  if (FIntercept) FIntercept->Receive(VBuffer);
  if (FOnReceive) FOnReceive(this, VBuffer);
}

void TIdConnectionIntercept::Send(TIdBytes& VBuffer) {
  if (FOnSend) FOnSend(this, VBuffer);
  if (FIntercept) FIntercept->Send(VBuffer);
}

void TIdConnectionIntercept::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  for (TIdConnectionIntercept* LLink = AValue; LLink; LLink = LLink->FIntercept) {
    if (LLink == this) throw EIdInterceptCircularLink(Format(RSInterceptCircularLink, ClassName()));
  }
  if (FIntercept) RemoveFreeNotification(FIntercept);
  FIntercept = AValue;
  if (FIntercept) FreeNotification(FIntercept);
}

void TIdConnectionIntercept::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == static_cast<TComponent*>(FIntercept)) {
    FIntercept = nullptr;
  }
  TIdBaseComponent::Notification(AComponent, Operation);
}
