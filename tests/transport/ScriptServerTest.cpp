// The scripted loopback server that every test folder shares: its own failures must fail
// the test that ran it.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/Eventually.h"
#include "tests/support/ScriptServer.h"

namespace {

TEST(ScriptServer, AFailedSessionIsReportedToATestThatAsks) {
  TScriptServer<> LServer([](TScriptPeer& APeer) { APeer.Read(4, 2000); });
  const int fd = ConnectLoopback(static_cast<uint16_t>(LServer.Port()));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "ab", 2, MSG_NOSIGNAL), 2);
  ::close(fd);  // two bytes short
  ASSERT_TRUE(LServer.WaitFinished());
  EXPECT_TRUE(LServer.Failed());
  EXPECT_EQ(LServer.Failure(), "expected 4 bytes from the client");
}

TEST(ScriptServer, SessionsRunOneAfterAnotherAndSeeWhatWasSent) {
  std::string LGot;
  TScriptServer<> LServer([&](TScriptPeer& APeer) {
    LGot += APeer.Read(3);
    APeer.Send("ok");
  });
  for (int i = 0; i < 2; ++i) {
    const int fd = ConnectLoopback(static_cast<uint16_t>(LServer.Port()));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "abc", 3, MSG_NOSIGNAL), 3);
    char LAnswer[2];
    const TScriptPeer LClient(fd);
    EXPECT_TRUE(LClient.ReadExact(reinterpret_cast<uint8_t*>(LAnswer), 2));
    EXPECT_TRUE(LClient.WaitClosed()) << "the server ends the connection after the session";
    ::close(fd);
  }
  ASSERT_TRUE(LServer.WaitFinished(2));
  EXPECT_EQ(LServer.Accepted(), 2);
  EXPECT_EQ(LGot, "abcabc");
  EXPECT_FALSE(LServer.Failed());
}

// Nobody asked: the program ends with the reason, so the test cannot pass.
TEST(ScriptServerDeathTest, AnUncheckedFailureEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TGate LNever;
        TScriptServer<> LServer([&](TScriptPeer&) { LNever.Pass(50); });
        const int fd = ConnectLoopback(static_cast<uint16_t>(LServer.Port()));
        WaitUntil([&] { return LServer.Finished() == 1; });
        ::close(fd);
      },
      "scripted loopback peer failed: the gate was never opened");
}

}  // namespace
