#include "tls/IdSSL.h"

int TIdSSLIOHandlerSocketBase::ReadFromTransport(TIdBytes& VBuffer) {
  if (FPassThrough) return TIdIOHandlerStack::ReadFromTransport(VBuffer);
  return ReceiveEncrypted(VBuffer);
}

int TIdSSLIOHandlerSocketBase::WriteToTransport(const TIdBytes& ABuffer, int AOffset, int ALength) {
  if (FPassThrough) return TIdIOHandlerStack::WriteToTransport(ABuffer, AOffset, ALength);
  return SendEncrypted(ABuffer, AOffset, ALength);
}
