#pragma once
#include <atomic>

#include "transport/IdComponent.h"
#include "transport/IdIOHandler.h"
#include "transport/IdIOHandlerSocket.h"
#include "transport/IdIntercept.h"

// A connection that owns (or borrows) an I/O handler and hands it its intercept.
class TIdTCPConnection : public TIdComponent {
 protected:
  explicit TIdTCPConnection(TComponent* AOwner = nullptr) : TIdComponent(AOwner) {}

 public:
  ~TIdTCPConnection() override;
  const char* ClassName() const override { return "TIdTCPConnection"; }

  // False without a handler; the plain TCP handler polls the socket first.
  virtual bool Connected();
  void Disconnect() { Disconnect(true); }
  // Notifies the peer when asked (failures are swallowed), then closes an opened handler
  // with hsDisconnecting, OnDisconnected and hsDisconnected.
  virtual void Disconnect(bool ANotifyPeer);
  virtual void DisconnectNotifyPeer() {}
  virtual void CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected = true);
  // Adopts a managed handler of the most recently registered class descending from
  // ABaseType (the default class for nullptr).
  void CreateIOHandler(const TIdIOHandlerClass* ABaseType = nullptr);

  TIdIOHandler* IOHandler() const { return FIOHandler; }
  virtual void SetIOHandler(TIdIOHandler* AValue);
  // The handler's intercept when there is a handler.
  virtual TIdConnectionIntercept* Intercept() const;
  virtual void SetIntercept(TIdConnectionIntercept* AValue);
  bool ManagedIOHandler() const { return FManagedIOHandler; }
  void SetManagedIOHandler(bool AValue) { FManagedIOHandler = AValue; }
  TIdIOHandlerSocket* Socket() const { return FSocket; }
  void SetOnDisconnected(TIdNotifyEvent AValue) { FOnDisconnected = std::move(AValue); }

 protected:
  virtual void FireDisconnected();
  void Notification(TComponent* AComponent, TOperation Operation) override;

  TIdConnectionIntercept* FIntercept = nullptr;
  // Read by other threads (is a connection up?) while a connect sets it.
  std::atomic<TIdIOHandler*> FIOHandler{nullptr};
  bool FManagedIOHandler = false;
  TIdNotifyEvent FOnDisconnected;
  TIdIOHandlerSocket* FSocket = nullptr;
};
