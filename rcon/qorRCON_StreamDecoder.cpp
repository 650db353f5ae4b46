#include "rcon/qorRCON_StreamDecoder.h"

#include "platform/SysUtils.h"
#include "rcon/qorLib_RCON_Client.h"

namespace {
constexpr int32_t kHeaderAndTerminators = 10;  // ID, type, two NULs
}  // namespace

void TqorRCON_StreamDecoder::Add(const uint8_t* aData, size_t aCount) {
  FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(FOffset));
  FOffset = 0;
  FBuffer.insert(FBuffer.end(), aData, aData + aCount);
}

bool TqorRCON_StreamDecoder::Next(TqorRCON_Packet& aPacket, TBytes* aRawBody) {
  if (Buffered() < 4) return false;
  const uint8_t* p = FBuffer.data() + FOffset;
  const auto LSize = static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 |
                                          uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
  if (LSize < kHeaderAndTerminators || LSize > FMaxPacketSize) {
    Clear();
    throw EqorRCONProtocolError(
        Format("Invalid RCON packet size %d (expected 10 to %d); the received data was discarded.",
               LSize, FMaxPacketSize));
  }
  if (Buffered() - 4 < static_cast<size_t>(LSize)) return false;
  if (aRawBody) {
    const uint8_t* LBody = p + 4 + 8;
    aRawBody->assign(LBody, LBody + (LSize - kHeaderAndTerminators));
  }
  auto LOffset = static_cast<int32_t>(FOffset);
  aPacket.ReadBytes(FBuffer, LOffset);
  FOffset = static_cast<size_t>(LOffset);
  if (FOffset == FBuffer.size()) Clear();
  return true;
}

void TqorRCON_StreamDecoder::Clear() {
  FBuffer.clear();
  FOffset = 0;
}
