#include "transport/IdIntercept.h"

#include <algorithm>
#include <chrono>

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

void TIdConnectionIntercept::AwaitReceive() {
  if (FIntercept) FIntercept->AwaitReceive();
}

void TIdConnectionIntercept::SetPausesInterrupted(bool AValue) {
  for (TIdConnectionIntercept* LLink = this; LLink; LLink = LLink->FIntercept) {
    {
      std::lock_guard<std::mutex> LGuard(LLink->FPauseLock);
      LLink->FPausesInterrupted = AValue;
    }
    LLink->FPauseWake.notify_all();
  }
}

void TIdConnectionIntercept::SetPauseDeadline(uint64_t ATick) {
  for (TIdConnectionIntercept* LLink = this; LLink; LLink = LLink->FIntercept) {
    {
      std::lock_guard<std::mutex> LGuard(LLink->FPauseLock);
      LLink->FPauseDeadline = ATick;
    }
    LLink->FPauseWake.notify_all();
  }
}

uint64_t TIdConnectionIntercept::PauseDeadline() {
  std::lock_guard<std::mutex> LGuard(FPauseLock);
  return FPauseDeadline;
}

void TIdConnectionIntercept::PauseUntil(uint64_t AUntil) {
  std::unique_lock<std::mutex> LLock(FPauseLock);
  while (!FPausesInterrupted) {
    const uint64_t LEnd = FPauseDeadline ? std::min(AUntil, FPauseDeadline) : AUntil;
    const uint64_t LNow = GetTickCount64();
    if (LNow >= LEnd) return;
    FPauseWake.wait_for(LLock,
                        std::chrono::milliseconds(std::min<uint64_t>(LEnd - LNow, 1u << 30)));
  }
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
