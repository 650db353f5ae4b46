#pragma once
#include <functional>

#include "base/IdBaseComponent.h"
#include "transport/IdGlobal.h"

class TIdConnectionIntercept;
using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
// The handler may replace the bytes.
using TIdInterceptStreamEvent =
    std::function<void(TIdConnectionIntercept* ASender, TIdBytes& ABuffer)>;

// Sees every block a connection sends and receives, and its connect and disconnect.
// Intercepts chain: outgoing bytes pass from the outermost inward, incoming ones from the
// innermost outward.
class TIdConnectionIntercept : public TIdBaseComponent {
 protected:
  explicit TIdConnectionIntercept(TComponent* AOwner = nullptr) : TIdBaseComponent(AOwner) {}

 public:
  const char* ClassName() const override { return "TIdConnectionIntercept"; }

  virtual void Connect(TComponent* AConnection);
  virtual void Disconnect();
  virtual void Receive(TIdBytes& VBuffer);
  virtual void Send(TIdBytes& VBuffer);

  TComponent* Connection() const { return FConnection; }
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  // Raises EIdInterceptCircularLink, changing nothing, when this intercept is in AValue's chain.
  void SetIntercept(TIdConnectionIntercept* AValue);
  bool IsClient() const { return FIsClient; }
  void SetIsClient(bool AValue) { FIsClient = AValue; }
  void* Data() const { return FData; }
  void SetData(void* AValue) { FData = AValue; }

  void SetOnConnect(TIdInterceptNotifyEvent AValue) { FOnConnect = std::move(AValue); }
  void SetOnDisconnect(TIdInterceptNotifyEvent AValue) { FOnDisconnect = std::move(AValue); }
  void SetOnReceive(TIdInterceptStreamEvent AValue) { FOnReceive = std::move(AValue); }
  void SetOnSend(TIdInterceptStreamEvent AValue) { FOnSend = std::move(AValue); }

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TComponent* FConnection = nullptr;
  TIdConnectionIntercept* FIntercept = nullptr;
  bool FIsClient = true;
  void* FData = nullptr;
  TIdInterceptNotifyEvent FOnConnect;
  TIdInterceptNotifyEvent FOnDisconnect;
  TIdInterceptStreamEvent FOnReceive;
  TIdInterceptStreamEvent FOnSend;
};
