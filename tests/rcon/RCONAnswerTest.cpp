// Whole answers through the component over loopback: fences on the wire, packets joined
// whatever the TCP deliveries, UTF-8 commands.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/rcon/RCONTestServer.h"
#include "tests/support/Eventually.h"

namespace {

const std::string kFull(4096, 'a');

class RCONAnswers : public testing::Test {
 protected:
  void SetUp() override {
    RCON = std::make_unique<TqorLib_RCON>(nullptr);
    RCON->SetNotifyEvents(neAsynchronous);
    RCON->SetSendFences(true);
    RCON->SetOnAuthenticate(
        [this](TComponent*, bool ok, const TqorRCON_Packet&) { Authenticated = ok; });
    RCON->SetOnResponse(
        [this](TComponent*, const std::string&, const TqorRCON_Packet&) { ++Packets; });
    RCON->SetOnResponseComplete(
        [this](TComponent*, int32_t, const std::string& aCommand, const std::string& aText) {
          Answers.push_back(aCommand + "=" + aText);
        });
    RCON->SetOnException(
        [this](TComponent*, Exception& e) { Answers.push_back("!" + e.Message()); });
  }
  void TearDown() override {
    RCON.reset();
    Server.reset();
    EXPECT_FALSE(PeerFailed) << "the scripted server failed: " << PeerFailure;
  }

  // Runs aSession after the authentication exchange; aPreAuth: the Source empty packet first.
  void Serve(bool aPreAuth, std::function<void(TPeer&)> aSession) {
    Server = std::make_unique<TRCONTestServer>([this, aPreAuth, aSession](TPeer& peer) {
      TWirePacket auth;
      if (!Expect(peer.Receive(auth) && auth.Type == 3, "no authentication request")) return;
      peer.Send(aPreAuth ? Cat({WirePacket(auth.ID, 0, ""), WirePacket(auth.ID, 2, "")})
                         : WirePacket(auth.ID, 2, ""));
      aSession(peer);
    });
    RCON->RCON_Options()->SetHost("127.0.0.1");
    RCON->RCON_Options()->SetPort(Server->Port());
    RCON->RCON_Options()->SetPassword("zulu");
    RCON->SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return Authenticated; }, 10000));
  }
  // Reads a command and, when fenced, its fence; records the command's wire bytes.
  bool ReadCommand(TPeer& aPeer, TWirePacket& aCommand, bool aFence = true) {
    if (!Expect(aPeer.Receive(aCommand) && aCommand.Type == 2, "no command")) return false;
    {
      std::lock_guard<std::mutex> g(Lock);
      Wire.push_back(aCommand.Raw);
    }
    if (!aFence) return true;
    TWirePacket fence;
    return Expect(aPeer.Receive(fence) && fence.Type == 0 && fence.Body.empty() &&
                      fence.ID == TqorRCON_AnswerAssembler::FenceID(aCommand.ID),
                  "no fence after the command");
  }
  bool Expect(bool aOk, const char* aWhat) {
    if (!aOk && !PeerFailed.exchange(true)) PeerFailure = aWhat;
    return aOk;
  }
  bool WaitAnswers(size_t aCount) {
    return PumpUntil(
        [&] {
          RCON->CheckResponses();
          return Answers.size() >= aCount;
        },
        10000);
  }

  std::unique_ptr<TRCONTestServer> Server;
  std::unique_ptr<TqorLib_RCON> RCON;
  bool Authenticated = false;
  int Packets = 0;
  std::vector<std::string> Answers;
  std::mutex Lock;
  std::vector<TBytes> Wire;
  std::atomic<bool> PeerFailed{false};
  const char* PeerFailure = "";
};

TEST_F(RCONAnswers, SourceLikeServerInOneSendAndInPieces) {
  Serve(true, [&](TPeer& peer) {
    TWirePacket cmd;
    if (!ReadCommand(peer, cmd)) return;
    const int32_t fence = TqorRCON_AnswerAssembler::FenceID(cmd.ID);
    // Everything in one send: answer of three packets, the mirror, the 00 01 00 00 tail.
    peer.Send(Cat({WirePacket(cmd.ID, 0, kFull), WirePacket(cmd.ID, 0, kFull),
                   WirePacket(cmd.ID, 0, "end"), WirePacket(fence, 0, ""),
                   WirePacket(fence, 0, std::string("\0\1\0\0", 4))}));
    if (!ReadCommand(peer, cmd)) return;
    // Exactly 4096 bytes, delivered in small pieces that cut headers and bodies.
    TBytes all = Cat(
        {WirePacket(cmd.ID, 0, kFull), WirePacket(TqorRCON_AnswerAssembler::FenceID(cmd.ID), 0, ""),
         WirePacket(TqorRCON_AnswerAssembler::FenceID(cmd.ID), 0, std::string("\0\1\0\0", 4))});
    for (size_t at = 0; at < all.size(); at += 1000)
      peer.Send(
          TBytes(all.begin() + long(at), all.begin() + long(std::min(all.size(), at + 1000))));
    peer.WaitClosed();
  });
  EXPECT_EQ(Packets, 1) << "the empty packet before authentication is still an OnResponse";
  RCON->ExecCommand("cvarlist");
  ASSERT_TRUE(WaitAnswers(1));
  RCON->ExecCommand("status");
  ASSERT_TRUE(WaitAnswers(2));
  EXPECT_EQ(Answers,
            (std::vector<std::string>{"cvarlist=" + kFull + kFull + "end", "status=" + kFull}));
  EXPECT_EQ(Packets, 1 + 5 + 3) << "one OnResponse per packet, fence replies included";
  EXPECT_EQ(RCON->OpenResponses(), 0u);
}

TEST_F(RCONAnswers, MinecraftLikeServerWithUTF8) {
  std::string umlauts;
  for (int i = 0; i < 4096; ++i) umlauts += "\xC3\xBC";
  Serve(false, [&](TPeer& peer) {
    TWirePacket cmd;
    if (!ReadCommand(peer, cmd)) return;
    // 4096 characters (8192 bytes) cut by TCP in the middle of a character, then more.
    TBytes all =
        Cat({WirePacket(cmd.ID, 0, umlauts), WirePacket(cmd.ID, 0, "h\xC3\xA9llo"),
             WirePacket(TqorRCON_AnswerAssembler::FenceID(cmd.ID), 0, "Unknown request 0")});
    peer.Send(TBytes(all.begin(), all.begin() + 12 + 4097));
    peer.Send(TBytes(all.begin() + 12 + 4097, all.end()));
    peer.WaitClosed();
  });
  RCON->ExecCommand("say h\xC3\xA9llo");
  ASSERT_TRUE(WaitAnswers(1));
  EXPECT_EQ(Answers[0], "say h\xC3\xA9llo=" + umlauts + "h\xC3\xA9llo");
  std::lock_guard<std::mutex> g(Lock);
  ASSERT_EQ(Wire.size(), 1u);
  EXPECT_EQ(Wire[0], WirePacket(2, 2, "say h\xC3\xA9llo")) << "the command goes out as UTF-8";
  // The packet's own writer still offers ASCII.
  TqorRCON_Packet p;
  p.SetBody("h\xC3\xA9");
  EXPECT_EQ(p.WriteBytes(), WirePacket(0, 0, "h?"));
}

TEST_F(RCONAnswers, ServerAnsweringWithOneIDGetsNoMoreFences) {
  Serve(false, [&](TPeer& peer) {
    TWirePacket cmd;
    if (!ReadCommand(peer, cmd)) return;
    peer.Send(Cat({WirePacket(42, 0, "one"), WirePacket(42, 0, "Unknown request 0")}));
    if (!ReadCommand(peer, cmd, false)) return;
    peer.Send(WirePacket(42, 0, kFull));
    peer.Send(WirePacket(42, 0, "two"));
    if (!ReadCommand(peer, cmd, false)) return;
    peer.Send(WirePacket(42, 0, "three"));
    peer.WaitClosed();
  });
  RCON->ExecCommand("a");
  ASSERT_TRUE(WaitAnswers(1));
  ASSERT_TRUE(PumpUntil([&] { return Packets == 2; }, 10000));
  RCON->ExecCommand("b");
  ASSERT_TRUE(WaitAnswers(2));
  RCON->ExecCommand("c");
  ASSERT_TRUE(WaitAnswers(3));
  EXPECT_EQ(Answers, (std::vector<std::string>{"a=one", "b=" + kFull + "two", "c=three"}));
}

TEST_F(RCONAnswers, WithoutFencesTheWireCarriesOnlyCommands) {
  RCON->SetSendFences(false);
  Serve(false, [&](TPeer& peer) {
    TWirePacket cmd;
    if (!ReadCommand(peer, cmd, false)) return;
    peer.Send(WirePacket(cmd.ID, 0, kFull));
    if (!ReadCommand(peer, cmd, false)) return;
    peer.Send(WirePacket(cmd.ID, 0, "x"));
    peer.WaitClosed();
  });
  RCON->ExecCommand("first");
  // A full packet ends only after the quiet period, driven by CheckResponses.
  ASSERT_TRUE(PumpUntil([&] { return Packets == 1; }, 10000));
  EXPECT_TRUE(Answers.empty());
  ASSERT_TRUE(WaitAnswers(1));
  RCON->ExecCommand("second");
  ASSERT_TRUE(WaitAnswers(2));
  EXPECT_EQ(Answers, (std::vector<std::string>{"first=" + kFull, "second=x"}));
  std::lock_guard<std::mutex> g(Lock);
  EXPECT_EQ(Wire, (std::vector<TBytes>{WirePacket(2, 2, "first"), WirePacket(3, 2, "second")}));
}

TEST_F(RCONAnswers, CommandWithoutConnectionLeavesNothingOpen) {
  RCON->ExecCommand("help");
  EXPECT_EQ(RCON->OpenResponses(), 0u);
}

TEST_F(RCONAnswers, AnswerBeforeTheServerClosesComesBeforeTheDisconnect) {
  RCON->SetOnDisconnect([this](TComponent*) { Answers.push_back("#disconnected"); });
  Serve(false, [&](TPeer& peer) {
    TWirePacket cmd;
    if (!ReadCommand(peer, cmd)) return;
    peer.Send(Cat({WirePacket(cmd.ID, 0, "x"),
                   WirePacket(TqorRCON_AnswerAssembler::FenceID(cmd.ID), 0, "Unknown request 0")}));
    // Fences work now: the next answer waits for its fence, which never comes.
    if (!ReadCommand(peer, cmd)) return;
    peer.Send(WirePacket(cmd.ID, 0, "Stopping the server"));
    peer.Close();
    peer.WaitClosed();
  });
  RCON->ExecCommand("list");
  ASSERT_TRUE(WaitAnswers(1));
  RCON->ExecCommand("stop");
  ASSERT_TRUE(WaitAnswers(4));
  EXPECT_EQ(Answers, (std::vector<std::string>{"list=x", "stop=Stopping the server",
                                               "#disconnected", "!Connection Closed Gracefully."}));
}

// With neNoSync the reading thread decodes an answer as soon as it comes, maybe before the
// write of its command has returned; each must still find its command. The next command is
// sent from the answer's handler, on the reading thread, as a script runner does.
class RCONNoSync : public testing::TestWithParam<bool> {};

TEST_P(RCONNoSync, EveryAnswerFindsItsCommandHoweverFastItComes) {
  constexpr int kCommands = 300;
  const bool fenced = GetParam();
  TRCONTestServer server([fenced](TPeer& peer) {
    TWirePacket auth, cmd, fence;
    if (!peer.Receive(auth)) return;
    peer.Send(WirePacket(auth.ID, 2, ""));
    for (int i = 0; i < kCommands && peer.Receive(cmd) && (!fenced || peer.Receive(fence)); ++i) {
      TBytes answer = WirePacket(cmd.ID, 0, cmd.Body.substr(1));
      if (fenced) answer = Cat({answer, WirePacket(fence.ID, 0, "Unknown request 0")});
      peer.Send(answer);
    }
    peer.WaitClosed();
  });
  TqorLib_RCON rcon(nullptr);
  rcon.SetNotifyEvents(neNoSync);
  rcon.SetSendFences(fenced);
  std::mutex lock;
  std::vector<std::string> answers;
  rcon.SetOnAuthenticate([&](TComponent*, bool ok, const TqorRCON_Packet&) {
    if (ok) rcon.ExecCommand("c0");
  });
  rcon.SetOnResponseComplete(
      [&](TComponent*, int32_t, const std::string& aCommand, const std::string& aText) {
        std::lock_guard<std::mutex> g(lock);
        answers.push_back(aCommand + "=" + aText);
        if (answers.size() < size_t(kCommands))
          rcon.ExecCommand("c" + std::to_string(answers.size()));
      });
  rcon.RCON_Options()->SetHost("127.0.0.1");
  rcon.RCON_Options()->SetPort(server.Port());
  rcon.SetActive(true);
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard<std::mutex> g(lock);
        return answers.size() >= size_t(kCommands);
      },
      30000));
  rcon.SetActive(false);
  std::lock_guard<std::mutex> g(lock);
  for (int i = 0; i < kCommands; ++i)
    ASSERT_EQ(answers[size_t(i)], "c" + std::to_string(i) + "=" + std::to_string(i));
}

INSTANTIATE_TEST_SUITE_P(Fences, RCONNoSync, testing::Bool());

}  // namespace
