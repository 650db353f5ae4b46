#include <gtest/gtest.h>

#include <climits>

#include "platform/Exception.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"

namespace {

TBytes Text(const std::string& s) {
  return TBytes(s.begin(), s.end());
}

struct EncodeCase {
  const char* Name;
  std::string Body;
  int32_t ID;
  int32_t Type;
  TBytes Expected;
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
  *os << c.Name;
}

class PacketEncode : public testing::TestWithParam<EncodeCase> {};

TEST_P(PacketEncode, WireBytes) {
  const EncodeCase& c = GetParam();
  TqorRCON_Packet p;
  p.SetBody(c.Body);
  p.SetID(c.ID);
  p.SetPacketType(c.Type);
  EXPECT_EQ(p.WriteBytes(), c.Expected);
  EXPECT_EQ(p.PacketSize(), 0) << "encoding must not touch the size read from the wire";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PacketEncode,
    testing::Values(EncodeCase{"Help",
                               "help",
                               2,
                               2,
                               {0x0e, 0, 0, 0, 0x02, 0, 0, 0, 0x02, 0, 0, 0, 0x68, 0x65, 0x6c, 0x70,
                                0, 0}},
                    EncodeCase{"Empty", "", 7, 2, Cat({Int(10), Int(7), Int(2), {0, 0}})},
                    EncodeCase{"AuthNegativeID", "zulu", -1, 3,
                               Cat({Int(14), Int(-1), Int(3), Text("zulu"), {0, 0}})},
                    // Two-, three- and four-byte UTF-8 characters each become a single '?'.
                    EncodeCase{"NonASCII", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", 1, 2,
                               Cat({Int(15), Int(1), Int(2), Text("a???z"), {0, 0}})}),
    [](const testing::TestParamInfo<EncodeCase>& i) { return std::string(i.param.Name); });

TEST(Packet, NewPacketIsEmptyAndTerminatorIsNul) {
  TqorRCON_Packet p;
  EXPECT_EQ(p.Body(), "");
  EXPECT_EQ(p.ID(), 0);
  EXPECT_EQ(p.PacketType(), 0);
  EXPECT_EQ(p.PacketSize(), 0);
  EXPECT_EQ(p.EmptyString(), '\0');
}

TEST(Packet, DecodesConsecutivePacketsAndUTF8Bodies) {
  // Minecraft colour code (section sign) and a check mark: multi-byte UTF-8 on the wire.
  std::string body =
      "\xC2\xA7"
      "aGr\xC3\xBCn \xE2\x9C\x93";
  TBytes bytes = Cat({Int(int32_t(body.size()) + 10),
                      Int(5),
                      Int(0),
                      Text(body),
                      {0, 0},
                      Int(10),
                      Int(-1),
                      Int(2),
                      {0, 0}});
  TqorRCON_Packet p;
  int32_t offset = 0;
  p.ReadBytes(bytes, offset);
  EXPECT_EQ(p.Body(), body);
  EXPECT_EQ(p.ID(), 5);
  EXPECT_EQ(p.PacketType(), 0);
  EXPECT_EQ(p.PacketSize(), int32_t(body.size()) + 10);
  EXPECT_EQ(offset, int32_t(body.size()) + 14);

  p.ReadBytes(bytes, offset);
  EXPECT_EQ(p.Body(), "");
  EXPECT_EQ(p.ID(), -1);
  EXPECT_EQ(p.PacketType(), 2);
  EXPECT_EQ(offset, int32_t(bytes.size()));
}

TEST(Packet, InvalidUTF8BecomesReplacementCharacter) {
  TBytes bytes = Cat({Int(12), Int(1), Int(0), {'a', 0xFF}, {0, 0}});
  TqorRCON_Packet p;
  int32_t offset = 0;
  p.ReadBytes(bytes, offset);
  EXPECT_EQ(p.Body(), "a\xEF\xBF\xBD");
}

struct DecodeCase {
  const char* Name;
  TBytes Input;
  int32_t StartOffset;
  int32_t Size, ID, Type;
  std::string Body;
  int32_t EndOffset;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.Name;
}

class PacketDecode : public testing::TestWithParam<DecodeCase> {};

// A reused packet must not keep the previous body.
TEST_P(PacketDecode, Fields) {
  const DecodeCase& c = GetParam();
  TqorRCON_Packet p;
  p.SetBody("stale");
  int32_t offset = c.StartOffset;
  p.ReadBytes(c.Input, offset);
  EXPECT_EQ(p.PacketSize(), c.Size);
  EXPECT_EQ(p.ID(), c.ID);
  EXPECT_EQ(p.PacketType(), c.Type);
  EXPECT_EQ(p.Body(), c.Body);
  EXPECT_EQ(offset, c.EndOffset);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PacketDecode,
    testing::Values(
        // Size 10 or less: no body, but header and terminators are still stepped over.
        DecodeCase{"SizeTen", Cat({Int(10), Int(3), Int(1), {0, 0}}), 0, 10, 3, 1, "", 14},
        DecodeCase{"SizeBelowTen", Cat({Int(4), Int(3), Int(1), Text("xy")}), 0, 4, 3, 1, "", 14},
        DecodeCase{"NegativeSize", Cat({Int(-5), Int(3), Int(1)}), 0, -5, 3, 1, "", 14},
        DecodeCase{"MinimumSize", Cat({Int(INT_MIN), Int(3), Int(1)}), 0, INT_MIN, 3, 1, "", 14},
        // Fewer than 4 bytes for a field: it reads 0 and the offset does not move for it.
        DecodeCase{"ThreeBytes", {1, 2, 3}, 0, 0, 0, 0, "", 2},
        DecodeCase{"SizeOnly", Cat({Int(20), {9, 9}}), 0, 20, 0, 0, "\t\t", 8},
        DecodeCase{"Empty", {}, 0, 0, 0, 0, "", 2},
        // A body announced longer than the input is cut at the input's end.
        DecodeCase{"BodyTruncated", Cat({Int(100), Int(4), Int(0), Text("abc")}), 0, 100, 4, 0,
                   "abc", 17},
        DecodeCase{"HugeSize", Cat({Int(INT_MAX), Int(4), Int(0), Text("ab")}), 0, INT_MAX, 4, 0,
                   "ab", 16},
        DecodeCase{"OffsetAtEnd", Cat({Int(10), Int(3), Int(1)}), 12, 0, 0, 0, "", 14},
        DecodeCase{"OffsetNegative", Cat({Int(10), Int(3), Int(1)}), -4, 0, 0, 0, "", -2},
        DecodeCase{"OffsetInside", Cat({{0xAA, 0xBB}, Int(12), Int(8), Int(0), Text("ok"), {0, 0}}),
                   2, 12, 8, 0, "ok", 18}),
    [](const testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.Name); });

TEST(Packet, RoundTripKeepsFields) {
  TqorRCON_Packet out;
  out.SetBody("say hello world");
  out.SetID(123456789);
  out.SetPacketType(2);
  TBytes bytes = out.WriteBytes();
  TqorRCON_Packet in;
  int32_t offset = 0;
  in.ReadBytes(bytes, offset);
  EXPECT_EQ(in.Body(), out.Body());
  EXPECT_EQ(in.ID(), out.ID());
  EXPECT_EQ(in.PacketType(), out.PacketType());
  EXPECT_EQ(in.PacketSize() + 4, int32_t(bytes.size()));
  EXPECT_EQ(offset, int32_t(bytes.size()));
}

TEST(RCONOptions, AssignCopiesEverySettingAndRejectsOtherClasses) {
  TqorRCON_Options a, b;
  a.SetHost("example.test");
  a.SetPort(27015);
  a.SetPassword("secret");
  b.Assign(a);
  EXPECT_EQ(b.Host(), "example.test");
  EXPECT_EQ(b.Port(), 27015);
  EXPECT_EQ(b.Password(), "secret");

  TPersistent other;
  try {
    b.Assign(other);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TPersistent to a TqorRCON_Options");
  }
}

}  // namespace
