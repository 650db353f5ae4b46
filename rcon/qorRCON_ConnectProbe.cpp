#include "rcon/qorRCON_ConnectProbe.h"

#include <atomic>

#include "transport/IdConnectProbe.h"

// Shared by the probe and its thread; the last of the two frees it.
struct TqorRCON_ConnectProbe::TState {
  std::atomic<TResult> Result{prWaiting};
  TIdWakeSignal Cancel;
};

TqorRCON_ConnectProbe::TqorRCON_ConnectProbe(const std::string& aHost, int aPort, int aTimeoutMs)
    : FState(std::make_shared<TState>()), FThread(Run, FState, aHost, aPort, aTimeoutMs) {}

// Not joined: a thread in getaddrinfo cannot be interrupted, and one in its wait wakes at the
// cancel and ends by itself; either way the window must not wait for it.
TqorRCON_ConnectProbe::~TqorRCON_ConnectProbe() {
  FState->Cancel.Raise();
  FThread.detach();
}

TqorRCON_ConnectProbe::TResult TqorRCON_ConnectProbe::Result() const {
  return FState->Result;
}

void TqorRCON_ConnectProbe::Run(std::shared_ptr<TState> aState, std::string aHost, int aPort,
                                int aTimeoutMs) {
  aState->Result =
      IdProbeConnect(aHost, aPort, aTimeoutMs, aState->Cancel) ? prAnswered : prTimedOut;
}
