#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "rcon/qorRCON_History.h"

namespace {

class History : public testing::Test {
 protected:
  void SetUp() override {
    Folder = std::filesystem::temp_directory_path() /
             ("qor-history-" + std::to_string(::getpid()) + "-" +
              testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(Folder);
    File = (Folder / "sub" / "history.txt").string();
  }
  void TearDown() override { std::filesystem::remove_all(Folder); }
  using V = std::vector<std::string>;
  std::filesystem::path Folder;
  std::string File;
};

TEST_F(History, KeepsTheNewestEntriesAcrossRuns) {
  {
    TqorRCON_History h(File, 3, false);
    for (const char* c : {"a", "b", "b", "", "c", "multi\nline", "d"}) h.Add(c);
    EXPECT_EQ(h.Items(), (V{"c", "multi line", "d"})) << "capped, repeats and empties dropped";
    EXPECT_TRUE(h.Unsaved());
    h.Save();
    EXPECT_FALSE(h.Unsaved());
    TqorRCON_History unsaved(File, 3, false);
    unsaved.Add("lost");
  }
  TqorRCON_History again(File, 3, false);
  EXPECT_EQ(again.Items(), (V{"c", "multi line", "d"}));
  TqorRCON_History smaller(File, 2, false);
  EXPECT_EQ(smaller.Items(), (V{"multi line", "d"}));
}

TEST_F(History, UniqueEntriesMoveToTheEnd) {
  TqorRCON_History h(File, 10, true);
  for (const char* s : {"x:1", "y:2", "x:1"}) h.Add(s);
  EXPECT_EQ(h.Items(), (V{"y:2", "x:1"}));
}

TEST_F(History, WalksLikeAShell) {
  TqorRCON_History h(File, 10, false);
  std::string line = "draft";
  EXPECT_FALSE(h.Older(line));
  EXPECT_FALSE(h.Newer(line));
  EXPECT_EQ(line, "draft");
  h.Add("one");
  h.Add("two");
  EXPECT_TRUE(h.Older(line));
  EXPECT_EQ(line, "two");
  EXPECT_TRUE(h.Older(line));
  EXPECT_EQ(line, "one");
  EXPECT_FALSE(h.Older(line));
  EXPECT_TRUE(h.Newer(line));
  EXPECT_TRUE(h.Newer(line));
  EXPECT_EQ(line, "draft");
  EXPECT_FALSE(h.Newer(line));
  // Adding puts the cursor back at the end.
  EXPECT_TRUE(h.Older(line));
  h.Add("three");
  line.clear();
  EXPECT_TRUE(h.Older(line));
  EXPECT_EQ(line, "three");
}

TEST_F(History, UnwritableFileOnlyLosesTheHistory) {
  std::filesystem::create_directories(Folder);
  std::ofstream(Folder / "blocker") << "a file where a folder should be";
  TqorRCON_History h((Folder / "blocker" / "history.txt").string(), 10, false);
  h.Add("kept in memory");
  EXPECT_NO_THROW(h.Save());
  EXPECT_EQ(h.Items(), V{"kept in memory"});
}

}  // namespace
