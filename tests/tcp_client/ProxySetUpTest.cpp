// The TCP client's Proxy, LogFile and Throttle options taking effect at each activation,
// against scripted proxies on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>

#include "platform/FileStream.h"
#include "platform/MainThread.h"
#include "tcp_client/qorTCP_Client.h"
#include "tests/proxy/ProxyTestKit.h"
#include "tests/support/ProxyPeers.h"

namespace {

const std::string kSocks5Success("\x05\x00\x00\x01\x7F\x00\x00\x01\x1F\x90", 10);
const std::string kSocks4Success("\x00\x5A\x00\x00\x00\x00\x00\x00", 8);

// A TCP client (events delivered on this main thread) and what it reported.
class ProxySetUp : public ::testing::Test {
 protected:
  void SetUp() override {
    FClient = std::make_unique<TqorTCPCLient>(nullptr);
    FClient->SetNotifyEvents(neAsynchronous);
    FClient->SetOnConnect([this](TqorTCPConnection*) { Add("connect"); });
    FClient->SetOnDisconnect([this](TqorTCPConnection*) { Add("disconnect"); });
    FClient->SetOnBinary([this](TqorTCPConnection*, TMemoryStream& D) {
      std::lock_guard<std::mutex> G(FLock);
      FData.append(reinterpret_cast<const char*>(D.Memory()) + D.Position(),
                   size_t(D.Size() - D.Position()));
    });
    FClient->SetOnException(
        [this](TqorTCPConnection*, Exception& E) { Add("exception " + E.Message()); });
    FClient->SetHost("127.0.0.1");
    FClient->SetPort(25575);
  }
  void TearDown() override { FClient.reset(); }
  void Add(const std::string& s) {
    std::lock_guard<std::mutex> G(FLock);
    FEvents.push_back(s);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> G(FLock);
    return FEvents;
  }
  std::string Data() {
    std::lock_guard<std::mutex> G(FLock);
    return FData;
  }
  bool WaitEvents(size_t n) {
    return PumpUntil([&] { return Events().size() >= n; }, 15000);
  }
  bool WaitData(size_t n) {
    return PumpUntil([&] { return Data().size() >= n; }, 15000);
  }
  void UseProxy(TwsProxy AType, int APort, const std::string& AUser = "",
                const std::string& APass = "") {
    TqorTCPProxy_Options& P = FClient->Proxy();
    P.SetEnabled(true);
    P.SetProxyType(AType);
    P.SetHost("127.0.0.1");
    P.SetPort(APort);
    P.SetUsername(AUser);
    P.SetPassword(APass);
  }

  std::unique_ptr<TqorTCPCLient> FClient;
  std::mutex FLock;
  std::vector<std::string> FEvents;
  std::string FData;
  TWire FWire;
};

TEST_F(ProxySetUp, Socks5WithAndWithoutUserNameThenTheServersBytes) {
  for (const std::string& User : {std::string(), std::string("alice")}) {
    TWire Wire;
    FData.clear();
    FEvents.clear();
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(Wire, 3);
      if (User.empty()) {
        P.Send(std::string("\x05\x00", 2));
      } else {
        P.Send(std::string("\x05\x02", 2));
        P.Read(Wire, 1 + 1 + 5 + 1 + 2);
        P.Send(std::string("\x01\x00", 2));
      }
      P.Read(Wire, 10);
      P.Send(kSocks5Success + "hello");
      P.Read(Wire, 4);
      P.WaitClosed();
    });
    UseProxy(pxySocks5, Server.Port(), User, "pw");
    FClient->SetActive(true);
    ASSERT_TRUE(WaitData(5)) << ::testing::PrintToString(Events());
    EXPECT_EQ(Data(), "hello");
    FClient->WriteData(std::string("ping"));
    ASSERT_TRUE(PumpUntil(
        [&] { return Wire.Bytes().size() >= 3 + 10 + 4 + (User.empty() ? 0 : 10); }, 10000));
    const std::string Greeting =
        User.empty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x01\x02", 3);
    EXPECT_EQ(Wire.Bytes().substr(0, 3), Greeting);
    EXPECT_EQ(Wire.Bytes().substr(Wire.Bytes().size() - 14),
              std::string("\x05\x01\x00\x01\x7F\x00\x00\x01\x63\xE7", 10) + "ping");
    FClient->SetActive(false);
    EXPECT_FALSE(Server.Failed());
  }
}

// The server's close through a tunnel is reported as over a direct connection: the disconnect,
// then the graceful close.
TEST_F(ProxySetUp, ACloseThroughTheTunnelIsReportedAsOverADirectConnection) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 3);
    P.Send(std::string("\x05\x00", 2));
    P.Read(FWire, 10);
    P.Send(kSocks5Success + "bye");
  });
  UseProxy(pxySocks5, Server.Port());
  FClient->SetActive(true);
  ASSERT_TRUE(WaitEvents(3)) << ::testing::PrintToString(Events());
  EXPECT_EQ(Events(), (std::vector<std::string>{"connect", "disconnect",
                                                "exception Connection Closed Gracefully."}));
  EXPECT_EQ(Data(), "bye");
  EXPECT_FALSE(Server.Failed());
}

TEST_F(ProxySetUp, Socks4And4AFollowTheProxyType) {
  for (const TwsProxy Type : {pxySocks4, pxySocks4A}) {
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(Wire, Type == pxySocks4 ? 9 : 9 + 10);
      P.Send(kSocks4Success);
      P.WaitClosed();
    });
    UseProxy(Type, Server.Port());
    FClient->SetHost(Type == pxySocks4 ? "127.0.0.1" : "localhost");
    FClient->SetActive(true);
    ASSERT_TRUE(FClient->Active());
    const std::string Sent = Wire.Bytes();
    if (Type == pxySocks4) {
      EXPECT_EQ(Sent, std::string("\x04\x01\x63\xE7\x7F\x00\x00\x01\x00", 9));
    } else {
      EXPECT_EQ(Sent, std::string("\x04\x01\x63\xE7\x00\x00\x00\x01\x00localhost\x00", 19));
    }
    FClient->SetActive(false);
  }
}

// Each activation takes the HTTP proxy's current host, port and credentials.
TEST_F(ProxySetUp, ChangedHttpProxyIsUsedAtTheNextActivation) {
  TWire First, Second;
  TProxyServer One([&](TRecordingPeer& P) {
    P.ReadHead(First);
    P.Send("HTTP/1.0 200 OK\r\n\r\n");
    P.WaitClosed();
  });
  TProxyServer Two([&](TRecordingPeer& P) {
    P.ReadHead(Second);
    P.Send("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Connection: close\r\n\r\n");
  });
  UseProxy(pxyHTTP, One.Port());
  FClient->SetActive(true);
  EXPECT_TRUE(FClient->Active());
  FClient->SetActive(false);
  FClient->Proxy().SetPort(Two.Port());
  FClient->Proxy().SetUsername("bob");
  FClient->SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return Two.Accepted() == 2; }, 10000));
  EXPECT_EQ(First.Bytes(), "CONNECT 127.0.0.1:25575 HTTP/1.0\r\n\r\n");
  EXPECT_NE(Second.Bytes().find("Proxy-Authorization: Basic Ym9iOg=="), std::string::npos);
}

TEST_F(ProxySetUp, ProxyRefusalOrSilenceEndsTheActivationWithAnException) {
  TProxyServer Refusing([&](TRecordingPeer& P) {
    P.Read(FWire, 3);
    P.Send(std::string("\x05\x00", 2));
    P.Read(FWire, 10);
    std::string Reply = kSocks5Success;
    Reply[1] = 5;
    P.Send(Reply);
  });
  UseProxy(pxySocks5, Refusing.Port());
  FClient->SetActive(true);
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(Events(), std::vector<std::string>{"exception Connection refused."});
  EXPECT_FALSE(FClient->Active());

  TProxyServer Silent([&](TRecordingPeer& P) { P.Silence(10000); });
  UseProxy(pxyHTTP, Silent.Port());
  FClient->SetConnectTimeout(400);
  const auto Start = std::chrono::steady_clock::now();
  FClient->SetActive(true);
  const int64_t Elapsed = MsSince(Start);
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(Events()[1], "exception Connect timed out.");
  EXPECT_GE(Elapsed, 390);
  EXPECT_LT(Elapsed, 5000);
}

// With the proxy switched off again the socket client connects straight to the server,
// also when it is kept between connections.
TEST_F(ProxySetUp, SwitchedOffProxyIsNoLongerUsed) {
  for (const TqorTCPMode Mode : {tcpmDefault, tcpmCommands}) {
    TProxyServer Server([&](TRecordingPeer& P) {
      if (Server.Accepted() == 1) {
        TWire W;
        P.Read(W, 3);
        P.Send(std::string("\x05\x00", 2));
        P.Read(W, 10);
        P.Send(kSocks5Success);
      }
      P.Send("direct");
      P.WaitClosed();
    });
    FData.clear();
    FClient->SetTCPMode(Mode);
    FClient->SetPort(Server.Port());
    UseProxy(pxySocks5, Server.Port());
    FClient->SetActive(true);
    ASSERT_TRUE(WaitData(6));
    FClient->SetActive(false);
    FClient->Proxy().SetEnabled(false);
    FData.clear();
    FClient->SetActive(true);
    ASSERT_TRUE(WaitData(6)) << ::testing::PrintToString(Events());
    EXPECT_EQ(Data(), "direct");
    FClient->SetActive(false);
    EXPECT_EQ(Server.Accepted(), 2);
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(ProxySetUp, TrafficLogIsOwnerOnlyAndLogsBothDirections) {
  TTempFolder Folder;
  TProxyServer Server([&](TRecordingPeer& P) {
    if (Server.Accepted() == 1) {
      P.Send("hi\r\n");
      P.Read(FWire, 6);
    }
    P.WaitClosed();
  });
  FClient->SetPort(Server.Port());
  FClient->LogFile().SetEnabled(true);
  FClient->LogFile().SetFileName(Folder.File("traffic.log"));
  FClient->SetActive(true);
  ASSERT_TRUE(WaitData(4));
  FClient->WriteData(std::string("secret"));
  ASSERT_TRUE(PumpUntil([&] { return FWire.Bytes().size() == 6; }, 10000));
  FClient->SetActive(false);
  struct stat St {};
  ASSERT_EQ(stat(Folder.File("traffic.log").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  const std::string Log = Folder.Read("traffic.log");
  EXPECT_EQ(Log.rfind("Stat Connected.\r\n", 0), 0u) << Log;
  EXPECT_NE(Log.find(": hi\r\n\r\n"), std::string::npos) << "raw line breaks: " << Log;
  EXPECT_NE(Log.find(": secret\r\n"), std::string::npos) << Log;
  EXPECT_NE(Log.find("Stat Disconnected.\r\n"), std::string::npos) << Log;

  // Switched off, the log lets go of its file: another writer can have it.
  FClient->LogFile().SetEnabled(false);
  FClient->SetActive(true);
  std::unique_ptr<TFileStream> Other(TFileStream::OpenForAppend(Folder.File("traffic.log")));
  EXPECT_NE(Other, nullptr);
  FClient->SetActive(false);
  EXPECT_FALSE(Server.Failed());
}

// The handshake passes the intercepts too, so it is in the log before "Stat Connected.".
TEST_F(ProxySetUp, ProxyHandshakeIsLoggedBeforeTheConnection) {
  TTempFolder Folder;
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 3);
    P.Send(std::string("\x05\x00", 2));
    P.Read(FWire, 10);
    P.Send(kSocks5Success);
    P.WaitClosed();
  });
  UseProxy(pxySocks5, Server.Port());
  FClient->LogFile().SetEnabled(true);
  FClient->LogFile().SetFileName(Folder.File("traffic.log"));
  FClient->SetActive(true);
  ASSERT_TRUE(FClient->Active());
  FClient->SetActive(false);
  const std::string Log = Folder.Read("traffic.log");
  const size_t Greeting = Log.find(std::string(": \x05\x01\x00\r\n", 6));
  const size_t Reply = Log.find("Recv ");
  const size_t Connected = Log.find("Stat Connected.");
  EXPECT_EQ(Log.rfind("Sent ", 0), 0u) << Log;
  EXPECT_NE(Greeting, std::string::npos) << Log;
  EXPECT_LT(Reply, Connected) << Log;
  EXPECT_NE(Connected, std::string::npos) << Log;
}

// A log that cannot write (a full disk) is an observer gone quiet, not a failed connection:
// one exception event names the file and the reason, and the data goes on both ways.
TEST_F(ProxySetUp, LogOnAFullDiskReportsOnceAndTheConnectionGoesOn) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Send("hi");
    P.Read(FWire, 6);
    P.Send("there");
    P.WaitClosed();
  });
  FClient->SetPort(Server.Port());
  FClient->LogFile().SetEnabled(true);
  FClient->LogFile().SetFileName("/dev/full");
  FClient->SetActive(true);
  ASSERT_TRUE(FClient->Active());
  ASSERT_TRUE(WaitData(2));
  FClient->WriteData(std::string("secret"));
  ASSERT_TRUE(WaitData(7));
  EXPECT_EQ(Data(), "hithere");
  EXPECT_EQ(FWire.Bytes(), "secret");
  EXPECT_TRUE(FClient->Active());
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "exception Cannot write to file \"/dev/full\". No space left on device",
                          "connect"}));
  FClient->SetActive(false);
  EXPECT_FALSE(Server.Failed());
}

TEST_F(ProxySetUp, LogWithoutFileNameAddsNoIntercept) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Send("x");
    P.WaitClosed();
  });
  FClient->SetPort(Server.Port());
  FClient->LogFile().SetEnabled(true);
  FClient->SetActive(true);
  ASSERT_TRUE(WaitData(1));
  EXPECT_EQ(Events(), std::vector<std::string>{"connect"});
  FClient->SetActive(false);
}

// At 8000 bit/s: 500 bytes out wait half a second before they go; 500 back are delivered
// at once, and the 500 after them wait for the first ones' half second.
TEST_F(ProxySetUp, ThrottleLimitsBothDirections) {
  TProxyServer Server([&](TRecordingPeer& P) {
    TWire W;
    P.Read(W, 500);
    P.Send(std::string(500, 'r'));
    P.Read(W, 1);
    P.Send(std::string(500, 's'));
    P.WaitClosed();
  });
  FClient->SetPort(Server.Port());
  FClient->Throttle().SetEnabled(true);
  FClient->Throttle().SetBitsPerSec(8000);
  FClient->SetActive(true);
  ASSERT_TRUE(FClient->Active());
  const auto Start = std::chrono::steady_clock::now();
  FClient->WriteData(TIdBytes(500, 'q'));
  const int64_t SendTime = MsSince(Start);
  ASSERT_TRUE(WaitData(500));
  FClient->WriteData(TIdBytes(1, 'n'));
  ASSERT_TRUE(WaitData(1000));
  const int64_t Total = MsSince(Start);
  EXPECT_GE(SendTime, 499);
  EXPECT_GE(Total, 990);
  EXPECT_LT(Total, 6000);
  FClient->SetActive(false);
  EXPECT_FALSE(Server.Failed());
}

// 32 KiB at 8000 bit/s rest the reading thread for 32 s: the block is delivered first, and
// a deactivation meanwhile ends the rest at once instead of waiting it out.
TEST_F(ProxySetUp, DeactivationEndsAThrottleRestAtOnce) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Send(std::string(32768, 'd'));
    P.WaitClosed();
  });
  FClient->SetPort(Server.Port());
  FClient->Throttle().SetEnabled(true);
  FClient->Throttle().SetBitsPerSec(8000);
  FClient->SetActive(true);
  ASSERT_TRUE(FClient->Active());
  ASSERT_TRUE(WaitData(1)) << "the block waited for its own delay";
  const auto Start = std::chrono::steady_clock::now();
  FClient->SetActive(false);
  EXPECT_LT(MsSince(Start), 5000);
  EXPECT_FALSE(FClient->Active());
  EXPECT_EQ(Data(), std::string(Data().size(), 'd'));
  EXPECT_FALSE(Server.Failed());
}

}  // namespace
