#include "tcp_client/qorTCP_FrameAssembler.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t NotFound = static_cast<size_t>(-1);

// First position at or after aFrom where aDelimiter lies wholly inside aData.
size_t FindDelimiter(const TIdBytes& aData, size_t aFrom, const TIdBytes& aDelimiter) {
  const size_t L = aDelimiter.size();
  if (aData.size() < L) return NotFound;
  const size_t LLast = aData.size() - L;
  const uint8_t* LBase = aData.data();
  for (size_t i = aFrom; i <= LLast; ++i) {
    const void* LHit = std::memchr(LBase + i, aDelimiter[0], LLast - i + 1);
    if (!LHit) return NotFound;
    i = static_cast<size_t>(static_cast<const uint8_t*>(LHit) - LBase);
    if (std::memcmp(LBase + i, aDelimiter.data(), L) == 0) return i;
  }
  return NotFound;
}

}  // namespace

void TqorTCPFrameAssembler::Add(TIdBytes aRead, TtcpEOFScanBuffer aMode,
                                const TIdBytes& aDelimiter) {
  const size_t L = aDelimiter.size();
  switch (aMode) {
    case eofScanNone:
      FScanning = false;
      if (!aRead.empty()) FReady.push_back(std::move(aRead));
      break;
    case eofScanLatestBytes:
      FScanning = false;
      if (L >= 1 && aRead.size() >= L &&
          std::memcmp(aRead.data() + aRead.size() - L, aDelimiter.data(), L) == 0)
        FReady.push_back(std::move(aRead));
      break;
    case eofScanAllBytes:
      if (!FScanning || aDelimiter != FDelimiter) {
        FScanFrom = FHead;
        FDelimiter = aDelimiter;
        FScanning = true;
      }
      if (FHead == FPending.size()) {
        FPending = std::move(aRead);
        FHead = FScanFrom = 0;
      } else {
        AppendBytes(FPending, aRead.data(), aRead.size());
      }
      break;
  }
}

bool TqorTCPFrameAssembler::Next(TIdBytes& aFrame) {
  if (!FReady.empty()) {
    aFrame = std::move(FReady.front());
    FReady.pop_front();
    return true;
  }
  const size_t L = FDelimiter.size();
  if (!FScanning || L == 0) return false;
  const size_t p = FindDelimiter(FPending, std::max(FScanFrom, FHead), FDelimiter);
  if (p == NotFound) {
    // A delimiter may still begin in the last L-1 bytes.
    FScanFrom = std::max(FHead, FPending.size() >= L ? FPending.size() - L + 1 : 0);
    Compact();
    return false;
  }
  const size_t LEnd = p + L;
  aFrame.assign(FPending.begin() + static_cast<std::ptrdiff_t>(FHead),
                FPending.begin() + static_cast<std::ptrdiff_t>(LEnd));
  FHead = FScanFrom = LEnd;
  return true;
}

// Taken frames are cut from the front once per read, so the work stays proportional to the
// bytes received.
void TqorTCPFrameAssembler::Compact() {
  if (FHead == 0) return;
  FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(FHead));
  FScanFrom -= std::min(FScanFrom, FHead);
  FHead = 0;
}

void TqorTCPFrameAssembler::ClearPending() {
  FPending = TIdBytes();
  FHead = FScanFrom = 0;
}
