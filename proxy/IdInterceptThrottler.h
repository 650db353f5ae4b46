#pragma once
#include <atomic>
#include <cstdint>

#include "transport/IdIntercept.h"

// Slows a connection to a bit rate: each block costs as long as it takes at that rate, on the
// thread that moved it. A sent block waits before it goes out; a received one goes into the
// input buffer at once, and the connection then rests that long before it reads again. No
// carry-over between blocks; 0 means no limit. Every wait ends at once when the reading is
// stopped, and at the deadline of a connect under way.
class TIdInterceptThrottler : public TIdConnectionIntercept {
 protected:
  explicit TIdInterceptThrottler(TComponent* AOwner = nullptr) : TIdConnectionIntercept(AOwner) {}

 public:
  const char* ClassName() const override { return "TIdInterceptThrottler"; }

  void Disconnect() override;
  void Receive(TIdBytes& VBuffer) override;
  void Send(TIdBytes& VBuffer) override;
  void AwaitReceive() override;

  int32_t BitsPerSec() const { return FBitsPerSec; }
  // Sets both directions too.
  void SetBitsPerSec(int32_t AValue);
  int32_t RecvBitsPerSec() const { return FRecvBitsPerSec; }
  void SetRecvBitsPerSec(int32_t AValue) { FRecvBitsPerSec = AValue; }
  int32_t SendBitsPerSec() const { return FSendBitsPerSec; }
  void SetSendBitsPerSec(int32_t AValue) { FSendBitsPerSec = AValue; }

  // How long a block of ABytes takes at ABitsPerSec, in ms (0 for a rate of 0 or less).
  static int64_t DelayFor(size_t ABytes, int32_t ABitsPerSec);

 private:
  // Read by the threads that move blocks, written by the one that configures the throttler.
  std::atomic<int32_t> FBitsPerSec{0};
  std::atomic<int32_t> FRecvBitsPerSec{0};
  std::atomic<int32_t> FSendBitsPerSec{0};
  // Steady-clock ms until which the last received block holds the next read (0: none).
  std::atomic<uint64_t> FRecvHeldUntil{0};
};
