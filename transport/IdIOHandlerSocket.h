#pragma once
#include <memory>
#include <string>

#include "transport/IdCustomTransparentProxy.h"
#include "transport/IdIOHandler.h"
#include "transport/IdSocketHandle.h"

// An I/O handler whose transport is one socket: allocation, binding and connecting.
class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  static const TIdIOHandlerClass IdClass;

 protected:
  // The socket handle lives as long as the handler, so another thread may shut it down.
  explicit TIdIOHandlerSocket(TComponent* AOwner = nullptr)
      : TIdIOHandler(AOwner), FBinding(std::make_unique<TIdSocketHandle>()) {}

 public:
  ~TIdIOHandlerSocket() override;
  const char* ClassName() const override { return "TIdIOHandlerSocket"; }
  const TIdIOHandlerClass* ClassType() const override { return &IdClass; }

  // Resets (or creates) the socket handle and, with Host and Port set, connects.
  void Open() override;
  // Closes the socket first; bytes already received stay in InputBuffer.
  void Close() override;
  bool Connected() override;
  void AfterAccept() override;
  bool TransportAvailable() override { return BindingAllocated(); }
  bool WaitReadableOrWoken(const TIdWakeSignal& AWake) override;
  // Shuts the socket down in both directions.
  void AbortAfterFailure() override;
  int CheckTransportResult(int AResult) override;
  [[noreturn]] void RaiseTransportError(int AErr) override;
  // "host:port"; the port part is left out when it is 0 or DefaultPort.
  std::string Destination() const override;
  // Splits at the last ":"; a port that does not convert becomes DefaultPort.
  void SetDestination(const std::string& AValue) override;

  bool BindingAllocated() const { return FBinding && FBinding->HandleAllocated(); }
  TIdSocketHandle* Binding() const { return FBinding.get(); }

  const std::string& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const std::string& AValue) { FBoundIP = AValue; }
  TIdPort BoundPort() const { return FBoundPort; }
  void SetBoundPort(TIdPort AValue) { FBoundPort = AValue; }
  TIdPort BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(TIdPort AValue) { FBoundPortMin = AValue; }
  TIdPort BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(TIdPort AValue) { FBoundPortMax = AValue; }
  int DefaultPort() const { return FDefaultPort; }
  void SetDefaultPort(int AValue) { FDefaultPort = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
  // ReuseSocket and UseNagle read the socket's value while there is a socket.
  TIdReuseSocket ReuseSocket() const {
    return BindingAllocated() ? FBinding->ReuseSocket() : FReuseSocket;
  }
  void SetReuseSocket(TIdReuseSocket AValue);
  bool UseNagle() const { return BindingAllocated() ? FBinding->UseNagle() : FUseNagle; }
  void SetUseNagle(bool AValue);
  int LingerState() const { return FLingerState; }
  void SetLingerState(int AValue);

  // Nil when none is set. An owned proxy is freed with the handler; a proxy given without
  // an owner is copied into one of the same class that the handler owns.
  TIdCustomTransparentProxy* TransparentProxy() const { return FTransparentProxy; }
  virtual void SetTransparentProxy(TIdCustomTransparentProxy* AValue);

  void SetOnBeforeBind(TIdNotifyEvent AValue) { FOnBeforeBind = std::move(AValue); }
  void SetOnAfterBind(TIdNotifyEvent AValue) { FOnAfterBind = std::move(AValue); }
  void SetOnSocketAllocated(TIdNotifyEvent AValue) { FOnSocketAllocated = std::move(AValue); }
  const TIdNotifyEvent& OnBeforeBind() const { return FOnBeforeBind; }
  const TIdNotifyEvent& OnAfterBind() const { return FOnAfterBind; }
  const TIdNotifyEvent& OnSocketAllocated() const { return FOnSocketAllocated; }

 protected:
  // Allocates and binds the socket; descendants then connect it.
  virtual void ConnectToPeer();
  // The transparent proxy when one is set and enabled, else nil.
  TIdCustomTransparentProxy* EnabledProxy() const;
  // The family of the socket's peer (the enabled proxy, else Host): an address literal leaves
  // no doubt about it whatever IPVersion says; a name is resolved in IPVersion.
  TIdIPVersion PeerIPVersion() const;
  virtual void FireBeforeBind();
  virtual void FireAfterBind();
  virtual void FireSocketAllocated();
  void Notification(TComponent* AComponent, TOperation Operation) override;

  std::unique_ptr<TIdSocketHandle> FBinding;
  std::string FBoundIP;
  TIdPort FBoundPort = 0;
  TIdPort FBoundPortMin = 0;
  TIdPort FBoundPortMax = 0;
  int FDefaultPort = 0;
  TIdNotifyEvent FOnBeforeBind;
  TIdNotifyEvent FOnAfterBind;
  TIdNotifyEvent FOnSocketAllocated;
  TIdCustomTransparentProxy* FTransparentProxy = nullptr;
  bool FImplicitTransparentProxy = false;
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  TIdIPVersion FIPVersion = Id_IPv4;
  int FLingerState = -1;

 private:
  void DropTransparentProxy();
};
