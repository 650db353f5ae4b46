#include "platform/Component.h"

#include <algorithm>

#include "platform/Exception.h"
#include "platform/SysUtils.h"

void TPersistent::Assign(const TPersistent& Source) {
  Source.AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& Dest) const {
  Dest.AssignError(this);
}

void TPersistent::AssignError(const TPersistent* Source) const {
  throw EConvertError(
      Format("Cannot assign a %s to a %s", Source ? Source->ClassName() : "nil", ClassName()));
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->Insert(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell everyone holding a reference; they may unlink themselves from our list meanwhile.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    Unlink(other->FFreeNotifies, this);
    other->Notification(this, opRemove);
  }
  while (!FComponents.empty()) delete FComponents.back();  // the child unlinks itself
  if (FOwner) FOwner->Remove(this);
}

TComponent* TComponent::Components(int aIndex) const {
  if (aIndex < 0 || aIndex >= ComponentCount()) ListIndexError(aIndex);
  return FComponents[static_cast<size_t>(aIndex)];
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  if (std::find(AComponent->FFreeNotifies.begin(), AComponent->FFreeNotifies.end(), this) ==
      AComponent->FFreeNotifies.end())
    AComponent->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  Unlink(FFreeNotifies, AComponent);
  Unlink(AComponent->FFreeNotifies, this);
}

void TComponent::Destroying() {
  FComponentState |= csDestroying;
}

void TComponent::SetDesigning(bool aValue) {
  if (aValue)
    FComponentState |= csDesigning;
  else
    FComponentState &= ~csDesigning;
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent) RemoveFreeNotification(AComponent);
}

void TComponent::Insert(TComponent* aChild) {
  FComponents.push_back(aChild);
  aChild->FOwner = this;
}

void TComponent::Remove(TComponent* aChild) {
  Unlink(FComponents, aChild);
  aChild->FOwner = nullptr;
  Notification(aChild, opRemove);  // an owner may keep plain references to its children
}

void TComponent::Unlink(std::vector<TComponent*>& aList, TComponent* aItem) {
  auto it = std::find(aList.begin(), aList.end(), aItem);
  if (it != aList.end()) aList.erase(it);
}
