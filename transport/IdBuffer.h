#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Stream.h"
#include "transport/IdGlobal.h"
#include "transport/IdIPAddress.h"

class TIdBuffer;
using TIdBufferBytesRemoved = std::function<void(TIdBuffer* ASender, int ABytes)>;

// Growable byte queue: appends go behind the stored bytes, extracts take from the front.
// A failed extract or write leaves the buffer as it was.
class TIdBuffer {
 public:
  static constexpr int DefaultGrowthFactor = 2048;

  TIdBuffer();
  explicit TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved);
  explicit TIdBuffer(int AGrowthFactor);
  // ALength -1 adopts ABytes as the storage; otherwise its first ALength bytes are copied.
  TIdBuffer(TIdBytes ABytes, int ALength);
  ~TIdBuffer();
  TIdBuffer(const TIdBuffer&) = delete;
  TIdBuffer& operator=(const TIdBuffer&) = delete;

  void Clear();
  void Write(const TIdBytes& ABytes, int ALength = -1, int AOffset = 0);
  // Into an empty buffer the bytes move in as the storage, without a copy.
  void Write(TIdBytes&& ABytes);
  void Write(const uint8_t* ABytes, int ALength);
  void Write(const std::string& AText, IIdTextEncoding AEncoding = nullptr);
  // AByteCount <= 0: everything from the stream's position to its end.
  void Write(TStream& AStream, int64_t AByteCount = 0);
  // Typed values go in network byte order.
  void Write(uint8_t AValue);
  void Write(uint16_t AValue);
  void Write(uint32_t AValue);
  void Write(uint64_t AValue);
  void Write(const TIdIPv6Address& AValue);

  // AByteCount -1: everything. Without AAppend VBytes is grown (never shrunk) to AByteCount
  // and its first AByteCount entries are overwritten.
  void ExtractToBytes(TIdBytes& VBytes, int AByteCount = -1, bool AAppend = true);
  std::string ExtractToString(int AByteCount = -1, IIdTextEncoding AEncoding = nullptr);
  void ExtractToStream(TStream& AStream, int AByteCount = -1);
  void ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount = -1);
  uint8_t ExtractToUInt8();
  uint8_t ExtractToByte() { return ExtractToUInt8(); }
  uint16_t ExtractToUInt16();
  uint16_t ExtractToWord() { return ExtractToUInt16(); }
  uint32_t ExtractToUInt32();
  uint32_t ExtractToLongWord() { return ExtractToUInt32(); }
  uint64_t ExtractToUInt64();
  TIdIPv6Address ExtractToIPv6();

  // A count of 0 or less removes nothing and reports nothing.
  void Remove(int AByteCount);
  void CompactHead(bool ACanShrink = true);

  // Positions are relative to the first stored byte; -1 when not found or the buffer is empty.
  int IndexOf(const TIdBytes& ABytes, int AStartPos = 0) const;
  int IndexOf(const std::string& AText, int AStartPos = 0,
              IIdTextEncoding AEncoding = nullptr) const;
  int IndexOf(uint8_t AByte, int AStartPos = 0) const;
  uint8_t PeekByte(int AIndex) const;
  // All stored bytes; nothing is removed.
  void SaveToStream(TStream& AStream) const;

  int Size() const { return FSize; }
  int Capacity() const { return static_cast<int>(FBytes.size()); }
  void SetCapacity(int AValue);
  int GrowthFactor() const { return FGrowthFactor; }
  // Negative slack would shrink the storage below the stored bytes: it counts as 0.
  void SetGrowthFactor(int AValue) { FGrowthFactor = AValue < 0 ? 0 : AValue; }
  IIdTextEncoding Encoding() const { return FByteEncoding; }
  void SetEncoding(IIdTextEncoding AValue) { FByteEncoding = AValue; }
  void SetOnBytesRemoved(TIdBufferBytesRemoved AValue) { FOnBytesRemoved = std::move(AValue); }
  // The stored bytes decoded with Encoding; nothing is removed.
  std::string AsString() const;
  // The stored bytes in place (Size() of them).
  const uint8_t* Data() const { return FBytes.data() + FHeadIndex; }

 private:
  void CheckAvailable(int AByteCount) const;
  void CheckStartPos(int AStartPos) const;
  IIdTextEncoding EncodingFor(IIdTextEncoding AEncoding) const;
  uint64_t ExtractBigEndian(int AByteCount);

  TIdBytes FBytes;
  int FHeadIndex = 0;
  int FSize = 0;
  int FGrowthFactor = DefaultGrowthFactor;
  IIdTextEncoding FByteEncoding = nullptr;
  TIdBufferBytesRemoved FOnBytesRemoved;
};
