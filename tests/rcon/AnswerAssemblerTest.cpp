#include <gtest/gtest.h>

#include "rcon/qorRCON_AnswerAssembler.h"

namespace {

using TAnswer = TqorRCON_AnswerAssembler::TAnswer;

class AnswerAssembler : public testing::Test {
 protected:
  // Feeds one packet at time Now; returns the texts of the answers it completed.
  std::vector<std::string> Packet(int32_t aID, const std::string& aBody) {
    std::vector<TAnswer> done;
    A.PacketReceived(aID, reinterpret_cast<const uint8_t*>(aBody.data()), aBody.size(), Now, done);
    return Texts(done);
  }
  std::vector<std::string> CheckAt(uint32_t aNow) {
    Now = aNow;
    std::vector<TAnswer> done;
    A.Check(Now, done, Overdue);
    return Texts(done);
  }
  void Command(int32_t aID, const std::string& aText = "cmd") {
    A.CommandSent(aID, aText, A.WantsFence(), Now);
  }
  static std::vector<std::string> Texts(const std::vector<TAnswer>& aDone) {
    std::vector<std::string> out;
    for (const TAnswer& a : aDone) out.push_back(a.Text);
    return out;
  }
  static int32_t Fence(int32_t aID) { return TqorRCON_AnswerAssembler::FenceID(aID); }

  TqorRCON_AnswerAssembler A;
  std::vector<TqorRCON_AnswerAssembler::TOverdue> Overdue;
  uint32_t Now = 1000;
  using V = std::vector<std::string>;
};

const std::string kFull(4096, 'a');
const std::string kSourceTail("\0\1\0\0", 4);

TEST_F(AnswerAssembler, SourceLikeFencedAnswersJoinAtTheMirror) {
  A.AuthenticationSent(1);
  EXPECT_EQ(Packet(1, ""), V{}) << "the empty packet before the authentication response";
  A.AuthenticationAnswered();

  // A long answer cut at 4096 bytes, the last piece short.
  Command(2);
  EXPECT_EQ(Packet(2, kFull), V{});
  EXPECT_EQ(Packet(2, kFull), V{});
  EXPECT_EQ(Packet(2, "end"), V{kFull + kFull + "end"}) << "a short piece ends it at once";
  EXPECT_EQ(Packet(Fence(2), ""), V{});
  EXPECT_EQ(Packet(Fence(2), kSourceTail), V{});

  // Now the fence is known to work, even an answer of exactly 4096 bytes ends at once.
  Command(3);
  EXPECT_EQ(Packet(3, kFull), V{});
  EXPECT_EQ(Packet(Fence(3), ""), V{kFull});
  EXPECT_EQ(Packet(Fence(3), kSourceTail), V{});
  EXPECT_EQ(A.OpenCount(), 0u);
  EXPECT_TRUE(A.WantsFence());

  // A command without output: one empty packet, then the fence.
  Command(4);
  EXPECT_EQ(Packet(4, ""), V{});
  EXPECT_EQ(Packet(Fence(4), ""), V{""});
  EXPECT_EQ(Packet(Fence(4), kSourceTail), V{});
  EXPECT_EQ(CheckAt(Now + 60000), V{});
  EXPECT_TRUE(Overdue.empty());
}

TEST_F(AnswerAssembler, MinecraftLikeFenceIsAnsweredAsUnknownRequest) {
  Command(2);
  EXPECT_EQ(Packet(2, kFull), V{});
  EXPECT_EQ(Packet(Fence(2), "Unknown request 0"), V{kFull}) << "exactly 4096 bytes";
  // Several requests outstanding, answered in order.
  Command(3, "a");
  Command(4, "b");
  EXPECT_EQ(Packet(3, "one"), V{});
  EXPECT_EQ(Packet(4, "two"), V{"one"}) << "the next request's packet ends the one before";
  EXPECT_EQ(Packet(Fence(4), "Unknown request 0"), V{"two"});
  EXPECT_EQ(A.OpenCount(), 0u);
}

TEST_F(AnswerAssembler, MultiByteCharacterAcrossAJoinSurvives) {
  // 4095 ASCII bytes and the first byte of "ü" in one packet, its second byte in the next.
  std::string first(4095, 'x');
  first += '\xC3';
  Command(2);
  EXPECT_EQ(Packet(2, first), V{});
  EXPECT_EQ(Packet(2, "\xBC tail"), V{std::string(4095, 'x') + "\xC3\xBC tail"});

  // Minecraft counts characters: 4096 two-byte characters are one full packet of 8192 bytes.
  std::string umlauts;
  for (int i = 0; i < 4096; ++i) umlauts += "\xC3\xBC";
  Command(3);
  EXPECT_EQ(Packet(3, umlauts), V{});
  EXPECT_EQ(Packet(3, "!"), V{umlauts + "!"});
  // 4000 two-byte characters are 8000 bytes, over the byte size: also kept open.
  Command(5);
  EXPECT_EQ(Packet(5, umlauts.substr(0, 8000)), V{});
  EXPECT_EQ(CheckAt(Now + TqorRCON_AnswerAssembler::QuietPeriodMs), V{umlauts.substr(0, 8000)});
}

TEST_F(AnswerAssembler, WithoutFenceAFullPacketEndsAfterTheQuietPeriod) {
  A.CommandSent(2, "long", false, Now);
  EXPECT_EQ(Packet(2, kFull), V{});
  EXPECT_EQ(CheckAt(Now + TqorRCON_AnswerAssembler::QuietPeriodMs - 1), V{});
  EXPECT_EQ(Packet(2, kFull), V{}) << "a new packet restarts the quiet period";
  EXPECT_EQ(CheckAt(Now + TqorRCON_AnswerAssembler::QuietPeriodMs - 1), V{});
  EXPECT_EQ(CheckAt(Now + 1), V{kFull + kFull});
  EXPECT_EQ(A.OpenCount(), 0u);
}

TEST_F(AnswerAssembler, ServerThatAnswersEverythingWithOneID) {
  // Minecraft-like with a fixed ID 42: the fence reply is recognised by its text, and no
  // further fences are asked for.
  Command(2);
  EXPECT_EQ(Packet(42, "first"), V{"first"});
  EXPECT_FALSE(A.WantsFence());
  EXPECT_EQ(Packet(42, "Unknown request 0"), V{});
  Command(3);
  EXPECT_EQ(Packet(42, kFull), V{});
  EXPECT_EQ(Packet(42, "rest"), V{kFull + "rest"});
  Command(4);
  EXPECT_EQ(Packet(42, kFull), V{});
  EXPECT_EQ(CheckAt(Now + TqorRCON_AnswerAssembler::QuietPeriodMs), V{kFull});
  EXPECT_EQ(A.OpenCount(), 0u);
}

TEST_F(AnswerAssembler, SourceLikeServerWithIDZero) {
  Command(2);
  EXPECT_EQ(Packet(0, kFull), V{});
  // Its fence comes back under ID 0 as well: the mirror ends the cut answer.
  EXPECT_EQ(Packet(0, ""), V{kFull});
  EXPECT_EQ(Packet(0, kSourceTail), V{});
  Command(3);
  EXPECT_EQ(Packet(0, "next"), V{"next"});
  EXPECT_EQ(A.OpenCount(), 0u);
}

TEST_F(AnswerAssembler, UnsolicitedPacketsAreAnswersOfTheirOwn) {
  EXPECT_EQ(Packet(7, "server says hi"), V{"server says hi"});
  A.AuthenticationSent(1);
  EXPECT_EQ(Packet(1, "not empty"), V{"not empty"}) << "only the empty pre-auth packet is hidden";
  A.AuthenticationAnswered();
  EXPECT_EQ(Packet(1, ""), V{""}) << "after authentication an empty packet is an answer";
  // Invalid UTF-8 is replaced, not passed on.
  EXPECT_EQ(Packet(9, "a\xFF"), V{"a\xEF\xBF\xBD"});
  EXPECT_EQ(Packet(9, "\xF0\x9F\x98\x80 \xE2\x82\xAC"), V{"\xF0\x9F\x98\x80 \xE2\x82\xAC"});
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "x\xE2\x82", "\xF4\x90\x80\x80", "\x80"}) {
    const std::vector<std::string> got = Packet(9, bad);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("\xEF\xBF\xBD"), std::string::npos) << "repaired: " << bad;
  }
}

TEST_F(AnswerAssembler, CommandWithoutAnyAnswerIsReportedOnceAfterTenSeconds) {
  Command(2, "hang");
  EXPECT_EQ(CheckAt(Now + TqorRCON_AnswerAssembler::DefaultOverdueMs - 1), V{});
  EXPECT_TRUE(Overdue.empty());
  CheckAt(Now + 1);
  ASSERT_EQ(Overdue.size(), 1u);
  EXPECT_EQ(Overdue[0].ID, 2);
  EXPECT_EQ(Overdue[0].Command, "hang");
  CheckAt(Now + 5000);
  EXPECT_EQ(Overdue.size(), 1u) << "reported once";
  // A late answer still arrives as the command's answer.
  std::vector<TAnswer> done;
  A.PacketReceived(2, reinterpret_cast<const uint8_t*>("late"), 4, Now, done);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].Command, "hang");
  EXPECT_EQ(done[0].Text, "late");
  A.Reset();
  Command(3);
  EXPECT_EQ(A.OpenCount(), 1u);
  A.Reset();
  EXPECT_EQ(A.OpenCount(), 0u);
}

TEST_F(AnswerAssembler, AnotherOverdueTimeHoldsAcrossConnections) {
  A.SetOverdueMs(300);
  A.Reset();
  Command(2, "hang");
  CheckAt(Now + 299);
  EXPECT_TRUE(Overdue.empty());
  CheckAt(Now + 1);
  ASSERT_EQ(Overdue.size(), 1u);
  EXPECT_EQ(Overdue[0].Command, "hang");
}

TEST_F(AnswerAssembler, LostFenceReplyDoesNotHoldTheAnswer) {
  Command(2);
  EXPECT_EQ(Packet(2, "a"), V{"a"});
  EXPECT_EQ(Packet(Fence(2), ""), V{});  // fences work on this connection
  Command(3);
  EXPECT_EQ(Packet(3, "b"), V{}) << "waits for its fence";
  EXPECT_EQ(CheckAt(Now + 1999), V{});
  EXPECT_EQ(CheckAt(Now + 1), V{"b"});
}

// A server that answers and closes (Minecraft's "stop") sends no fence reply: what arrived of
// the answer is all there is, and nothing stays open for the next connection.
TEST_F(AnswerAssembler, ConnectionEndKeepsAnAnswerThatHasBegun) {
  Command(2);
  EXPECT_EQ(Packet(2, "x"), V{"x"});
  EXPECT_EQ(Packet(Fence(2), "Unknown request 0"), V{});
  Command(3, "stop");
  Command(4, "never answered");
  EXPECT_EQ(Packet(3, "Stopping the server"), V{}) << "a fenced answer waits for its fence";
  std::vector<TAnswer> done;
  A.ConnectionEnded(done);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].Command, "stop");
  EXPECT_EQ(done[0].Text, "Stopping the server");
  EXPECT_EQ(A.OpenCount(), 0u);
  done.clear();
  A.ConnectionEnded(done);
  EXPECT_TRUE(done.empty());
}

}  // namespace

// With nobody to hand whole answers to, no text is joined, yet answers end where they would.
TEST_F(AnswerAssembler, WithoutTextAnswersEndAtTheSamePackets) {
  auto LRun = [](bool aKeepText) {
    TqorRCON_AnswerAssembler LA;
    std::vector<std::pair<int32_t, std::string>> LEnds;
    auto LFeed = [&](int32_t aID, const std::string& aBody, uint32_t aNow) {
      std::vector<TAnswer> LDone;
      LA.PacketReceived(aID, reinterpret_cast<const uint8_t*>(aBody.data()), aBody.size(), aNow,
                        LDone, aKeepText);
      for (const TAnswer& a : LDone) LEnds.emplace_back(a.ID, a.Text);
    };
    LA.CommandSent(2, "status", false, 1000);
    LA.CommandSent(3, "users", false, 1000);
    LFeed(2, kFull, 1001);
    LFeed(2, "tail", 1002);
    LFeed(3, kFull, 1003);
    LFeed(9, "unasked", 1004);
    std::vector<TAnswer> LDone;
    std::vector<TqorRCON_AnswerAssembler::TOverdue> LOverdue;
    LA.Check(1003 + TqorRCON_AnswerAssembler::QuietPeriodMs, LDone, LOverdue);
    for (const TAnswer& a : LDone) LEnds.emplace_back(a.ID, a.Text);
    return LEnds;
  };
  using TEnds = std::vector<std::pair<int32_t, std::string>>;
  EXPECT_EQ(LRun(true), (TEnds{{2, kFull + "tail"}, {3, kFull + "unasked"}}));
  EXPECT_EQ(LRun(false), (TEnds{{2, ""}, {3, ""}}));
}
