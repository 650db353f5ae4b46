#include "transport/IdComponent.h"

#include "transport/IdStack.h"

namespace {
constexpr const char* CStatusTemplates[] = {
    "Resolving hostname %s.",
    "Connecting to %s.",
    "Connected.",
    "Disconnecting.",
    "Disconnected.",
    "%s",
    "%s",
    "%s",
    "%s",
};
}  // namespace

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) {
  TIdStack::IncUsage();
}

// The free-notification link to the work target is left to TComponent: the same link may
// also serve another role (a connection watches its I/O handler through it).
TIdComponent::~TIdComponent() {
  TIdStack::DecUsage();
}

std::string TIdComponent::StatusText(TIdStatus AStatus, const std::vector<std::string>& AArgs) {
  std::string LText = CStatusTemplates[AStatus];
  const size_t LPos = LText.find("%s");
  if (LPos != std::string::npos) LText.replace(LPos, 2, AArgs.empty() ? std::string() : AArgs[0]);
  return LText;
}

void TIdComponent::RaiseStatus(TIdStatus AStatus, const std::vector<std::string>& AArgs) {
  if (FOnStatus) FOnStatus(this, AStatus, StatusText(AStatus, AArgs));
}

void TIdComponent::BeginWork(TWorkMode AWorkMode, int64_t ASize) {
  if (FWorkTarget) {
    FWorkTarget->BeginWork(AWorkMode, ASize);
    return;
  }
  TWorkInfo& LInfo = FWorkInfos[AWorkMode];
  if (++LInfo.Level == 1) {
    LInfo.Max = ASize;
    LInfo.Count = 0;
    if (FOnWorkBegin) FOnWorkBegin(this, AWorkMode, ASize);
  }
}

void TIdComponent::DoWork(TWorkMode AWorkMode, int64_t ACount) {
  if (FWorkTarget) {
    FWorkTarget->DoWork(AWorkMode, ACount);
    return;
  }
  TWorkInfo& LInfo = FWorkInfos[AWorkMode];
  if (LInfo.Level > 0) {
    LInfo.Count += ACount;
    if (FOnWork) FOnWork(this, AWorkMode, LInfo.Count);
  }
}

void TIdComponent::EndWork(TWorkMode AWorkMode) {
  if (FWorkTarget) {
    FWorkTarget->EndWork(AWorkMode);
    return;
  }
  TWorkInfo& LInfo = FWorkInfos[AWorkMode];
  if (LInfo.Level == 1 && FOnWorkEnd) FOnWorkEnd(this, AWorkMode);
  if (LInfo.Level > 0) --LInfo.Level;
}

void TIdComponent::SetWorkTarget(TIdComponent* AValue) {
  if (FWorkTarget == AValue) return;
  if (FWorkTarget) RemoveFreeNotification(FWorkTarget);
  FWorkTarget = AValue;
  if (FWorkTarget) FreeNotification(FWorkTarget);
}

void TIdComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == static_cast<TComponent*>(FWorkTarget)) {
    FWorkTarget = nullptr;
  }
  TIdBaseComponent::Notification(AComponent, Operation);
}
