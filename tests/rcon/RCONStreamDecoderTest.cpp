// The RCON stream decoder without a socket: bytes in, in pieces of any size; packets out.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"

namespace {

struct TDecoded {
  int32_t ID, Type;
  std::string Body;
  std::string RawBody;
  bool operator==(const TDecoded&) const = default;
};

TDecoded Decoded(int32_t aID, int32_t aType, const std::string& aBody) {
  return {aID, aType, aBody, aBody};
}

// Feeds the stream in the pieces the cuts give (by the moving Add where aMove says so) and
// collects every packet with its raw body.
std::vector<TDecoded> Decode(const TBytes& aStream, const std::vector<size_t>& aCuts,
                             const std::function<bool(size_t)>& aMove = {}) {
  TqorRCON_StreamDecoder LDecoder(TqorLib_RCON_Client::MaxPacketSize);
  std::vector<TDecoded> LOut;
  size_t LFrom = 0, LPiece = 0;
  auto LFeed = [&](size_t aTo) {
    if (aMove && aMove(LPiece++))
      LDecoder.Add(TBytes(aStream.data() + LFrom, aStream.data() + aTo));
    else
      LDecoder.Add(aStream.data() + LFrom, aTo - LFrom);
    LFrom = aTo;
    TqorRCON_Packet LPacket;
    TqorRCON_StreamDecoder::TRawBody LRaw;
    while (LDecoder.Next(LPacket, &LRaw))
      LOut.push_back({LPacket.ID(), LPacket.PacketType(), LPacket.Body(),
                      std::string(reinterpret_cast<const char*>(LRaw.Data), LRaw.Size)});
  };
  for (size_t LCut : aCuts) LFeed(LCut);
  LFeed(aStream.size());
  return LOut;
}

}  // namespace

TEST(RCONStreamDecoder, EverySplitGivesThePacketsOfTheWholeStream) {
  const TBytes LStream =
      Cat({WirePacket(1, 0, ""), WirePacket(1, 2, ""), WirePacket(7, 0, "answer \xC3\xBC"),
           WirePacket(-1, 2, ""), WirePacket(9, 0, std::string(300, 'x'))});
  const std::vector<TDecoded> LWhole = Decode(LStream, {});
  ASSERT_EQ(LWhole, (std::vector<TDecoded>{Decoded(1, 0, ""), Decoded(1, 2, ""),
                                           Decoded(7, 0, "answer \xC3\xBC"), Decoded(-1, 2, ""),
                                           Decoded(9, 0, std::string(300, 'x'))}));
  const auto LEveryOther = [](size_t aPiece) { return aPiece % 2 == 1; };
  for (size_t i = 0; i <= LStream.size(); ++i)
    for (size_t j = i; j <= LStream.size(); j += 7) {
      ASSERT_EQ(Decode(LStream, {i, j}), LWhole) << "cut at " << i << " and " << j;
      ASSERT_EQ(Decode(LStream, {i, j}, LEveryOther), LWhole) << "cut at " << i << " and " << j;
    }
  std::mt19937 LRandom(11);
  for (int LRound = 0; LRound < 200; ++LRound) {
    std::vector<size_t> LCuts;
    for (size_t p = 0; p < LStream.size(); ++p)
      if (LRandom() % 5 == 0) LCuts.push_back(p);
    ASSERT_EQ(Decode(LStream, LCuts, [&](size_t) { return LRandom() % 2 == 0; }), LWhole);
  }
}

// Large packets arrive as many reads, taken over or copied; the room reserved for a packet
// announced by its size field must not disturb the packets around it.
TEST(RCONStreamDecoder, LargePacketsInReadSizedPiecesKeepEveryByte) {
  std::string LBig;
  for (int i = 0; LBig.size() < 300000; ++i)
    LBig += "line " + std::to_string(i) + " \xE2\x9C\x93\n";
  const TBytes LStream = Cat({WirePacket(2, 0, "a"), WirePacket(3, 0, LBig), WirePacket(4, 0, "b"),
                              WirePacket(5, 0, LBig.substr(1000)), WirePacket(6, 2, "")});
  const std::vector<TDecoded> LWhole = Decode(LStream, {});
  ASSERT_EQ(LWhole,
            (std::vector<TDecoded>{Decoded(2, 0, "a"), Decoded(3, 0, LBig), Decoded(4, 0, "b"),
                                   Decoded(5, 0, LBig.substr(1000)), Decoded(6, 2, "")}));
  for (size_t LPiece : {1000u, 32768u, 65536u, 100003u}) {
    std::vector<size_t> LCuts;
    for (size_t p = LPiece; p < LStream.size(); p += LPiece) LCuts.push_back(p);
    EXPECT_EQ(Decode(LStream, LCuts, [](size_t) { return true; }), LWhole) << LPiece;
    EXPECT_EQ(Decode(LStream, LCuts, [](size_t a) { return a % 3 == 0; }), LWhole) << LPiece;
  }
}

TEST(RCONStreamDecoder, AnOutOfStepSizeDropsWhatIsBuffered) {
  TqorRCON_StreamDecoder LDecoder(TqorLib_RCON_Client::MaxPacketSize);
  const TBytes LBad = Cat({Int(9), Int(1), Int(0), WirePacket(2, 0, "lost")});
  LDecoder.Add(LBad.data(), LBad.size());
  TqorRCON_Packet LPacket;
  EXPECT_THROW(LDecoder.Next(LPacket), EqorRCONProtocolError);
  EXPECT_EQ(LDecoder.Buffered(), 0u);
  const TBytes LGood = WirePacket(3, 0, "fine");
  LDecoder.Add(LGood.data(), LGood.size());
  ASSERT_TRUE(LDecoder.Next(LPacket));
  EXPECT_EQ(LPacket.Body(), "fine");
  EXPECT_FALSE(LDecoder.Next(LPacket));
}
