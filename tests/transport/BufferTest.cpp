// TIdBuffer: queue behaviour, failures that leave the buffer intact, byte helpers.
#include <gtest/gtest.h>

#include "transport/IdBuffer.h"
#include "transport/IdException.h"

namespace {

TIdBytes B(const std::string& s) { return TIdBytes(s.begin(), s.end()); }

TEST(Buffer, FailedExtractsLeaveContentsIntact) {
  TIdBuffer LBuf;
  LBuf.Write(B("abc"));
  TIdBytes LOut;
  try {
    LBuf.ExtractToBytes(LOut, 5);
    FAIL();
  } catch (const EIdNotEnoughDataInBuffer& E) {
    EXPECT_EQ(E.Message(), "Not enough data in buffer. (5/3)");
  }
  EXPECT_THROW(LBuf.ExtractToString(4), EIdNotEnoughDataInBuffer);
  EXPECT_THROW(LBuf.ExtractToUInt32(), EIdNotEnoughDataInBuffer);
  EXPECT_THROW(LBuf.ExtractToIPv6(), EIdNotEnoughDataInBuffer);
  TIdBuffer LOther;
  EXPECT_THROW(LBuf.ExtractToIdBuffer(LOther, 9), EIdNotEnoughDataInBuffer);
  EXPECT_TRUE(LOut.empty());
  EXPECT_EQ(LOther.Size(), 0);
  EXPECT_EQ(LBuf.ExtractToString(), "abc");
}

TEST(Buffer, IndexOfAndPeekChecks) {
  TIdBuffer LBuf;
  EXPECT_EQ(LBuf.IndexOf(B("x"), 5), -1);  // empty: no checks
  EXPECT_THROW(LBuf.PeekByte(0), EIdException);
  LBuf.Write(B("hello\r\nworld"));
  EXPECT_EQ(LBuf.IndexOf(B("\r\n")), 5);
  EXPECT_EQ(LBuf.IndexOf(B("o"), 5), 8);
  EXPECT_EQ(LBuf.IndexOf(static_cast<uint8_t>('w'), 3), 7);
  EXPECT_EQ(LBuf.IndexOf(B("zz")), -1);
  EXPECT_EQ(LBuf.IndexOf(B("ld")), 10);
  EXPECT_EQ(LBuf.IndexOf(B("ldx")), -1);
  try {
    LBuf.IndexOf(B("o"), LBuf.Size());
    FAIL();
  } catch (const EIdException& E) {
    EXPECT_EQ(E.Message(), "Buffer start position is invalid.");
  }
  EXPECT_THROW(LBuf.IndexOf(TIdBytes{}), EIdException);
  EXPECT_EQ(LBuf.PeekByte(1), 'e');
  EXPECT_THROW(LBuf.PeekByte(LBuf.Size()), EIdException);
  EXPECT_THROW(LBuf.SetCapacity(3), EIdException);
  EXPECT_EQ(LBuf.Size(), 12);
}

TEST(Buffer, ExtractOverwritesOrAppends) {
  TIdBuffer LBuf;
  LBuf.Write(B("12345678"));
  TIdBytes LOut(10, 'x');
  LBuf.ExtractToBytes(LOut, 4, false);
  EXPECT_EQ(LOut.size(), 10u);
  EXPECT_EQ(std::string(LOut.begin(), LOut.begin() + 5), "1234x");
  LBuf.ExtractToBytes(LOut, 4, true);
  EXPECT_EQ(LOut.size(), 14u);
  EXPECT_EQ(std::string(LOut.end() - 4, LOut.end()), "5678");
}

TEST(Buffer, QueueAcrossCompactionAndGrowth) {
  int LRemoved = 0;
  TIdBuffer LBuf([&](TIdBuffer*, int n) { LRemoved += n; });
  std::string LExpected;
  // Many appends and partial removes: head compaction and growth must keep the byte order.
  for (int i = 0; i < 2000; ++i) {
    const std::string LChunk = std::to_string(i) + ",";
    LBuf.Write(B(LChunk));
    LExpected += LChunk;
    if (i % 3 == 0 && LBuf.Size() >= 5) {
      EXPECT_EQ(LBuf.ExtractToString(5), LExpected.substr(0, 5));
      LExpected.erase(0, 5);
    }
  }
  EXPECT_LE(LBuf.Capacity() - LBuf.Size(), 3 * TIdBuffer::DefaultGrowthFactor);
  EXPECT_EQ(LBuf.AsString(), LExpected);
  EXPECT_EQ(LBuf.ExtractToString(), LExpected);
  EXPECT_EQ(LBuf.Size(), 0);
  EXPECT_GT(LRemoved, 0);
}

TEST(Buffer, TypedValuesInNetworkOrder) {
  TIdBuffer LBuf;
  LBuf.Write(static_cast<uint16_t>(0x0102));
  LBuf.Write(static_cast<uint32_t>(0x03040506));
  LBuf.Write(static_cast<uint64_t>(0x0708090A0B0C0D0Eull));
  LBuf.Write(static_cast<uint8_t>(0xFF));
  EXPECT_EQ(LBuf.PeekByte(0), 0x01);
  EXPECT_EQ(LBuf.ExtractToUInt16(), 0x0102);
  EXPECT_EQ(LBuf.ExtractToUInt32(), 0x03040506u);
  EXPECT_EQ(LBuf.ExtractToUInt64(), 0x0708090A0B0C0D0Eull);
  EXPECT_EQ(LBuf.ExtractToUInt8(), 0xFF);
  const TIdIPv6Address LAddr{0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304};
  LBuf.Write(LAddr);
  EXPECT_EQ(LBuf.ExtractToIPv6(), LAddr);
}

// Whole-buffer moves in and out keep the bytes and their order; only an empty buffer or an
// empty destination take the storage over.
TEST(Buffer, MovesInAndOutWithoutLosingBytes) {
  TIdBuffer LBuf;
  TIdBytes LIn = B("abc");
  const uint8_t* LStorage = LIn.data();
  LBuf.Write(std::move(LIn));
  EXPECT_EQ(LBuf.Data(), LStorage);
  LBuf.Write(B("def"));  // behind what is there
  LBuf.Write(TIdBytes());
  TIdBytes LOut;
  LBuf.ExtractToBytes(LOut, 1, true);
  LBuf.ExtractToBytes(LOut, -1, true);  // the rest, appended to a non-empty array
  EXPECT_EQ(std::string(LOut.begin(), LOut.end()), "abcdef");
  LBuf.Write(B("ghij"));
  LBuf.ExtractToBytes(LOut, 1, true);
  TIdBytes LWhole;
  LBuf.ExtractToBytes(LWhole, -1, true);
  EXPECT_EQ(std::string(LWhole.begin(), LWhole.end()), "hij");
  EXPECT_EQ(LBuf.Size(), 0);
  LBuf.Write(B("k"));
  EXPECT_EQ(LBuf.AsString(), "k");
}

TEST(Buffer, AdoptOrCopyConstruction) {
  TIdBuffer LAll(B("abcdef"), -1);
  EXPECT_EQ(LAll.Size(), 6);
  TIdBuffer LPart(B("abcdef"), 2);
  EXPECT_EQ(LPart.AsString(), "ab");
}

TEST(Buffer, AsciiEncodingOfText) {
  TIdBuffer LBuf;
  LBuf.Write(std::string("a\xC3\xA9z"));  // "aéz": é is not ASCII
  EXPECT_EQ(LBuf.Size(), 3);
  EXPECT_EQ(LBuf.PeekByte(1), '?');
  LBuf.Clear();
  LBuf.Write(TIdBytes{'a', 0xE9});
  EXPECT_EQ(LBuf.ExtractToString(), "a\xEF\xBF\xBD");  // U+FFFD
}

TEST(ByteHelpers, ClampedLengths) {
  const TIdBytes L = B("abcde");
  EXPECT_EQ(IndyLength(L), 5);
  EXPECT_EQ(IndyLength(L, -1, 2), 3);
  EXPECT_EQ(IndyLength(L, 10, 2), 3);
  EXPECT_EQ(IndyLength(L, 2, 1), 2);
  EXPECT_EQ(IndyLength(L, 3, 9), 0);
  EXPECT_EQ(BytesToString(L, 1, 3), "bcd");
  EXPECT_EQ(BytesToString(L, 7, 3), "");
}

}  // namespace
