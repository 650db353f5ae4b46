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
  // The same; the bytes become the buffer without a copy when nothing is buffered.
  void Add(TBytes&& aBytes);
  // A body's bytes as they came, inside the decoder: valid until the next Add or Clear.
  struct TRawBody {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
  };
  // Decodes the next whole packet into aPacket; false while the bytes end inside one. A size
  // field outside 10 .. the maximum means the stream is out of step: everything buffered is
  // dropped and EqorRCONProtocolError raised. aRawBody, when given, shows the body's bytes,
  // for joining the packets of one answer before decoding their text.
  bool Next(TqorRCON_Packet& aPacket, TRawBody* aRawBody = nullptr);
  void Clear();
  size_t Buffered() const { return FBuffer.size() - FOffset; }

 private:
  // The size field of the packet at FOffset; at least 4 bytes must be buffered.
  int32_t SizeField() const;
  // Room for the whole packet that begins the buffer: its later pieces then go in without
  // moving the earlier ones again.
  void ReserveAnnounced();

  const int32_t FMaxPacketSize;
  TBytes FBuffer;
  size_t FOffset = 0;  // bytes before it are decoded; dropped before new ones are appended
};
