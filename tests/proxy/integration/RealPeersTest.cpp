// The proxy handshakes against real proxy servers, to the demo RCON server behind them:
// sessions that work, and the real refusals each server gives.
#include <gtest/gtest.h>

#include "proxy/IdConnectThroughHttpProxy.h"
#include "proxy/IdSocksInfo.h"
#include "tests/proxy/ProxyTestKit.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProxyPeers.h"
#include "tests/support/RCONWire.h"
#include "transport/IdException.h"

namespace {

// Authenticate, "help", and a 10000-byte answer in three packets.
void RconSession(TIdIOHandler* IO) {
  IO->Write(WirePacket(1, 3, "zulu"));
  const TWirePacket Auth = ReadWirePacketFrom(*IO);
  EXPECT_EQ(Auth.ID, 1);
  EXPECT_EQ(Auth.Type, 2);
  IO->Write(WirePacket(2, 2, "help"));
  const TWirePacket Help = ReadWirePacketFrom(*IO);
  EXPECT_EQ(Help.ID, 2);
  EXPECT_NE(Help.Body.find("long [bytes]"), std::string::npos);
  IO->Write(WirePacket(3, 2, "long"));
  size_t Total = 0;
  for (int i = 0; i < 3; ++i) {
    const TWirePacket Part = ReadWirePacketFrom(*IO);
    EXPECT_EQ(Part.ID, 3);
    Total += Part.Body.size();
  }
  EXPECT_EQ(Total, 10000u);
}

class RealPeer : public ::testing::Test {
 protected:
  // Starts the peer, or skips when its programs are not installed.
  bool Start(const std::string& AKind, const std::string& AUser = "",
             const std::string& APass = "") {
    const std::string Missing = MissingProgram(ProgramsOf(AKind));
    if (!Missing.empty()) return false;
    FPeer = StartProxyPeer(AKind, AUser, APass);
    return true;
  }
  template <class T>
  T* Proxy(const std::string& AUser = "", const std::string& APass = "") {
    T* P = New<T>(&FOwner);
    P->SetHost("127.0.0.1");
    P->SetPort(FPeer->Port);
    P->SetUsername(AUser);
    P->SetPassword(APass);
    return P;
  }
  TIdSocksInfo* Socks(TSocksVersion AVersion, const std::string& AUser = "",
                      const std::string& APass = "") {
    auto* P = Proxy<TIdSocksInfo>(AUser, APass);
    P->SetVersion(AVersion);
    P->SetAuthentication(AUser.empty() ? saNoAuthentication : saUsernamePassword);
    return P;
  }
  TIdConnectThroughHttpProxy* Http(const std::string& AUser = "", const std::string& APass = "") {
    auto* P = Proxy<TIdConnectThroughHttpProxy>(AUser, APass);
    P->SetEnabled(true);
    return P;
  }
  // A handler through AProxy to ATarget:APort (the demo server by default).
  TIdIOHandlerStack* Through(TIdCustomTransparentProxy* AProxy,
                             const std::string& ATarget = "127.0.0.1", int APort = 0) {
    FIO = HandlerThrough(AProxy, ATarget, APort ? APort : FServer.Port());
    FIO->SetConnectTimeout(15000);
    FIO->SetReadTimeout(15000);
    return FIO.get();
  }
  std::pair<std::string, std::string> OpenFails(TIdCustomTransparentProxy* AProxy,
                                                const std::string& ATarget = "127.0.0.1",
                                                int APort = 0) {
    TIdIOHandlerStack* IO = Through(AProxy, ATarget, APort);
    auto Result = Failure([&] { IO->Open(); });
    IO->Close();
    return Result;
  }
  void Session(TIdCustomTransparentProxy* AProxy, const std::string& ATarget = "127.0.0.1") {
    TIdIOHandlerStack* IO = Through(AProxy, ATarget);
    IO->Open();
    RconSession(IO);
    IO->Close();
  }

  TRCONDemoServerProcess FServer{RCON_DEMO_SERVER};
  TComponent FOwner{nullptr};
  std::unique_ptr<TProxyPeer> FPeer;
  std::unique_ptr<TIdIOHandlerStack> FIO;
};

TEST_F(RealPeer, MicrosocksSocks5AndItsRefusals) {
  if (!Start("microsocks")) GTEST_SKIP() << "microsocks is not installed";
  Session(Socks(svSocks5));
  Session(Socks(svSocks5), "localhost");
  // It speaks SOCKS 5 only: a SOCKS 4 request gets 05 FF and a close.
  EXPECT_EQ(OpenFails(Socks(svSocks4)).first, "EIdConnClosedGracefully");
  EXPECT_EQ(OpenFails(Socks(svSocks5), "127.0.0.1", ClosedPort()).first,
            "EIdSocksServerConnectionRefusedError");
}

TEST_F(RealPeer, MicrosocksUserNameAndPassword) {
  if (!Start("microsocks", "alice", "s3cret")) GTEST_SKIP() << "microsocks is not installed";
  Session(Socks(svSocks5, "alice", "s3cret"));
  EXPECT_EQ(OpenFails(Socks(svSocks5, "alice", "wrong")),
            std::make_pair(std::string("EIdSocksAuthError"),
                           std::string("Authentication error to socks server.")));
  EXPECT_EQ(OpenFails(Socks(svSocks5)),
            std::make_pair(std::string("EIdSocksAuthMethodError"),
                           std::string("Invalid socks authentication method.")));
}

// Servers compare the bytes they were configured with: a non-ASCII password logs in only as
// UTF-8.
const std::string kUtf8User = "j\xC3\xB6rg", kUtf8Password = "p\xC3\xA4ss\xE2\x82\xAC";

TEST_F(RealPeer, MicrosocksNonAsciiCredentials) {
  if (!Start("microsocks", kUtf8User, kUtf8Password)) GTEST_SKIP() << "microsocks is not installed";
  Session(Socks(svSocks5, kUtf8User, kUtf8Password));
}

TEST_F(RealPeer, DanteSocks4And5AndItsReplyCodes) {
  if (!Start("danted")) GTEST_SKIP() << "danted is not installed";
  Session(Socks(svSocks4));
  Session(Socks(svSocks5));
  // No SOCKS 4A here: the request is rejected with code 91.
  EXPECT_EQ(OpenFails(Socks(svSocks4A), "localhost").first, "EIdSocksRequestFailed");
  EXPECT_EQ(OpenFails(Socks(svSocks5), "127.0.0.1", ClosedPort()).second, "Connection refused.");
  EXPECT_EQ(OpenFails(Socks(svSocks5), "127.0.0.3").second, "Connection not allowed by ruleset.");
  EXPECT_EQ(OpenFails(Socks(svSocks4), "127.0.0.3").second, "Request rejected or failed.");
}

TEST_F(RealPeer, SshDynamicForwardingSocks4_4AAnd5) {
  if (getuid() != 0) GTEST_SKIP() << "a private sshd needs root for its privilege separation";
  if (!Start("ssh")) GTEST_SKIP() << "openssh server or client is not installed";
  Session(Socks(svSocks4));
  Session(Socks(svSocks4A), "localhost");
  Session(Socks(svSocks5), "localhost");
  // A failed connect is a plain close without a reply.
  EXPECT_EQ(OpenFails(Socks(svSocks5), "127.0.0.1", ClosedPort()).second,
            "Socks server did not respond.");
}

TEST_F(RealPeer, TinyproxyBasicAuthAfterA407ThatCloses) {
  if (!Start("tinyproxy", "alice", "s3cret")) GTEST_SKIP() << "tinyproxy is not installed";
  Session(Http("alice", "s3cret"));
  EXPECT_EQ(OpenFails(Http("alice", "wrong")),
            std::make_pair(std::string("EIdHttpProxyError"), std::string("401 Unauthorized")));
  EXPECT_EQ(OpenFails(Http()).second, "407 Proxy Authentication Required");
}

TEST_F(RealPeer, SquidBasicAuth) {
  if (!Start("squid", "alice", "s3cret")) GTEST_SKIP() << "squid is not installed";
  Session(Http("alice", "s3cret"));
  EXPECT_EQ(OpenFails(Http("alice", "wrong")).second, "407 Proxy Authentication Required");
}

// (tinyproxy's configuration takes ASCII only.)
TEST_F(RealPeer, SquidNonAsciiBasicCredentials) {
  if (!Start("squid", kUtf8User, kUtf8Password)) GTEST_SKIP() << "squid is not installed";
  Session(Http(kUtf8User, kUtf8Password));
}

TEST_F(RealPeer, NcatClosesAfterA407WithoutSayingSo) {
  if (!Start("ncat", "alice", "s3cret")) GTEST_SKIP() << "ncat is not installed";
  Session(Http("alice", "s3cret"));
  EXPECT_EQ(OpenFails(Http()).second, "407 Proxy Authentication Required");
}

// SOCKS 5 to an HTTP proxy, which tunnels to the server: two handshakes on one socket.
TEST_F(RealPeer, ChainOfMicrosocksAndTinyproxy) {
  if (!HaveProgram("/usr/bin/microsocks") || !HaveProgram("/usr/bin/tinyproxy")) {
    GTEST_SKIP() << "microsocks or tinyproxy is not installed";
  }
  auto Http1 = StartProxyPeer("tinyproxy");
  ASSERT_TRUE(Start("microsocks"));
  auto* First = Socks(svSocks5);
  auto* Second = New<TIdConnectThroughHttpProxy>(&FOwner);
  Second->SetHost("127.0.0.1");
  Second->SetPort(Http1->Port);
  Second->SetEnabled(true);
  First->SetChainedProxy(Second);
  Session(First);
}

}  // namespace
