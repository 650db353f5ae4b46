#include "tcp_client/qorTCP_ConnectionState.h"

#include <algorithm>

#include "tcp_client/qorTCP_ReadThread.h"

TqorTCPState TqorTCPConnectionState::State() const {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FState;
}

bool TqorTCPConnectionState::Stands() const {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FState == tcpsConnected && !FConnection->MustDisconnect();
}

TqorTCPConnectionClient* TqorTCPConnectionState::Connection() const {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FConnection;
}

bool TqorTCPConnectionState::BeginConnect() {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (FState != tcpsIdle) return false;
  FState = tcpsConnecting;
  return true;
}

void TqorTCPConnectionState::SetConnected(TqorTCPConnectionClient* aConnection) {
  std::lock_guard<std::mutex> LGuard(FLock);
  FState = tcpsConnected;
  FConnection = aConnection;
}

void TqorTCPConnectionState::EndConnect() {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (FState == tcpsConnecting) FState = tcpsIdle;
}

bool TqorTCPConnectionState::BeginClose(TqorTCPConnectionClient* aConnection) {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (!aConnection || FState != tcpsConnected || FConnection != aConnection) return false;
  FState = tcpsClosing;
  aConnection->SetMustDisconnect(true);
  return true;
}

void TqorTCPConnectionState::MarkFailed(TqorTCPConnectionClient* aConnection) {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (aConnection) aConnection->SetMustDisconnect(true);
}

void TqorTCPConnectionState::EndClose(TqorTCPConnectionClient* aConnection) {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (FState != tcpsClosing || FConnection != aConnection) return;
  FState = tcpsIdle;
  FConnection = nullptr;
}

TqorTCPConnectionClient* TqorTCPConnectionState::Reset() {
  std::lock_guard<std::mutex> LGuard(FLock);
  FState = tcpsIdle;
  return std::exchange(FConnection, nullptr);
}

TqorTCPConnectionState::TLease::TLease(TqorTCPConnectionState& aOwner,
                                       const TqorIdTCPClient* aReader)
    : FOwner(aOwner) {
  std::lock_guard<std::mutex> LGuard(FOwner.FLock);
  FConnection = FOwner.FState == tcpsConnected ? FOwner.FConnection : nullptr;
  if (FConnection && aReader && FConnection->TCPConnection() != aReader) FConnection = nullptr;
  if (FConnection) ++FOwner.FUses[FConnection].Leases;
}

TqorTCPConnectionState::TLease::~TLease() {
  if (!FConnection) return;
  bool LFree = false;
  {
    std::lock_guard<std::mutex> LGuard(FOwner.FLock);
    auto LUse = FOwner.FUses.find(FConnection);
    if (--LUse->second.Leases == 0) {
      LFree = LUse->second.Released;
      FOwner.FUses.erase(LUse);
    }
  }
  if (LFree) FOwner.FFree(FConnection);
}

bool TqorTCPConnectionState::ReleaseWhenUnused(TqorTCPConnectionClient* aConnection) {
  std::lock_guard<std::mutex> LGuard(FLock);
  auto LUse = FUses.find(aConnection);
  if (LUse == FUses.end()) return true;
  LUse->second.Released = true;
  return false;
}

bool TqorTCPConnectionState::HeldForReport() const {
  return std::any_of(FQueue.begin(), FQueue.end(), [](const TQueued& q) { return q.ForReport; });
}

TqorTCPRequestRoute TqorTCPConnectionState::Request(bool aValue, bool aInReport) {
  const std::thread::id LSelf = std::this_thread::get_id();
  std::lock_guard<std::mutex> LGuard(FLock);
  // A plain deactivation during a report goes ahead; one after a held reconnect keeps its
  // order.
  if (aInReport && (aValue || HeldForReport())) {
    if (!HeldForReport()) FHeldAt = FRequests;
    FQueue.push_back({aValue, true});
    FHeldOnReporter = FReporter == LSelf;
    return rrQueued;
  }
  ++FRequests;  // later than any request held meanwhile, which it therefore overrides
  if (FRunning == LSelf) {
    FQueue.push_back({aValue, false});
    return rrQueued;
  }
  if (FRunning != std::thread::id()) return rrAlongside;
  FRunning = LSelf;
  return rrRun;
}

bool TqorTCPConnectionState::NextQueued(bool& aValue) {
  std::lock_guard<std::mutex> LGuard(FLock);
  auto LNext =
      std::find_if(FQueue.begin(), FQueue.end(), [](const TQueued& q) { return !q.ForReport; });
  if (LNext == FQueue.end()) {
    FRunning = std::thread::id();
    return false;
  }
  aValue = LNext->Value;
  FQueue.erase(LNext);
  return true;
}

void TqorTCPConnectionState::EndRequests() {
  std::lock_guard<std::mutex> LGuard(FLock);
  std::erase_if(FQueue, [](const TQueued& q) { return !q.ForReport; });
  FRunning = std::thread::id();
}

bool TqorTCPConnectionState::BeginReport() {
  const std::thread::id LSelf = std::this_thread::get_id();
  std::lock_guard<std::mutex> LGuard(FLock);
  if (FRunning == LSelf) return false;
  FReporter = LSelf;
  return true;
}

std::thread::id TqorTCPConnectionState::Reporter() const {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FReporter;
}

TqorTCPConnectionState::THeld TqorTCPConnectionState::EndReport() {
  std::lock_guard<std::mutex> LGuard(FLock);
  FReporter = std::thread::id();
  THeld LHeld;
  LHeld.OnReporter = FHeldOnReporter;
  LHeld.Mark = FHeldAt;
  for (const TQueued& q : FQueue)
    if (q.ForReport) LHeld.Values.push_back(q.Value);
  std::erase_if(FQueue, [](const TQueued& q) { return q.ForReport; });
  return LHeld;
}

bool TqorTCPConnectionState::Overridden(uint64_t aMark) const {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FRequests != aMark;
}
