#include "transport/IdBuffer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/SysUtils.h"
#include "transport/IdException.h"
#include "transport/IdStack.h"

TIdBuffer::TIdBuffer() {
  TIdStack::IncUsage();
}

TIdBuffer::TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved)
    : FOnBytesRemoved(std::move(AOnBytesRemoved)) {
  TIdStack::IncUsage();
}

TIdBuffer::TIdBuffer(int AGrowthFactor) : FGrowthFactor(std::max(AGrowthFactor, 0)) {
  TIdStack::IncUsage();
}

TIdBuffer::TIdBuffer(TIdBytes ABytes, int ALength) {
  TIdStack::IncUsage();
  if (ALength < 0) {
    FBytes = std::move(ABytes);
  } else {
    FBytes.assign(ABytes.begin(), ABytes.begin() + IndyLength(ABytes, ALength));
  }
  FSize = static_cast<int>(FBytes.size());
}

TIdBuffer::~TIdBuffer() {
  TIdStack::DecUsage();
}

void TIdBuffer::Clear() {
  FBytes = TIdBytes();
  FHeadIndex = 0;
  FSize = 0;
}

void TIdBuffer::Write(const TIdBytes& ABytes, int ALength, int AOffset) {
  const int LLength = IndyLength(ABytes, ALength, AOffset);
  if (LLength > 0) Write(ABytes.data() + AOffset, LLength);
}

void TIdBuffer::Write(TIdBytes&& ABytes) {
  if (FSize != 0 || ABytes.size() > static_cast<size_t>(INT_MAX)) {
    const TIdBytes& LBytes = ABytes;
    Write(LBytes);
    return;
  }
  FBytes = std::move(ABytes);
  FHeadIndex = 0;
  FSize = static_cast<int>(FBytes.size());
}

void TIdBuffer::Write(const uint8_t* ABytes, int ALength) {
  if (ALength <= 0) return;
  if (INT_MAX - ALength < FSize) throw EIdTooMuchDataInBuffer(RSTooMuchDataInBuffer);
  if (FSize == 0) {
    FHeadIndex = 0;
    FBytes.assign(ABytes, ABytes + ALength);
    FSize = ALength;
    return;
  }
  CompactHead(false);
  if (Capacity() - FSize - FHeadIndex < ALength) {
    // 64-bit sum: slack on top of a nearly full buffer must not overflow.
    const auto LNeeded = static_cast<size_t>(
        std::min<int64_t>(INT_MAX, static_cast<int64_t>(FSize) + ALength + FGrowthFactor));
    // Doubling only what is really short: a shrink keeps the storage, and regrowing into it
    // must not double it again.
    if (LNeeded > FBytes.capacity()) ReserveBytes(FBytes, std::max(LNeeded, 2 * FBytes.capacity()));
    FBytes.resize(LNeeded);
  }
  std::memcpy(FBytes.data() + FHeadIndex + FSize, ABytes, static_cast<size_t>(ALength));
  FSize += ALength;
}

void TIdBuffer::Write(const std::string& AText, IIdTextEncoding AEncoding) {
  Write(ToBytes(AText, EncodingFor(AEncoding)));
}

void TIdBuffer::Write(TStream& AStream, int64_t AByteCount) {
  const int64_t LAvailable = std::max<int64_t>(0, AStream.Size() - AStream.Position());
  const int64_t LCount = AByteCount <= 0 ? LAvailable : std::min(AByteCount, LAvailable);
  if (LCount <= 0) return;
  if (LCount > INT_MAX - FSize) throw EIdTooMuchDataInBuffer(RSTooMuchDataInBuffer);
  TIdBytes LBytes(static_cast<size_t>(LCount));
  AStream.ReadBuffer(LBytes.data(), LCount);
  Write(LBytes);
}

void TIdBuffer::Write(uint8_t AValue) {
  Write(&AValue, 1);
}

void TIdBuffer::Write(uint16_t AValue) {
  const uint8_t LBytes[2] = {static_cast<uint8_t>(AValue >> 8), static_cast<uint8_t>(AValue)};
  Write(LBytes, 2);
}

void TIdBuffer::Write(uint32_t AValue) {
  uint8_t LBytes[4];
  for (int i = 0; i < 4; ++i) LBytes[i] = static_cast<uint8_t>(AValue >> (8 * (3 - i)));
  Write(LBytes, 4);
}

void TIdBuffer::Write(uint64_t AValue) {
  uint8_t LBytes[8];
  for (int i = 0; i < 8; ++i) LBytes[i] = static_cast<uint8_t>(AValue >> (8 * (7 - i)));
  Write(LBytes, 8);
}

void TIdBuffer::Write(const TIdIPv6Address& AValue) {
  uint8_t LBytes[16];
  for (size_t i = 0; i < 8; ++i) {
    LBytes[2 * i] = static_cast<uint8_t>(AValue[i] >> 8);
    LBytes[2 * i + 1] = static_cast<uint8_t>(AValue[i]);
  }
  Write(LBytes, 16);
}

void TIdBuffer::CheckAvailable(int AByteCount) const {
  if (AByteCount > FSize) {
    throw EIdNotEnoughDataInBuffer(Format(RSNotEnoughDataInBuffer, AByteCount, FSize));
  }
}

void TIdBuffer::CheckStartPos(int AStartPos) const {
  if (AStartPos < 0 || AStartPos >= FSize) throw EIdException(RSBufferInvalidStartPos);
}

IIdTextEncoding TIdBuffer::EncodingFor(IIdTextEncoding AEncoding) const {
  return AEncoding ? AEncoding : IdEncodingOrDefault(FByteEncoding);
}

void TIdBuffer::ExtractToBytes(TIdBytes& VBytes, int AByteCount, bool AAppend) {
  if (AByteCount == -1) AByteCount = FSize;
  if (AByteCount <= 0) return;
  CheckAvailable(AByteCount);
  if (AAppend && VBytes.empty() && AByteCount == FSize) {
    // Taking everything: hand the storage over rather than copy it.
    CompactHead(false);
    FBytes.resize(static_cast<size_t>(FSize));
    VBytes.swap(FBytes);
    Remove(AByteCount);
    return;
  }
  const uint8_t* LFrom = FBytes.data() + FHeadIndex;
  if (AAppend) {
    VBytes.insert(VBytes.end(), LFrom, LFrom + AByteCount);
  } else {
    const auto LCount = static_cast<size_t>(AByteCount);
    if (VBytes.size() < LCount) VBytes.resize(LCount);
    std::memcpy(VBytes.data(), LFrom, LCount);
  }
  Remove(AByteCount);
}

std::string TIdBuffer::ExtractToString(int AByteCount, IIdTextEncoding AEncoding) {
  if (AByteCount < 0) AByteCount = FSize;
  if (AByteCount < 1) return {};
  CheckAvailable(AByteCount);
  std::string LResult = EncodingFor(AEncoding)->GetString(Data(), static_cast<size_t>(AByteCount));
  Remove(AByteCount);
  return LResult;
}

void TIdBuffer::ExtractToStream(TStream& AStream, int AByteCount) {
  if (AByteCount < 0) AByteCount = FSize;
  CompactHead(true);
  CheckAvailable(AByteCount);
  if (AByteCount == 0) return;
  AStream.WriteBuffer(FBytes.data(), AByteCount);
  Remove(AByteCount);
}

void TIdBuffer::ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount) {
  if (AByteCount < 0) AByteCount = FSize;
  if (AByteCount == 0) return;
  CheckAvailable(AByteCount);
  ABuffer.Write(FBytes.data() + FHeadIndex, AByteCount);
  Remove(AByteCount);
}

uint64_t TIdBuffer::ExtractBigEndian(int AByteCount) {
  CheckAvailable(AByteCount);
  uint64_t LValue = 0;
  for (int i = 0; i < AByteCount; ++i) LValue = LValue << 8 | Data()[i];
  Remove(AByteCount);
  return LValue;
}

uint8_t TIdBuffer::ExtractToUInt8() {
  return static_cast<uint8_t>(ExtractBigEndian(1));
}
uint16_t TIdBuffer::ExtractToUInt16() {
  return static_cast<uint16_t>(ExtractBigEndian(2));
}
uint32_t TIdBuffer::ExtractToUInt32() {
  return static_cast<uint32_t>(ExtractBigEndian(4));
}
uint64_t TIdBuffer::ExtractToUInt64() {
  return ExtractBigEndian(8);
}

TIdIPv6Address TIdBuffer::ExtractToIPv6() {
  CheckAvailable(16);
  TIdIPv6Address LResult;
  for (uint16_t& LWord : LResult) LWord = static_cast<uint16_t>(ExtractBigEndian(2));
  return LResult;
}

void TIdBuffer::Remove(int AByteCount) {
  if (AByteCount <= 0) return;
  if (AByteCount < FSize) {
    FHeadIndex += AByteCount;
    FSize -= AByteCount;
    if (FHeadIndex > FGrowthFactor) CompactHead(true);
  } else {
    Clear();
  }
  if (FOnBytesRemoved) FOnBytesRemoved(this, AByteCount);
}

void TIdBuffer::CompactHead(bool ACanShrink) {
  if (FHeadIndex == 0) return;
  std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
  FHeadIndex = 0;
  if (ACanShrink && Capacity() - FSize > FGrowthFactor)
    FBytes.resize(static_cast<size_t>(FSize + FGrowthFactor));
}

int TIdBuffer::IndexOf(const TIdBytes& ABytes, int AStartPos) const {
  if (FSize == 0) return -1;
  if (ABytes.empty()) throw EIdException(RSBufferMissingTerminator);
  CheckStartPos(AStartPos);
  const uint8_t* LBegin = FBytes.data() + FHeadIndex;
  const uint8_t* LEnd = LBegin + FSize;
  const size_t LCount = ABytes.size();
  for (const uint8_t* P = LBegin + AStartPos; static_cast<size_t>(LEnd - P) >= LCount; ++P) {
    P = static_cast<const uint8_t*>(
        std::memchr(P, ABytes[0], static_cast<size_t>(LEnd - P) - LCount + 1));
    if (!P) return -1;
    if (std::memcmp(P, ABytes.data(), LCount) == 0) return static_cast<int>(P - LBegin);
  }
  return -1;
}

int TIdBuffer::IndexOf(const std::string& AText, int AStartPos, IIdTextEncoding AEncoding) const {
  return IndexOf(ToBytes(AText, EncodingFor(AEncoding)), AStartPos);
}

int TIdBuffer::IndexOf(uint8_t AByte, int AStartPos) const {
  if (FSize == 0) return -1;
  CheckStartPos(AStartPos);
  const uint8_t* LBegin = FBytes.data() + FHeadIndex;
  const void* LFound =
      std::memchr(LBegin + AStartPos, AByte, static_cast<size_t>(FSize - AStartPos));
  return LFound ? static_cast<int>(static_cast<const uint8_t*>(LFound) - LBegin) : -1;
}

uint8_t TIdBuffer::PeekByte(int AIndex) const {
  if (FSize == 0) throw EIdException(RSBufferEmpty);
  if (AIndex < 0 || AIndex >= FSize) throw EIdException(RSBufferIndexOutOfBounds);
  return Data()[AIndex];
}

void TIdBuffer::SaveToStream(TStream& AStream) const {
  AStream.WriteBuffer(FBytes.data() + FHeadIndex, FSize);
}

void TIdBuffer::SetCapacity(int AValue) {
  if (AValue < FSize) throw EIdException(RSBufferCapacityBelowSize);
  CompactHead(true);
  FBytes.resize(static_cast<size_t>(AValue));
}

std::string TIdBuffer::AsString() const {
  return EncodingFor(nullptr)->GetString(Data(), static_cast<size_t>(FSize));
}
