#include "tls/IdSSL.h"

int TIdSSLIOHandlerSocketBase::ReadFromTransport(TIdBytes& VBuffer) {
  if (FPassThrough) return TIdIOHandlerStack::ReadFromTransport(VBuffer);
  return ReceiveEncrypted(VBuffer);
}

int TIdSSLIOHandlerSocketBase::WriteToTransport(const TIdBytes& ABuffer, int AOffset, int ALength) {
  if (FPassThrough) return TIdIOHandlerStack::WriteToTransport(ABuffer, AOffset, ALength);
  return SendEncrypted(ABuffer, AOffset, ALength);
}

std::string HostOfURI(const std::string& AURI) {
  std::string LRest = AURI;
  const size_t LScheme = LRest.find("://");
  if (LScheme != std::string::npos) LRest = LRest.substr(LScheme + 3);
  LRest = LRest.substr(0, LRest.find_first_of("/?#"));
  const size_t LAt = LRest.rfind('@');
  if (LAt != std::string::npos) LRest = LRest.substr(LAt + 1);
  if (!LRest.empty() && LRest[0] == '[') {
    const size_t LClose = LRest.find(']');
    return LClose == std::string::npos ? std::string() : LRest.substr(1, LClose - 1);
  }
  return LRest.substr(0, LRest.find(':'));
}

std::string TIdSSLIOHandlerSocketBase::ServerName() const {
  if (!FURIToCheck.empty()) {
    const std::string LHost = HostOfURI(FURIToCheck);
    if (!LHost.empty()) return LHost;
  }
  return FHost;
}

void TIdSSLIOHandlerSocketBase::ConnectPlain() {
  const bool LPassThrough = FPassThrough;
  FPassThrough = true;
  try {
    TIdIOHandlerStack::ConnectToPeer();
  } catch (...) {
    FPassThrough = LPassThrough;
    throw;
  }
  FPassThrough = LPassThrough;
}

void TIdSSLIOHandlerSocketBase::StartSSLInConnect() {
  FInConnect = true;
  try {
    StartSSL();
  } catch (...) {
    FInConnect = false;
    throw;
  }
  FInConnect = false;
}
