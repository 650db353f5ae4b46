#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

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
  // Before each read from the transport, after the chain's inner ones: a pacing intercept
  // (the throttler) lets the connection rest here, so a block reaches the input buffer first.
  virtual void AwaitReceive();

  // For the pacing waits of the whole chain. While interrupted (a stop of the reading
  // thread) every wait ends at once; a deadline (steady-clock ms, 0 for none) ends them then.
  void SetPausesInterrupted(bool AValue);
  void SetPauseDeadline(uint64_t ATick);
  uint64_t PauseDeadline();

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
  // Waits until the steady-clock tick AUntil, or less: see SetPausesInterrupted.
  void PauseUntil(uint64_t AUntil);

 private:
  TComponent* FConnection = nullptr;
  TIdConnectionIntercept* FIntercept = nullptr;
  bool FIsClient = true;
  void* FData = nullptr;
  TIdInterceptNotifyEvent FOnConnect;
  TIdInterceptNotifyEvent FOnDisconnect;
  TIdInterceptStreamEvent FOnReceive;
  TIdInterceptStreamEvent FOnSend;
  std::mutex FPauseLock;
  std::condition_variable FPauseWake;
  bool FPausesInterrupted = false;
  uint64_t FPauseDeadline = 0;
};
