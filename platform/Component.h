#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Objects whose settings can be copied from another object of a compatible class.
class TPersistent {
 public:
  virtual ~TPersistent() = default;
  // Copies Source's settings; an unsupported source raises EConvertError
  // "Cannot assign a <source class> to a <target class>".
  virtual void Assign(const TPersistent& Source);
  virtual const char* ClassName() const { return "TPersistent"; }

 protected:
  // Second chance for Assign: the source may know how to copy itself into Dest.
  virtual void AssignTo(TPersistent& Dest) const;
  [[noreturn]] void AssignError(const TPersistent* Source) const;
};

enum TComponentStateFlag : uint32_t {
  csLoading = 1u << 0,
  csReading = 1u << 1,
  csWriting = 1u << 2,
  csDestroying = 1u << 3,
  csDesigning = 1u << 4,
};
using TComponentState = uint32_t;

enum TOperation { opInsert, opRemove };

// Owner/children tree with free notifications. An owner deletes its children (newest
// first) when it is destroyed; deleting a child earlier unlinks it from its owner.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const char* ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& aName) { FName = aName; }
  TComponentState ComponentState() const { return FComponentState; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int aIndex) const;

  // AComponent will hear (Notification opRemove) when this component is destroyed, and
  // this one when AComponent is.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  // Loading from stored settings: Loading() marks the component, Loaded() ends it.
  void Loading() { FComponentState |= csLoading; }
  virtual void Loaded() { FComponentState &= ~csLoading; }
  // Derived destructors call this first, so that state reads true while they tear down.
  void Destroying();
  void SetDesigning(bool aValue);

 protected:
  virtual void Notification(TComponent* AComponent, TOperation Operation);

 private:
  void Insert(TComponent* aChild);
  void Remove(TComponent* aChild);
  static void Unlink(std::vector<TComponent*>& aList, TComponent* aItem);

  TComponent* FOwner = nullptr;
  std::string FName;
  TComponentState FComponentState = 0;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
};
