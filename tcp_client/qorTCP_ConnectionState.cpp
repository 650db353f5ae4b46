#include "tcp_client/qorTCP_ConnectionState.h"

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

TqorTCPConnectionState::TLease::TLease(TqorTCPConnectionState& aOwner, bool aWrite)
    : FOwner(aOwner) {
  std::lock_guard<std::mutex> LGuard(FOwner.FLock);
  FConnection = FOwner.FState == tcpsConnected ? FOwner.FConnection : nullptr;
  const TqorIdTCPClient* LReader = TqorTCPReadThread::ReadingFor();
  if (FConnection && LReader && !aWrite && FConnection->TCPConnection() != LReader)
    FConnection = nullptr;
  if (FConnection) ++FConnection->FLeases;
}

TqorTCPConnectionState::TLease::~TLease() {
  if (!FConnection) return;
  bool LFree;
  {
    std::lock_guard<std::mutex> LGuard(FOwner.FLock);
    LFree = --FConnection->FLeases == 0 && FConnection->FReleased;
  }
  if (LFree) FOwner.FFree(FConnection);
}

bool TqorTCPConnectionState::ReleaseWhenUnused(TqorTCPConnectionClient* aConnection) {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (aConnection->FLeases == 0) return true;
  aConnection->FReleased = true;
  return false;
}
