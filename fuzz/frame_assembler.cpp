// The frame assembler against a plain model of its three modes: reads of any size, modes and
// delimiters changing from read to read. Every frame, in order, and the bytes left pending
// must be the model's.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/FuzzCheck.h"
#include "tcp_client/qorTCP_FrameAssembler.h"

namespace {

std::string Text(const TIdBytes& ABytes) {
  return std::string(ABytes.begin(), ABytes.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  FuzzedDataProvider LIn(AData, ASize);
  TqorTCPFrameAssembler LAssembler;
  std::string LPending;  // the model: bytes kept by eofScanAllBytes since the last frame
  for (int LStep = 0; LStep < 200 && LIn.remaining_bytes() > 0; ++LStep) {
    if (LIn.ConsumeIntegralInRange<int>(0, 15) == 0) {
      LAssembler.ClearPending();
      LPending.clear();
    }
    const auto LMode = static_cast<TtcpEOFScanBuffer>(LIn.ConsumeIntegralInRange<int>(0, 2));
    const std::string LDelimiter = LIn.ConsumeRandomLengthString(4);
    const std::string LRead = LIn.ConsumeRandomLengthString(512);
    LAssembler.Add(TIdBytes(LRead.begin(), LRead.end()), LMode,
                   TIdBytes(LDelimiter.begin(), LDelimiter.end()));

    std::vector<std::string> LExpected;
    if (LMode == eofScanNone) {
      if (!LRead.empty()) LExpected.push_back(LRead);
    } else if (LMode == eofScanLatestBytes) {
      if (!LDelimiter.empty() && LRead.size() >= LDelimiter.size() &&
          LRead.compare(LRead.size() - LDelimiter.size(), LDelimiter.size(), LDelimiter) == 0)
        LExpected.push_back(LRead);
    } else {
      LPending += LRead;
      for (size_t p; !LDelimiter.empty() && (p = LPending.find(LDelimiter)) != std::string::npos;) {
        LExpected.push_back(LPending.substr(0, p + LDelimiter.size()));
        LPending.erase(0, p + LDelimiter.size());
      }
    }
    std::vector<std::string> LGot;
    TIdBytes LFrame;
    while (LGot.size() <= LExpected.size() && LAssembler.Next(LFrame)) LGot.push_back(Text(LFrame));
    FUZZ_CHECK(LGot == LExpected, "frames of step " + std::to_string(LStep));
    FUZZ_CHECK(LAssembler.PendingSize() == LPending.size(), "pending bytes");
  }
  return 0;
}
