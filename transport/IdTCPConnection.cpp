#include "transport/IdTCPConnection.h"

#include "transport/IdException.h"

TIdTCPConnection::~TIdTCPConnection() {
  Destroying();
  SetIOHandler(nullptr);
}

bool TIdTCPConnection::Connected() {
  return FIOHandler && FIOHandler.load()->Connected();
}

void TIdTCPConnection::Disconnect(bool ANotifyPeer) {
  if (ANotifyPeer) {
    try {
      if (Connected()) DisconnectNotifyPeer();
    } catch (const std::exception&) {
      // The peer may be gone already; closing goes ahead regardless.
    }
  }
  if (FIOHandler && FIOHandler.load()->Opened()) {
    RaiseStatus(hsDisconnecting);
    FIOHandler.load()->Close();
    FireDisconnected();
    RaiseStatus(hsDisconnected);
  }
}

void TIdTCPConnection::FireDisconnected() {
  if (FOnDisconnected) FOnDisconnected(this);
}

void TIdTCPConnection::CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected) {
  if (FIOHandler) {
    FIOHandler.load()->CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  } else if (ARaiseExceptionIfDisconnected) {
    throw EIdException(RSNotConnected);
  }
}

void TIdTCPConnection::CreateIOHandler(const TIdIOHandlerClass* ABaseType) {
  if (Connected()) throw EIdException(RSIOHandlerCannotChange);
  TIdIOHandler* LHandler = ABaseType ? TIdIOHandler::MakeIOHandler(ABaseType, this)
                                     : TIdIOHandler::MakeDefaultIOHandler(this);
  SetIOHandler(LHandler);
  FManagedIOHandler = true;
}

TIdConnectionIntercept* TIdTCPConnection::Intercept() const {
  return FIOHandler ? FIOHandler.load()->Intercept() : FIntercept;
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (AValue && FIOHandler && FIOHandler.load()->Intercept() &&
      FIOHandler.load()->Intercept() != AValue) {
    throw EIdException(RSInterceptIsDifferent);
  }
  if (FIntercept) RemoveFreeNotification(FIntercept);
  FIntercept = AValue;
  if (FIntercept) FreeNotification(FIntercept);
  if (FIOHandler) FIOHandler.load()->SetIntercept(AValue);
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
  if (AValue == FIOHandler) return;
  if (AValue && FIntercept && AValue->Intercept() && AValue->Intercept() != FIntercept) {
    throw EIdException(RSInterceptIsDifferent);
  }
  TIdIOHandler* LOld = FIOHandler;
  FIOHandler = nullptr;
  FSocket = nullptr;
  if (FManagedIOHandler) {
    FManagedIOHandler = false;
    delete LOld;
  } else if (LOld) {
    LOld->SetWorkTarget(nullptr);
    RemoveFreeNotification(LOld);
  }
  if (AValue) {
    FreeNotification(AValue);
    AValue->SetWorkTarget(this);
    if (FIntercept) AValue->SetIntercept(FIntercept);
    FSocket = dynamic_cast<TIdIOHandlerSocket*>(AValue);
  }
  FIOHandler = AValue;
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == static_cast<TComponent*>(FIntercept)) FIntercept = nullptr;
    if (AComponent == static_cast<TComponent*>(FIOHandler)) {
      FIOHandler = nullptr;
      FSocket = nullptr;
      FManagedIOHandler = false;
    }
  }
  TIdComponent::Notification(AComponent, Operation);
}
