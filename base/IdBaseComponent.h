#pragma once
#include "base/Constructed.h"
#include "platform/Component.h"

// Root of the socket-transport components. Descendants set their defaults in an override of
// InitComponentDefaults that calls the inherited one first; it runs exactly once, after the
// whole constructor chain, because these components are made with New<T>(AOwner) (see
// Constructed.h). Constructors stay protected so that is the only way to make one.
class TIdInitializerComponent : public TComponent {
 public:
  const char* ClassName() const override { return "TIdInitializerComponent"; }
  bool IsLoading() const { return (ComponentState() & csLoading) != 0; }
  bool IsDesigning() const { return (ComponentState() & csDesigning) != 0; }

 protected:
  explicit TIdInitializerComponent(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  virtual void InitComponentDefaults() {}

  // Run by TConstructed.
  void AfterConstruction() { InitComponentDefaults(); }
  void BeforeDestruction() { Destroying(); }
};

class TIdBaseComponent : public TIdInitializerComponent {
 public:
  const char* ClassName() const override { return "TIdBaseComponent"; }
  std::string Version() const { return "10.6.2.0"; }

 protected:
  explicit TIdBaseComponent(TComponent* AOwner = nullptr) : TIdInitializerComponent(AOwner) {}
};
