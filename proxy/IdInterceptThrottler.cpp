#include "proxy/IdInterceptThrottler.h"

#include "transport/IdAntiFreezeBase.h"

void TIdInterceptThrottler::SetBitsPerSec(int32_t AValue) {
  FBitsPerSec = AValue;
  FRecvBitsPerSec = AValue;
  FSendBitsPerSec = AValue;
}

int64_t TIdInterceptThrottler::DelayFor(size_t ABytes, int32_t ABitsPerSec) {
  if (ABitsPerSec <= 0) return 0;
  return static_cast<int64_t>(ABytes) * 8 * 1000 / ABitsPerSec;
}

void TIdInterceptThrottler::Delay(int64_t AMilliseconds) {
  constexpr int64_t LPiece = 2147483647;
  for (; AMilliseconds > LPiece; AMilliseconds -= LPiece) TIdAntiFreezeBase::Sleep(int(LPiece));
  TIdAntiFreezeBase::Sleep(static_cast<int>(AMilliseconds));
}

void TIdInterceptThrottler::Receive(TIdBytes& VBuffer) {
  TIdConnectionIntercept::Receive(VBuffer);
  Delay(DelayFor(VBuffer.size(), FRecvBitsPerSec));
}

void TIdInterceptThrottler::Send(TIdBytes& VBuffer) {
  TIdConnectionIntercept::Send(VBuffer);
  Delay(DelayFor(VBuffer.size(), FSendBitsPerSec));
}
