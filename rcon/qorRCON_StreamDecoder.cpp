#include "rcon/qorRCON_StreamDecoder.h"

#include "platform/SysUtils.h"
#include "rcon/qorLib_RCON_Client.h"

namespace {
constexpr int32_t kHeaderAndTerminators = 10;  // ID, type, two NULs
}  // namespace

void TqorRCON_StreamDecoder::Add(const uint8_t* aData, size_t aCount) {
  FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(FOffset));
  FOffset = 0;
  AppendBytes(FBuffer, aData, aCount);
  ReserveAnnounced();
}

void TqorRCON_StreamDecoder::Add(TBytes&& aBytes) {
  if (Buffered() != 0) {
    Add(aBytes.data(), aBytes.size());
    return;
  }
  FBuffer = std::move(aBytes);
  FOffset = 0;
  ReserveAnnounced();
}

int32_t TqorRCON_StreamDecoder::SizeField() const {
  const uint8_t* p = FBuffer.data() + FOffset;
  return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                              uint32_t(p[3]) << 24);
}

// An out-of-step size is left to Next to report; the largest reservation is the largest packet.
void TqorRCON_StreamDecoder::ReserveAnnounced() {
  if (Buffered() < 4) return;
  const int32_t LSize = SizeField();
  if (LSize < kHeaderAndTerminators || LSize > FMaxPacketSize) return;
  const size_t LWhole = FOffset + 4 + static_cast<size_t>(LSize);
  ReserveBytes(FBuffer, LWhole);
}

bool TqorRCON_StreamDecoder::Next(TqorRCON_Packet& aPacket, TRawBody* aRawBody) {
  if (Buffered() < 4) return false;
  const int32_t LSize = SizeField();
  if (LSize < kHeaderAndTerminators || LSize > FMaxPacketSize) {
    Clear();
    throw EqorRCONProtocolError(
        Format("Invalid RCON packet size %d (expected 10 to %d); the received data was discarded.",
               LSize, FMaxPacketSize));
  }
  if (Buffered() - 4 < static_cast<size_t>(LSize)) return false;
  if (aRawBody)
    *aRawBody = {FBuffer.data() + FOffset + 4 + 8, size_t(LSize - kHeaderAndTerminators)};
  auto LOffset = static_cast<int32_t>(FOffset);
  aPacket.ReadBytes(FBuffer, LOffset);
  // Decoded bytes stay until the next Add, which keeps the raw body valid until then.
  FOffset = static_cast<size_t>(LOffset);
  return true;
}

void TqorRCON_StreamDecoder::Clear() {
  FBuffer.clear();
  FOffset = 0;
}
