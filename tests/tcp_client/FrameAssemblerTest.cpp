// Frame assembly without a socket: reads in, frames out.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tcp_client/qorTCP_FrameAssembler.h"

namespace {

using TFrames = std::vector<std::string>;

TIdBytes B(const std::string& aText) {
  return TIdBytes(aText.begin(), aText.end());
}

class TAssembler {
 public:
  TFrames Read(const std::string& aBytes, TtcpEOFScanBuffer aMode, const std::string& aDelimiter) {
    FAssembler.Add(B(aBytes), aMode, B(aDelimiter));
    TFrames LFrames;
    TIdBytes LFrame;
    while (FAssembler.Next(LFrame)) LFrames.emplace_back(LFrame.begin(), LFrame.end());
    return LFrames;
  }
  size_t Pending() const { return FAssembler.PendingSize(); }

 private:
  TqorTCPFrameAssembler FAssembler;
};

// The frames of a stream read in the given pieces, all with one mode and delimiter.
TFrames FramesOf(const std::string& aStream, const std::vector<size_t>& aCuts,
                 TtcpEOFScanBuffer aMode, const std::string& aDelimiter) {
  TAssembler LAssembler;
  TFrames LFrames;
  size_t LFrom = 0;
  for (size_t LCut : aCuts) {
    for (auto& F : LAssembler.Read(aStream.substr(LFrom, LCut - LFrom), aMode, aDelimiter))
      LFrames.push_back(F);
    LFrom = LCut;
  }
  for (auto& F : LAssembler.Read(aStream.substr(LFrom), aMode, aDelimiter)) LFrames.push_back(F);
  return LFrames;
}

}  // namespace

TEST(FrameAssembler, EverySplitGivesTheFramesOfTheWholeBuffer) {
  // Delimiters whose prefix repeats inside them are the hard case for a resumed scan.
  const std::vector<std::pair<std::string, std::string>> LCases{
      {"a\r\nbb\r\n\r\nccc\r\r\nd", "\r\n"},
      {"xaabyaaabaabzaab", "aab"},
      {"||a|||b|", "||"},
      {"no delimiter at all", "#"},
  };
  for (const auto& [LStream, LDelimiter] : LCases) {
    const TFrames LWhole = FramesOf(LStream, {}, eofScanAllBytes, LDelimiter);
    for (size_t i = 0; i <= LStream.size(); ++i)
      for (size_t j = i; j <= LStream.size(); ++j)
        ASSERT_EQ(FramesOf(LStream, {i, j}, eofScanAllBytes, LDelimiter), LWhole)
            << LStream << " cut at " << i << " and " << j;
    std::mt19937 LRandom(7);
    for (int LRound = 0; LRound < 200; ++LRound) {
      std::vector<size_t> LCuts;
      for (size_t p = 0; p < LStream.size(); ++p)
        if (LRandom() % 3 == 0) LCuts.push_back(p);
      ASSERT_EQ(FramesOf(LStream, LCuts, eofScanAllBytes, LDelimiter), LWhole) << LStream;
    }
  }
  EXPECT_EQ(FramesOf("a\r\nbb\r\n\r\nccc\r\r\nd", {}, eofScanAllBytes, "\r\n"),
            (TFrames{"a\r\n", "bb\r\n", "\r\n", "ccc\r\r\n"}));
  EXPECT_EQ(FramesOf("xaabyaaabaabzaab", {}, eofScanAllBytes, "aab"),
            (TFrames{"xaab", "yaaab", "aab", "zaab"}));
}

TEST(FrameAssembler, NoneAndLatestBytesJudgeEachReadWhole) {
  TAssembler A;
  EXPECT_EQ(A.Read("ab\r\ncd", eofScanNone, "\r\n"), TFrames{"ab\r\ncd"});
  EXPECT_EQ(A.Read("", eofScanNone, ""), TFrames{});
  EXPECT_EQ(A.Read("abc\r\n", eofScanLatestBytes, "\r\n"), TFrames{"abc\r\n"});
  EXPECT_EQ(A.Read("abc", eofScanLatestBytes, "\r\n"), TFrames{});  // discarded
  EXPECT_EQ(A.Read("\n", eofScanLatestBytes, "\r\n"), TFrames{});   // shorter than it
  EXPECT_EQ(A.Read("x\r\n", eofScanLatestBytes, ""), TFrames{});
  EXPECT_EQ(A.Pending(), 0u);
}

// Bytes kept by eofScanAllBytes stay while reads of another mode pass, and are scanned from
// their start again for the delimiter in force when scanning resumes.
TEST(FrameAssembler, KeptBytesAreScannedAgainAfterAModeOrDelimiterChange) {
  TAssembler A;
  EXPECT_EQ(A.Read("one|two", eofScanAllBytes, "\r\n"), TFrames{});
  EXPECT_EQ(A.Read("whole", eofScanNone, "\r\n"), TFrames{"whole"});
  EXPECT_EQ(A.Read("", eofScanAllBytes, "|"), TFrames{"one|"});
  EXPECT_EQ(A.Read("|", eofScanAllBytes, "|"), TFrames{"two|"});

  TAssembler LSame;  // the same delimiter after another mode: the scan resumes correctly too
  EXPECT_EQ(LSame.Read("a\r", eofScanAllBytes, "\r\n"), TFrames{});
  EXPECT_EQ(LSame.Read("b", eofScanLatestBytes, "b"), TFrames{"b"});
  EXPECT_EQ(LSame.Read("\nc", eofScanAllBytes, "\r\n"), TFrames{"a\r\n"});
  EXPECT_EQ(LSame.Pending(), 1u);
}

TEST(FrameAssembler, AnEmptyDelimiterKeepsEverything) {
  TAssembler A;
  EXPECT_EQ(A.Read("abc", eofScanAllBytes, ""), TFrames{});
  EXPECT_EQ(A.Read("def", eofScanAllBytes, ""), TFrames{});
  EXPECT_EQ(A.Pending(), 6u);
  EXPECT_EQ(A.Read("\n", eofScanAllBytes, "\n"), TFrames{"abcdef\n"});
  EXPECT_EQ(A.Pending(), 0u);
}
