#include <gtest/gtest.h>

#include "tests/rcon/RCONTestServer.h"
#include "tests/support/ChildProcess.h"

namespace {

// A plain client socket on the demo server.
class TDemoClient {
 public:
  explicit TDemoClient(int aPort) : FFd(ConnectLoopback(uint16_t(aPort))), Peer(FFd) {
    if (FFd < 0) throw std::runtime_error("connect failed");
  }
  ~TDemoClient() { close(FFd); }
  TWirePacket Ask(int32_t aID, int32_t aType, const std::string& aBody) {
    Peer.Send(WirePacket(aID, aType, aBody));
    TWirePacket p;
    EXPECT_TRUE(Peer.Receive(p));
    return p;
  }

 private:
  int FFd;

 public:
  TPeer Peer;
};

TEST(DemoServer, ServesSeveralClientsAndDropsOnlyTheOneSendingGarbage) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  TDemoClient good(server.Port()), bad(server.Port());
  EXPECT_EQ(good.Ask(1, 3, "zulu").ID, 1);
  EXPECT_EQ(bad.Ask(1, 3, "wrong").ID, -1);
  bad.Peer.Send(Cat({Int(0x7FFFFFFF), Int(2), Int(2)}));
  EXPECT_TRUE(bad.Peer.WaitClosed());

  TWirePacket echo = good.Ask(2, 2, "echo caf\xC3\xA9");
  EXPECT_EQ(echo.ID, 2);
  EXPECT_EQ(echo.Type, 0);
  EXPECT_EQ(echo.Body, "caf\xC3\xA9");
  EXPECT_EQ(good.Ask(3, 2, "frobnicate").Body,
            "Unknown command \"frobnicate\". Type \"help\" for help.");

  // 10000 bytes arrive as 4096 + 4096 + 1808 under the request's ID.
  std::vector<size_t> parts{good.Ask(4, 2, "long").Body.size()};
  for (int i = 0; i < 2; ++i) {
    TWirePacket p;
    ASSERT_TRUE(good.Peer.Receive(p));
    EXPECT_EQ(p.ID, 4);
    parts.push_back(p.Body.size());
  }
  EXPECT_EQ(parts, (std::vector<size_t>{4096, 4096, 1808}));
  EXPECT_EQ(good.Ask(5, 2, "colours")
                .Body.rfind("\xC2\xA7"
                            "6Welcome to the \xC2\xA7lqorRCON",
                            0),
            0u);
  // Without --source an end-of-answer fence is answered as Minecraft does.
  EXPECT_EQ(good.Ask(6, 0, "").Body, "Unknown request 0");
}

// Input that follows "quit" (a client's end-of-answer fence) may still be unread when the
// server closes: the close must be an end of stream, not a reset that could destroy the
// answer on its way.
TEST(DemoServer, QuitEndsTheStreamEvenWithUnreadInput) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  TDemoClient client(server.Port());
  EXPECT_EQ(client.Ask(1, 3, "zulu").ID, 1);
  // More than one read takes: the rest is still in the server's socket when it has answered.
  TBytes LInput = WirePacket(2, 2, "quit");
  LInput.resize(LInput.size() + 512 * 1024, 0);
  ASSERT_NO_THROW(client.Peer.Send(LInput));
  TWirePacket bye;
  ASSERT_TRUE(client.Peer.Receive(bye));
  EXPECT_EQ(bye.Body, "Bye.");
  EXPECT_TRUE(client.Peer.WaitClosed()) << "the server reset the connection";
}

TEST(DemoServer, SourceStyleSendsEmptyResponseBeforeAuth) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER, {"--source", "--password", "pw"});
  TDemoClient client(server.Port());
  TWirePacket first = client.Ask(7, 3, "pw"), second;
  ASSERT_TRUE(client.Peer.Receive(second));
  EXPECT_EQ((std::vector<int32_t>{first.Type, first.ID, second.Type, second.ID}),
            (std::vector<int32_t>{0, 7, 2, 7}));
  EXPECT_EQ(first.Body, "");
}

}  // namespace
