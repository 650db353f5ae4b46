#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

class TqorRCON_Packet;

// Cuts the byte stream of one RCON connection into packets, with no socket: bytes go in as
// they arrive, in pieces of any size; whole packets come out in order, each exactly once.
class TqorRCON_StreamDecoder {
 public:
  explicit TqorRCON_StreamDecoder(int32_t aMaxPacketSize) : FMaxPacketSize(aMaxPacketSize) {}

  void Add(const uint8_t* aData, size_t aCount);
  // Decodes the next whole packet into aPacket; false while the bytes end inside one. A size
  // field outside 10 .. the maximum means the stream is out of step: everything buffered is
  // dropped and EqorRCONProtocolError raised. aRawBody, when given, receives the body's bytes
  // as they came, for joining the packets of one answer before decoding their text.
  bool Next(TqorRCON_Packet& aPacket, TBytes* aRawBody = nullptr);
  void Clear();
  size_t Buffered() const { return FBuffer.size() - FOffset; }

 private:
  const int32_t FMaxPacketSize;
  TBytes FBuffer;
  size_t FOffset = 0;  // bytes before it are decoded; dropped before new ones are appended
};
