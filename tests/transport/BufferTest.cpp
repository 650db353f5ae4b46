// TIdBuffer: queue behaviour, failures that leave the buffer intact, byte helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>

#include "transport/IdBuffer.h"
#include "transport/IdException.h"

namespace {

TIdBytes B(const std::string& s) {
  return TIdBytes(s.begin(), s.end());
}

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

// A compaction shrinks the stored array but keeps its allocation; growing back into it must
// not enlarge the allocation again, or a buffer filled and drained often (a reader's input)
// doubles its memory every round until an allocation fails.
TEST(Buffer, RegrowingAfterCompactionsKeepsTheMemoryBounded) {
  TIdBuffer LBuf(16);
  LBuf.Write(uint8_t('a'));  // never empty, so the storage is kept from round to round
  const TIdBytes LBlock(4096, 'x');
  for (int i = 0; i < 100; ++i) {
    ASSERT_NO_THROW(LBuf.Write(LBlock)) << "round " << i;
    LBuf.Remove(4096);  // the head passes the growth factor: the array shrinks
    ASSERT_EQ(LBuf.Size(), 1);
  }
  EXPECT_EQ(LBuf.ExtractToUInt8(), 'x');
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

// Negative counts and offsets never move the head below zero nor touch memory outside the
// storage (the asan build checks the latter).
TEST(Buffer, NegativeCountsAndOffsetsChangeNothing) {
  TIdBuffer LBuf;
  LBuf.Write(B("abcdef"));
  int LReported = 0;
  LBuf.SetOnBytesRemoved([&](TIdBuffer*, int n) { LReported += n; });
  LBuf.Remove(-3);
  LBuf.Write(B("xyz"), -1, -2);
  LBuf.Write(B("xyz"), 2, -1);
  LBuf.Write(B("xyz"), -5, 1);  // -5 is not -1 but still "all": the clamp covers any negative
  TIdBytes LOut{'q'};
  LBuf.ExtractToBytes(LOut, -7);
  EXPECT_EQ(LOut, B("q"));
  EXPECT_EQ(LReported, 0);
  EXPECT_EQ(LBuf.ExtractToString(), "abcdefyz");
  LBuf.SetGrowthFactor(-100);
  EXPECT_EQ(LBuf.GrowthFactor(), 0);
  LBuf.Write(B("0123456789"));
  LBuf.Remove(4);
  EXPECT_EQ(LBuf.AsString(), "456789");
  LBuf.Clear();
  EXPECT_THROW(LBuf.SetCapacity(-4), EIdException);
}

// Random sequences of every operation, each checked against a plain double-ended queue.
TEST(Buffer, RandomOperationsMatchAPlainQueue) {
  std::mt19937 LRng(20261209);
  auto LPick = [&](int ALo, int AHi) { return std::uniform_int_distribution<int>(ALo, AHi)(LRng); };
  for (int LRound = 0; LRound < 200; ++LRound) {
    TIdBuffer LBuf(LPick(-8, 64));
    std::deque<uint8_t> LModel;
    for (int LStep = 0; LStep < 300; ++LStep) {
      const int LSize = static_cast<int>(LModel.size());
      SCOPED_TRACE(::testing::Message() << "round " << LRound << " step " << LStep);
      switch (LPick(0, 9)) {
        case 0: {  // append a range
          TIdBytes LIn(static_cast<size_t>(LPick(0, 40)));
          for (uint8_t& b : LIn) b = static_cast<uint8_t>(LPick(0, 255));
          const int LCount = static_cast<int>(LIn.size());
          const int LOffset = LPick(-3, LCount + 3), LLength = LPick(-3, LCount + 3);
          LBuf.Write(LIn, LLength, LOffset);
          if (LOffset >= 0 && LOffset < LCount) {
            const int LTake = LLength < 0 ? LCount - LOffset : std::min(LLength, LCount - LOffset);
            LModel.insert(LModel.end(), LIn.begin() + LOffset, LIn.begin() + LOffset + LTake);
          }
          break;
        }
        case 1: {  // typed value
          const auto LValue = static_cast<uint16_t>(LPick(0, 65535));
          LBuf.Write(LValue);
          LModel.push_back(static_cast<uint8_t>(LValue >> 8));
          LModel.push_back(static_cast<uint8_t>(LValue));
          break;
        }
        case 2: {
          const int n = LPick(-5, LSize + 5);
          LBuf.Remove(n);
          if (n > 0) LModel.erase(LModel.begin(), LModel.begin() + std::min(n, LSize));
          break;
        }
        case 3: {
          const int n = LPick(-3, LSize + 3);
          const bool LAppend = LPick(0, 1) == 1;
          TIdBytes LOut(static_cast<size_t>(LPick(0, 5)), 0xAA);
          TIdBytes LWant = LOut;
          const int LTake = n == -1 ? LSize : n;
          if (LTake > LSize) {
            EXPECT_THROW(LBuf.ExtractToBytes(LOut, n, LAppend), EIdNotEnoughDataInBuffer);
          } else {
            LBuf.ExtractToBytes(LOut, n, LAppend);
            if (LTake > 0) {
              if (LAppend) {
                LWant.insert(LWant.end(), LModel.begin(), LModel.begin() + LTake);
              } else {
                if (LWant.size() < static_cast<size_t>(LTake))
                  LWant.resize(static_cast<size_t>(LTake));
                std::copy(LModel.begin(), LModel.begin() + LTake, LWant.begin());
              }
              LModel.erase(LModel.begin(), LModel.begin() + LTake);
            }
          }
          EXPECT_EQ(LOut, LWant);
          break;
        }
        case 4: {
          const int n = LPick(-3, LSize + 3);
          const int LTake = n < 0 ? LSize : n;
          if (LTake > LSize) {
            EXPECT_THROW(LBuf.ExtractToString(n, &TEncoding::ANSI()), EIdNotEnoughDataInBuffer);
          } else {
            const TIdBytes LWant(LModel.begin(), LModel.begin() + LTake);
            EXPECT_EQ(LBuf.ExtractToString(n, &TEncoding::ANSI()),
                      TEncoding::ANSI().GetString(LWant));
            LModel.erase(LModel.begin(), LModel.begin() + LTake);
          }
          break;
        }
        case 5: {
          const int LStart = LPick(-2, LSize + 2);
          const auto LByte = static_cast<uint8_t>(LPick(0, 255));
          if (LSize == 0) {
            EXPECT_EQ(LBuf.IndexOf(LByte, LStart), -1);
          } else if (LStart < 0 || LStart >= LSize) {
            EXPECT_THROW(LBuf.IndexOf(LByte, LStart), EIdException);
          } else {
            const auto LAt = std::find(LModel.begin() + LStart, LModel.end(), LByte);
            EXPECT_EQ(LBuf.IndexOf(LByte, LStart),
                      LAt == LModel.end() ? -1 : static_cast<int>(LAt - LModel.begin()));
          }
          break;
        }
        case 6: {
          const int i = LPick(-2, LSize + 2);
          if (i < 0 || i >= LSize) {
            EXPECT_THROW(LBuf.PeekByte(i), EIdException);
          } else {
            EXPECT_EQ(LBuf.PeekByte(i), LModel[static_cast<size_t>(i)]);
          }
          break;
        }
        case 7: {
          const int LCapacity = LPick(-3, LSize + 10);
          if (LCapacity < LSize) {
            EXPECT_THROW(LBuf.SetCapacity(LCapacity), EIdException);
          } else {
            LBuf.SetCapacity(LCapacity);
          }
          break;
        }
        case 8:
          LBuf.SetGrowthFactor(LPick(-10, 20));
          break;
        case 9:
          LBuf.CompactHead(LPick(0, 1) == 1);
          break;
      }
      ASSERT_EQ(LBuf.Size(), static_cast<int>(LModel.size()));
      ASSERT_GE(LBuf.Capacity(), LBuf.Size());
      ASSERT_TRUE(std::equal(LModel.begin(), LModel.end(), LBuf.Data()));
    }
  }
}

TEST(ByteHelpers, ClampedLengths) {
  const TIdBytes L = B("abcde");
  EXPECT_EQ(IndyLength(L), 5);
  EXPECT_EQ(IndyLength(L, -1, 2), 3);
  EXPECT_EQ(IndyLength(L, 10, 2), 3);
  EXPECT_EQ(IndyLength(L, 2, 1), 2);
  EXPECT_EQ(IndyLength(L, 3, 9), 0);
  EXPECT_EQ(IndyLength(L, -1, -2), 0);
  EXPECT_EQ(IndyLength(L, 2, -1), 0);
  EXPECT_EQ(BytesToString(L, -1, 3), "");
  EXPECT_EQ(BytesToString(L, 1, 3), "bcd");
  EXPECT_EQ(BytesToString(L, 7, 3), "");
}

}  // namespace
