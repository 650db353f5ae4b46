#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "platform/Base64.h"
#include "platform/DateTime.h"
#include "platform/Exception.h"
#include "platform/FileStream.h"

namespace {

TBytes B(const std::string& s) {
  return TBytes(s.begin(), s.end());
}

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(EncodeBase64(B(plain)), coded) << plain;
    EXPECT_EQ(DecodeBase64(coded), B(plain)) << coded;
  }
}

TEST(Base64, AllByteValuesRoundTripWithTheUpperAlphabet) {
  TBytes all;
  for (int i = 0; i < 256; ++i) all.push_back(uint8_t(i));
  const std::string coded = EncodeBase64(all);
  EXPECT_EQ(coded.size(), 344u);
  EXPECT_EQ(coded.find('\n'), std::string::npos);
  EXPECT_EQ(DecodeBase64(coded), all);
  EXPECT_EQ(EncodeBase64(TBytes{0xFB, 0xFF}), "+/8=");
}

TEST(Base64, MalformedTextIsRefused) {
  for (const char* bad : {"Zg=", "Z===", "Zh==", "Zm9*", "Zg==Zg==", "=Zg="}) {
    EXPECT_THROW(DecodeBase64(bad), EConvertError) << bad;
  }
}

class AppendFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qor_append_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    FDir = tmpl;
    FName = FDir + "/traffic.log";
  }
  void TearDown() override {
    unlink(FName.c_str());
    rmdir(FDir.c_str());
  }
  std::string Contents() const {
    std::ifstream f(FName, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string FDir, FName;
};

TEST_F(AppendFile, CreatedWithTheGivenModeAndAppendedNeverTruncated) {
  const mode_t old = umask(022);
  {
    std::unique_ptr<TFileStream> f(TFileStream::OpenForAppend(FName, 0600));
    f->WriteBuffer("one\r\n", 5);
  }
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat(FName.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  {
    std::unique_ptr<TFileStream> f(TFileStream::OpenForAppend(FName, 0600));
    EXPECT_EQ(f->Position(), 5);
    f->WriteBuffer("two\r\n", 5);
    EXPECT_EQ(f->Size(), 10);
  }
  EXPECT_EQ(Contents(), "one\r\ntwo\r\n");
}

TEST_F(AppendFile, SecondWriterIsExcludedUntilTheFirstCloses) {
  std::unique_ptr<TFileStream> first(TFileStream::OpenForAppend(FName));
  try {
    delete TFileStream::OpenForAppend(FName);
    FAIL() << "a second writer got the file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + FName + "\". ", 0), 0u)
        << e.what();
  }
  first.reset();
  std::unique_ptr<TFileStream> again(TFileStream::OpenForAppend(FName));
  EXPECT_NE(again, nullptr);
}

TEST_F(AppendFile, MissingFolderFailsWithTheCreateError) {
  const std::string name = FDir + "/no/such/folder.log";
  try {
    delete TFileStream::OpenForAppend(name);
    FAIL() << "opened a file in a missing folder";
  } catch (const EFCreateError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot create file \"" + name + "\"."),
              std::string::npos);
  }
}

TEST(DateTime, LocalTimeAsFixedFormatText) {
  const TDateTime t = Now();
  const std::string text = DateTimeToStr(t);
  ASSERT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << text;
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&tt, &local);
  EXPECT_EQ(std::stoi(text.substr(0, 4)), local.tm_year + 1900);
  EXPECT_EQ(std::stoi(text.substr(11, 2)), local.tm_hour);
  EXPECT_EQ(std::stoi(text.substr(17, 2)), local.tm_sec);
}

}  // namespace
