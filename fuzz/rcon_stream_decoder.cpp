// The RCON stream decoder against a plain reading of the same bytes, handed over in pieces of
// any size: the same packets in order, each exactly once, with its raw body and its text; an
// out-of-range size raises and drops everything buffered.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/FuzzCheck.h"
#include "platform/Encoding.h"
#include "rcon/qorLib_RCON_Client.h"
#include "rcon/qorRCON_StreamDecoder.h"

namespace {

int32_t Int32(const std::string& ABytes, size_t AAt) {
  const auto* p = reinterpret_cast<const uint8_t*>(ABytes.data()) + AAt;
  return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                              uint32_t(p[3]) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  FuzzedDataProvider LIn(AData, ASize);
  const int32_t kMaxSizes[] = {10, 64, 4106, TqorLib_RCON_Client::MaxPacketSize};
  const int32_t LMax = kMaxSizes[LIn.ConsumeIntegralInRange<int>(0, 3)];
  TqorRCON_StreamDecoder LDecoder(LMax);
  std::string LModel;  // bytes the model has not decoded yet
  for (int LStep = 0; LStep < 200 && LIn.remaining_bytes() > 0; ++LStep) {
    const std::string LPiece = LIn.ConsumeRandomLengthString(600);
    if (LIn.ConsumeBool())
      LDecoder.Add(TBytes(LPiece.begin(), LPiece.end()));
    else
      LDecoder.Add(reinterpret_cast<const uint8_t*>(LPiece.data()), LPiece.size());
    LModel += LPiece;
    for (;;) {
      int32_t LSize = 0;
      const bool LHaveSize = LModel.size() >= 4;
      if (LHaveSize) LSize = Int32(LModel, 0);
      const bool LOutOfStep = LHaveSize && (LSize < 10 || LSize > LMax);
      const bool LWhole = LHaveSize && !LOutOfStep && LModel.size() - 4 >= size_t(LSize);
      TqorRCON_Packet LPacket;
      TqorRCON_StreamDecoder::TRawBody LRaw;
      bool LGot;
      try {
        LGot = LDecoder.Next(LPacket, &LRaw);
      } catch (const EqorRCONProtocolError&) {
        FUZZ_CHECK(LOutOfStep, "raised on a size of " + std::to_string(LSize));
        FUZZ_CHECK(LDecoder.Buffered() == 0, "bytes kept after an out-of-step size");
        LModel.clear();
        break;
      }
      FUZZ_CHECK(!LOutOfStep, "no error for a size of " + std::to_string(LSize));
      FUZZ_CHECK(LGot == LWhole, "packet whole or not");
      if (!LGot) break;
      const std::string LBody = LModel.substr(12, size_t(LSize) - 10);
      FUZZ_CHECK(LPacket.PacketSize() == LSize, "size");
      FUZZ_CHECK(LPacket.ID() == Int32(LModel, 4), "ID");
      FUZZ_CHECK(LPacket.PacketType() == Int32(LModel, 8), "type");
      FUZZ_CHECK(std::string(reinterpret_cast<const char*>(LRaw.Data), LRaw.Size) == LBody,
                 "raw body");
      FUZZ_CHECK(
          LPacket.Body() == TEncoding::UTF8().GetString(
                                reinterpret_cast<const uint8_t*>(LBody.data()), LBody.size()),
          "body text");
      FUZZ_CHECK(IsValidUTF8(LPacket.Body()), "body is UTF-8");
      LModel.erase(0, size_t(LSize) + 4);
    }
    FUZZ_CHECK(LDecoder.Buffered() == LModel.size(), "bytes buffered");
  }
  return 0;
}
