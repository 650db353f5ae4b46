// The RCON stream decoder without a socket: bytes in, in pieces of any size; packets out.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"

namespace {

struct TDecoded {
  int32_t ID, Type;
  std::string Body;
  bool operator==(const TDecoded&) const = default;
};

// Feeds the stream in the pieces the cuts give and collects every packet.
std::vector<TDecoded> Decode(const TBytes& aStream, const std::vector<size_t>& aCuts) {
  TqorRCON_StreamDecoder LDecoder(TqorLib_RCON_Client::MaxPacketSize);
  std::vector<TDecoded> LOut;
  size_t LFrom = 0;
  auto LFeed = [&](size_t aTo) {
    LDecoder.Add(aStream.data() + LFrom, aTo - LFrom);
    LFrom = aTo;
    TqorRCON_Packet LPacket;
    while (LDecoder.Next(LPacket))
      LOut.push_back({LPacket.ID(), LPacket.PacketType(), LPacket.Body()});
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
  ASSERT_EQ(LWhole, (std::vector<TDecoded>{{1, 0, ""},
                                           {1, 2, ""},
                                           {7, 0, "answer \xC3\xBC"},
                                           {-1, 2, ""},
                                           {9, 0, std::string(300, 'x')}}));
  for (size_t i = 0; i <= LStream.size(); ++i)
    for (size_t j = i; j <= LStream.size(); j += 7)
      ASSERT_EQ(Decode(LStream, {i, j}), LWhole) << "cut at " << i << " and " << j;
  std::mt19937 LRandom(11);
  for (int LRound = 0; LRound < 200; ++LRound) {
    std::vector<size_t> LCuts;
    for (size_t p = 0; p < LStream.size(); ++p)
      if (LRandom() % 5 == 0) LCuts.push_back(p);
    ASSERT_EQ(Decode(LStream, LCuts), LWhole);
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
