#include "proxy/IdInterceptThrottler.h"

#include "platform/SysUtils.h"

void TIdInterceptThrottler::SetBitsPerSec(int32_t AValue) {
  FBitsPerSec = AValue;
  FRecvBitsPerSec = AValue;
  FSendBitsPerSec = AValue;
}

int64_t TIdInterceptThrottler::DelayFor(size_t ABytes, int32_t ABitsPerSec) {
  if (ABitsPerSec <= 0) return 0;
  return static_cast<int64_t>(ABytes) * 8 * 1000 / ABitsPerSec;
}

void TIdInterceptThrottler::Disconnect() {
  FRecvHeldUntil = 0;
  TIdConnectionIntercept::Disconnect();
}

void TIdInterceptThrottler::Receive(TIdBytes& VBuffer) {
  TIdConnectionIntercept::Receive(VBuffer);
  const int64_t LDelay = DelayFor(VBuffer.size(), FRecvBitsPerSec);
  FRecvHeldUntil = LDelay > 0 ? GetTickCount64() + static_cast<uint64_t>(LDelay) : 0;
}

void TIdInterceptThrottler::AwaitReceive() {
  TIdConnectionIntercept::AwaitReceive();
  if (const uint64_t LUntil = FRecvHeldUntil) PauseUntil(LUntil);
}

void TIdInterceptThrottler::Send(TIdBytes& VBuffer) {
  TIdConnectionIntercept::Send(VBuffer);
  const int64_t LDelay = DelayFor(VBuffer.size(), FSendBitsPerSec);
  if (LDelay > 0) PauseUntil(GetTickCount64() + static_cast<uint64_t>(LDelay));
}
