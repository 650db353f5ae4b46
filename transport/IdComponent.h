#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/IdBaseComponent.h"

enum TIdStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted
};

enum TWorkMode { wmRead, wmWrite };

class TIdComponent;
using TIdStatusEvent =
    std::function<void(TComponent* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent =
    std::function<void(TComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent =
    std::function<void(TComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TComponent* ASender, TWorkMode AWorkMode)>;
using TIdNotifyEvent = std::function<void(TComponent* ASender)>;

// Base of every transport component: status and progress events, and one usage of the
// process-wide socket stack for the component's lifetime.
class TIdComponent : public TIdBaseComponent {
 protected:
  // Made with New<T>(owner), so that the whole object exists before its set-up runs.
  explicit TIdComponent(TComponent* AOwner = nullptr);

 public:
  ~TIdComponent() override;
  const char* ClassName() const override { return "TIdComponent"; }

  // Formats the status's template with the first argument (surplus ones are ignored) and
  // raises OnStatus; nothing is formatted without a handler.
  void RaiseStatus(TIdStatus AStatus, const std::vector<std::string>& AArgs = {});
  static std::string StatusText(TIdStatus AStatus, const std::vector<std::string>& AArgs = {});

  virtual void BeginWork(TWorkMode AWorkMode, int64_t ASize = 0);
  virtual void DoWork(TWorkMode AWorkMode, int64_t ACount);
  virtual void EndWork(TWorkMode AWorkMode);

  const TIdStatusEvent& OnStatus() const { return FOnStatus; }
  void SetOnStatus(TIdStatusEvent AValue) { FOnStatus = std::move(AValue); }
  void SetOnWork(TWorkEvent AValue) { FOnWork = std::move(AValue); }
  void SetOnWorkBegin(TWorkBeginEvent AValue) { FOnWorkBegin = std::move(AValue); }
  void SetOnWorkEnd(TWorkEndEvent AValue) { FOnWorkEnd = std::move(AValue); }

  // When set, the three work calls go to it instead (watched for destruction).
  TIdComponent* WorkTarget() const { return FWorkTarget; }
  void SetWorkTarget(TIdComponent* AValue);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  struct TWorkInfo {
    int64_t Count = 0;
    int64_t Max = 0;
    int Level = 0;
  };

  TIdStatusEvent FOnStatus;
  TWorkEvent FOnWork;
  TWorkBeginEvent FOnWorkBegin;
  TWorkEndEvent FOnWorkEnd;
  TWorkInfo FWorkInfos[2];
  TIdComponent* FWorkTarget = nullptr;
};
