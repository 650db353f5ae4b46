// TLS := True with the OpenSSL handler, taking effect at each activation, against real peers.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "proxy/IdSocksInfo.h"
#include "tests/support/ProxyPeers.h"
#include "tests/support/TLSPeers.h"
#include "tests/tcp_client/TCPClientTestKit.h"
#include "tls/IdSSLOpenSSL.h"
#include "tls/qorSSL_SChannel.h"

namespace {

const TCertificates& Certs() {
  return TCertificates::Get();
}

class TLSSetup : public testing::Test {
 protected:
  void SetUp() override {
    Client = std::make_unique<TqorTCPCLient>(nullptr);
    Client->SetNotifyEvents(neAsynchronous);
    Client->SetHost("localhost");
    Client->SetConnectTimeout(5000);
    Client->SetTLS(true);
    Log.Hook(*Client);
  }
  void TearDown() override {
    Client.reset();
    PumpFor(0);
  }
  TqorIdSSLIOHandlerSocketOpenSSL* Handler() {
    return dynamic_cast<TqorIdSSLIOHandlerSocketOpenSSL*>(Client->HandlerSSL());
  }
  bool Saw(const std::string& AText, int AMs = 10000) {
    return WaitUntil(
        [&] {
          for (const std::string& T : Log.Texts()) {
            if (T.find(AText) != std::string::npos) return true;
          }
          return false;
        },
        AMs);
  }

  std::unique_ptr<TqorTCPCLient> Client;
  TEventLog Log;
};

}  // namespace

TEST_F(TLSSetup, DefaultOptionsNegotiateTheBestVersionAndCarryData) {
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  Client->SetPort(S.Port());
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
  TqorIdSSLIOHandlerSocketOpenSSL* H = Handler();
  ASSERT_NE(H, nullptr);
  EXPECT_EQ(H->SSLOptions().Mode(), sslmClient);
  EXPECT_EQ(H->SSLOptions().VerifyMode(), 0);
  EXPECT_EQ(H->SSLOptions().SSLVersions(), SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
  EXPECT_EQ(H->SSLOptions().VerifyDepth(), 0);
  EXPECT_EQ(H->GetSSLVersion(), "TLSv1.3");
  Client->WriteData(std::string("over tls\n"));
  EXPECT_TRUE(Saw("binary slt revo"));
  Client->SetActive(false);
  EXPECT_TRUE(Saw("disconnect"));
  EXPECT_EQ(Log.Texts().front(), "connect");
}

TEST_F(TLSSetup, ChangedOptionsTakeEffectAtTheNextActivation) {
  TSServer S("server-chain.pem", "server.key", {"-rev", "-alpn", "rcon"});
  Client->SetPort(S.Port());
  Client->TLSOptions().SetVersion(tls1_2);
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active());
  EXPECT_EQ(Handler()->GetSSLVersion(), "TLSv1.2");
  EXPECT_EQ(Handler()->GetALPNProtocol(), "");
  Client->SetActive(false);
  Client->TLSOptions().SetVersion(tls1_3);
  Client->TLSOptions().ALPNProtocols().Add("rcon");
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active());
  EXPECT_EQ(Handler()->GetSSLVersion(), "TLSv1.3");
  EXPECT_EQ(Handler()->GetALPNProtocol(), "rcon");
  Client->SetActive(false);
  // Verification on, against a server whose certificate names another host.
  TSServer LWrong("wronghost-chain.pem", "wronghost.key", {"-rev"});
  Client->SetPort(LWrong.Port());
  Client->TLSOptions().SetVerifyCertificate(true);
  Client->TLSOptions().SetRootCertFile(Certs().Path("ca.pem"));
  Log.Clear();
  Client->SetActive(true);
  EXPECT_FALSE(Client->Active());
  ASSERT_TRUE(Saw("exception Error connecting with SSL.\r\n"));
  EXPECT_TRUE(Saw("hostname mismatch"));
  EXPECT_EQ(Log.Count(), 1u) << testing::PrintToString(Log.Texts());
  // Switching TLS off: the socket client is plain again.
  Client->SetTLS(false);
  Client->SetPort(S.Port());
  Log.Clear();
  Client->SetActive(true);
  EXPECT_EQ(Client->HandlerSSL(), nullptr);
}

TEST_F(TLSSetup, ClientCertificateWithTheOptionsPassword) {
  TSServer S("server-chain.pem", "server.key",
             {"-rev", "-Verify", "3", "-CAfile", Certs().Path("ca-bundle.pem")});
  Client->SetPort(S.Port());
  Client->TLSOptions().SetCertFile(Certs().Path("client.pem"));
  Client->TLSOptions().SetKeyFile(Certs().Path("client-enc.key"));
  Client->TLSOptions().SetPassword("secret");
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
  Client->WriteData(std::string("signed\n"));
  EXPECT_TRUE(Saw("binary dengis"));
}

TEST_F(TLSSetup, ServerDropReportsTheExceptionThenTheDisconnect) {
  TSServer S("server-chain.pem", "server.key");
  Client->SetPort(S.Port());
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active());
  // s_server's "q" on its input drops the connection without a close-notify.
  ASSERT_TRUE(S.Process().WaitFor("CIPHER is"));
  S.Process().WriteStdin("q\n");
  ASSERT_TRUE(Saw("disconnect")) << testing::PrintToString(Log.Texts());
  const std::vector<TEventLog::TEvent> LEvents = Log.Get();
  ASSERT_EQ(LEvents.size(), 3u) << testing::PrintToString(Log.Texts());
  EXPECT_EQ(LEvents[1].Text, "exception EOF was observed that violates the protocol");
  EXPECT_NE(LEvents[1].Connection, nullptr);
  EXPECT_EQ(LEvents[2].Text.rfind("disconnect", 0), 0u);
  EXPECT_FALSE(Client->Active());
}

TEST_F(TLSSetup, SuppliedHandlerIsUsedUnchanged) {
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  Client->SetPort(S.Port());
  int LAfterCreate = 0;
  TIdSSLIOHandlerSocketBase* LSupplied = nullptr;
  Client->SetOnSSLAfterCreateHandler(
      [&](TComponent*, TwsSSLHandler AType, TIdSSLIOHandlerSocketBase*) {
        EXPECT_EQ(AType, sslClient);
        ++LAfterCreate;
      });
  Client->SetOnSSLGetHandler(
      [&](TComponent* ASender, TwsSSLHandler AType, TIdSSLIOHandlerSocketBase*& VHandler) {
        EXPECT_EQ(ASender, Client.get());
        EXPECT_EQ(AType, sslClient);
        auto* H = New<TIdSSLIOHandlerSocketOpenSSL>(nullptr);
        H->SetPassThrough(false);
        H->SSLOptions().SetMode(sslmClient);
        H->SSLOptions().SetMethod(sslvTLSv1_2);  // not what TLSOptions says
        LSupplied = VHandler = H;
      });
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
  EXPECT_EQ(Client->HandlerSSL(), LSupplied);
  EXPECT_EQ(LSupplied->ClassName(), std::string("TIdSSLIOHandlerSocketOpenSSL"));
  EXPECT_EQ(static_cast<TIdSSLIOHandlerSocketOpenSSL*>(LSupplied)->GetSSLVersion(), "TLSv1.2");
  EXPECT_EQ(LAfterCreate, 0);
  Client->SetActive(false);
  // Without a supplied handler the client makes one and says so.
  Client->SetOnSSLGetHandler(nullptr);
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active());
  EXPECT_EQ(LAfterCreate, 1);
}

// TLSOptions.IOHandler = iohSChannel: the handler made from the options carries the session.
TEST_F(TLSSetup, SChannelHandlerFromTheOptions) {
  TSServer S("server-chain.pem", "server.key", {"-rev", "-alpn", "rcon"});
  Client->SetPort(S.Port());
  Client->TLSOptions().SetIOHandler(iohSChannel);
  Client->TLSOptions().SetVersion(tls1_2);
  Client->TLSOptions().ALPNProtocols().Add("rcon");
  Client->TLSOptions().SChannel_Options().SetCipherList("CALG_AES_256");
  Client->TLSOptions().SetCertFile(Certs().Path("client.p12"));
  Client->TLSOptions().SetPassword("secret");
  std::string LALPN = "unset";
  Client->SetOnConnect([&](TqorTCPConnection* C) {
    Log.Add("connect", C);
    LALPN = static_cast<TqorTCPConnectionClient*>(C)->ALPNProtocol();
  });
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
  EXPECT_EQ(LALPN, "rcon");  // what the connection object reports
  auto* H = dynamic_cast<TqorIdSSLIOHandlerSocketSChannel*>(Client->HandlerSSL());
  ASSERT_NE(H, nullptr);
  EXPECT_FALSE(H->PassThrough());
  EXPECT_EQ(H->TLSVersion(), tls1_2);
  EXPECT_EQ(H->CipherList(), "CALG_AES_256");
  EXPECT_EQ(H->Certificate().CertFile, Certs().Path("client.p12"));
  EXPECT_EQ(H->Certificate().CertFilePassword, "secret");
  EXPECT_FALSE(H->Certificate().VerifyCertificate);
  EXPECT_EQ(H->GetALPNProtocol(), "rcon");
  ASSERT_NE(H->GetInfo(), nullptr);
  EXPECT_EQ(H->GetInfo()->Protocol(), tls1_2);
  EXPECT_EQ(H->GetInfo()->Cipher(), "CALG_AES_256");
  Client->WriteData(std::string("over schannel\n"));
  EXPECT_TRUE(Saw("binary lennahcs revo"));
  Client->SetActive(false);
  EXPECT_TRUE(Saw("disconnect"));
  EXPECT_EQ(Log.Texts().front(), "connect");
  // Verification on: the self-signed certificate is refused with the chain policy's code.
  TSServer LSelf("selfsigned.pem", "selfsigned.key", {"-rev"});
  Client->SetPort(LSelf.Port());
  Client->TLSOptions().SetVerifyCertificate(true);
  Log.Clear();
  Client->SetActive(true);
  EXPECT_FALSE(Client->Active());
  EXPECT_TRUE(
      Saw("exception SChannel initialization error: "
          "CertVerifyCertificateChainPolicy.vStatus = 800B0109"));
}

// The program's own folder holds no OpenSSL: TLS fails with the library text, plain TCP works.
TEST_F(TLSSetup, LibraryFromTheProgramFolderWithoutOpenSSL) {
  UnloadTLSLibrary();
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  Client->SetPort(S.Port());
  Client->TLSOptions().OpenSSL_Options().SetLibPath(oslpDefaultFolder);
  Client->SetActive(true);
  EXPECT_FALSE(Client->Active());
  EXPECT_TRUE(Saw("exception Could not load SSL library."));
  EXPECT_FALSE(TLSLibraryPath().empty());
  uint16_t LPort = 0;
  const int LListen = ListenOnLoopback(1, LPort);
  Client->SetTLS(false);
  Client->SetHost("127.0.0.1");
  Client->SetPort(LPort);
  Client->SetActive(true);
  EXPECT_TRUE(Client->Active());
  Client->SetActive(false);
  ::close(LListen);
  SetTLSLibraryPath("");
  UnloadTLSLibrary();
}

TEST_F(TLSSetup, RCONSessionThroughStunnel) {
  TRCONDemoServerProcess LDemo(RCON_DEMO_SERVER, {"--password", "pw"});
  TStunnel LTunnel(LDemo.Port(), "server-chain.pem", "server.key");
  Client->SetPort(LTunnel.Port());
  Client->TLSOptions().SetVerifyCertificate(true);
  Client->TLSOptions().SetRootCertFile(Certs().Path("ca.pem"));
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
  // Authentication (type 3) and one command (type 2), as the RCON component writes them.
  auto LPacket = [](char AId, char AType, const std::string& ABody) {
    std::string P{static_cast<char>(ABody.size() + 10), 0, 0, 0, AId, 0, 0, 0, AType, 0, 0, 0};
    P += ABody;
    P.append(2, '\0');
    return Bytes(P);
  };
  Client->WriteData(LPacket(1, 3, "pw"));
  EXPECT_EVENTUALLY(Log.Count() >= 2);
  Client->WriteData(LPacket(2, 2, "echo over tls"));
  EXPECT_TRUE(Saw("over tls"));
}

// Through a SOCKS proxy the session still runs end to end with the target: the target's name
// is the one sent (and verified), not the proxy's.
TEST(TLSThroughProxy, ServerNameIsTheTargetsNotTheProxys) {
  if (!HaveProgram("/usr/bin/microsocks")) GTEST_SKIP() << "microsocks is not installed";
  const auto LSocks = StartProxyPeer("microsocks");
  const uint16_t LSocksPort = LSocks->Port;
  TSServer S("server-chain.pem", "server.key",
             {"-rev", "-servername", "localhost", "-cert2", Certs().Path("server.pem"), "-key2",
              Certs().Path("server.key")});
  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> H(New<TIdSSLIOHandlerSocketOpenSSL>(nullptr));
  H->SetHost("localhost");
  H->SetPort(S.Port());
  H->SetPassThrough(false);
  H->SSLOptions().SetMode(sslmClient);
  H->SSLOptions().SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
  H->SSLOptions().SetVerifyMode(sslvrfPeer);
  // The server's second certificate (the one for the name) goes without its intermediate.
  H->SSLOptions().SetRootCertFile(Certs().Path("ca-bundle.pem"));
  auto* LProxy = New<TIdSocksInfo>(H.get());
  LProxy->SetHost("127.0.0.1");
  LProxy->SetPort(LSocksPort);
  LProxy->SetVersion(svSocks5);
  H->SetTransparentProxy(LProxy);
  ASSERT_NO_THROW(H->Open());
  H->WriteLn("proxied");
  EXPECT_EQ(H->ReadLn(), "deixorp");
  EXPECT_TRUE(S.Process().WaitFor("Hostname in TLS extension: \"localhost\""));
}

// Bytes the library already holds (read ahead, or decrypted and not yet taken) must reach the
// application although the socket no longer shows them.
TEST_F(TLSSetup, AStreamArrivesWholeInEveryPiece) {
  constexpr int kBytes = 4 << 20;
  uint16_t LPort = 0;
  const int LListen = ListenOnLoopback(1, LPort);
  ASSERT_GE(LListen, 0);
  std::string LServerError;
  std::thread LServer([&] {
    try {
      const int LFd = ::accept(LListen, nullptr, nullptr);
      // The server stays (and the socket stays quiet) longer than the client waits for the
      // stream: what the client has not taken by then sits inside its library.
      const timeval LLimit{20, 0};
      setsockopt(LFd, SOL_SOCKET, SO_RCVTIMEO, &LLimit, sizeof LLimit);
      setsockopt(LFd, SOL_SOCKET, SO_SNDTIMEO, &LLimit, sizeof LLimit);
      TTLSServerSession LTLS(LFd);
      TIdSSLSocket& LSession = LTLS.Session();
      // Records of changing sizes (one per write), so records and reads never line up.
      const int LSizes[] = {97, 16384, 7001, 1, 12000};
      TIdBytes LPiece(16384);
      for (int LSent = 0, N = 0; LSent < kBytes; ++N) {
        for (size_t I = 0; I < LPiece.size(); ++I)
          LPiece[I] = static_cast<uint8_t>((static_cast<size_t>(LSent) + I) % 251);
        const int LSize = std::min(LSizes[N % 5], kBytes - LSent);
        if (LSession.Send(LPiece, 0, LSize) != LSize) throw std::runtime_error("send failed");
        LSent += LSize;
      }
      TIdBytes LOne(1);
      LSession.Recv(LOne);  // until the client goes
      ::close(LFd);
    } catch (const std::exception& E) {
      LServerError = E.what();
    }
  });
  std::vector<uint8_t> LReceived;
  Client->SetOnBinary([&](TqorTCPConnection*, TMemoryStream& AData) {
    const auto* P = static_cast<const uint8_t*>(AData.Memory()) + AData.Position();
    LReceived.insert(LReceived.end(), P, P + (AData.Size() - AData.Position()));
  });
  Client->SetHost("127.0.0.1");
  Client->SetPort(LPort);
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
  EXPECT_TRUE(WaitUntil([&] { return LReceived.size() >= static_cast<size_t>(kBytes); }, 10000))
      << LReceived.size();
  Client->SetActive(false);
  LServer.join();
  ::close(LListen);
  EXPECT_EQ(LServerError, "");
  ASSERT_EQ(LReceived.size(), static_cast<size_t>(kBytes));
  for (size_t I = 0; I < LReceived.size(); ++I) {
    if (LReceived[I] != static_cast<uint8_t>(I % 251)) {
      ADD_FAILURE() << "byte " << I << " differs";
      break;
    }
  }
}

// TLS and a SOCKS proxy together: the proxy's handshake in plain text on the TLS handler, then
// the session end to end with the target.
TEST_F(TLSSetup, ThroughASocksProxy) {
  if (!HaveProgram("/usr/bin/microsocks")) GTEST_SKIP() << "microsocks is not installed";
  const auto LSocks = StartProxyPeer("microsocks");
  const uint16_t LSocksPort = LSocks->Port;
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  Client->SetPort(S.Port());
  Client->TLSOptions().SetVerifyCertificate(true);
  Client->TLSOptions().SetRootCertFile(Certs().Path("ca.pem"));
  Client->Proxy().SetEnabled(true);
  Client->Proxy().SetProxyType(pxySocks5);
  Client->Proxy().SetHost("127.0.0.1");
  Client->Proxy().SetPort(LSocksPort);
  Client->SetActive(true);
  ASSERT_TRUE(Client->Active()) << testing::PrintToString(Log.Texts());
  EXPECT_EQ(Handler()->GetSSLVersion(), "TLSv1.3");
  Client->WriteData(std::string("via socks\n"));
  EXPECT_TRUE(Saw("binary skcos aiv"));
}

namespace {

// One RCON session over TLS: authentication, three commands each awaited, deactivation; the
// events as the application saw them.
std::vector<std::string> RCONSession(TwsTLSIOHandler AKind, int ATLSPort, uint16_t ASocksPort) {
  TqorTCPCLient LClient(nullptr);
  TEventLog LLog;
  LClient.SetNotifyEvents(neAsynchronous);
  LClient.SetHost("localhost");
  LClient.SetPort(ATLSPort);
  LClient.SetConnectTimeout(5000);
  LClient.SetTLS(true);
  LClient.TLSOptions().SetIOHandler(AKind);
  LClient.TLSOptions().SetVerifyCertificate(true);
  LClient.TLSOptions().SetRootCertFile(Certs().Path("ca.pem"));  // the SChannel road: stores
  if (ASocksPort) {
    LClient.Proxy().SetEnabled(true);
    LClient.Proxy().SetProxyType(pxySocks5);
    LClient.Proxy().SetHost("127.0.0.1");
    LClient.Proxy().SetPort(ASocksPort);
  }
  LLog.Hook(LClient);
  auto LPacket = [](char AId, char AType, const std::string& ABody) {
    std::string P{static_cast<char>(ABody.size() + 10), 0, 0, 0, AId, 0, 0, 0, AType, 0, 0, 0};
    P += ABody;
    P.append(2, '\0');
    return Bytes(P);
  };
  LClient.SetActive(true);
  if (LClient.Active()) {
    LClient.WriteData(LPacket(1, 3, "pw"));
    WaitUntil([&] { return LLog.Count() >= 2; });
    for (char LId = 2; LId <= 4; ++LId) {
      const size_t LBefore = LLog.Count();
      LClient.WriteData(LPacket(LId, 2, "echo command " + std::to_string(LId)));
      WaitUntil([&] { return LLog.Count() > LBefore; });
    }
    LClient.SetActive(false);
    WaitUntil([&] { return LLog.Count() >= 6; });
  }
  PumpFor(50);
  return LLog.Texts();
}

}  // namespace

// The same session over both TLS handlers, directly and through a SOCKS proxy: event for event
// the same.
TEST(TLSHandlers, OneRCONSessionOverOpenSSLAndSChannel) {
  // The SChannel road trusts the CA through the user's Root store.
  char LTemplate[] = "/tmp/qor-tls-data-XXXXXX";
  ASSERT_NE(mkdtemp(LTemplate), nullptr);
  const std::string LData = LTemplate;
  const char* LOld = getenv("XDG_DATA_HOME");
  const std::string LSaved = LOld ? LOld : "";
  setenv("XDG_DATA_HOME", LData.c_str(), 1);
  ASSERT_EQ(system(("mkdir -p " + LData + "/qorRCON/certificates/Root && cp " +
                    Certs().Path("ca.pem") + " " + LData + "/qorRCON/certificates/Root/")
                       .c_str()),
            0);
  TRCONDemoServerProcess LDemo(RCON_DEMO_SERVER, {"--password", "pw"});
  TStunnel LTunnel(LDemo.Port(), "server-chain.pem", "server.key");
  uint16_t LSocksPort = 0;
  std::unique_ptr<TChildProcess> LSocks;
  if (access("/usr/bin/microsocks", X_OK) == 0) {
    LSocksPort = ClosedPort();
    LSocks = std::make_unique<TChildProcess>(std::vector<std::string>{
        "/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(LSocksPort)});
    ASSERT_TRUE(LSocks->WaitListening(LSocksPort));
  }
  for (const uint16_t LProxy : {uint16_t(0), LSocksPort}) {
    SCOPED_TRACE(LProxy ? "through SOCKS 5" : "direct");
    const std::vector<std::string> LOpenSSL = RCONSession(iohOpenSSL, LTunnel.Port(), LProxy);
    const std::vector<std::string> LSChannel = RCONSession(iohSChannel, LTunnel.Port(), LProxy);
    ASSERT_EQ(LOpenSSL.size(), 6u) << testing::PrintToString(LOpenSSL);
    EXPECT_EQ(LOpenSSL.front(), "connect");
    EXPECT_NE(LOpenSSL[4].find("command 4"), std::string::npos);
    EXPECT_EQ(LSChannel, LOpenSSL);
    if (!LSocksPort) break;
  }
  if (LOld)
    setenv("XDG_DATA_HOME", LSaved.c_str(), 1);
  else
    unsetenv("XDG_DATA_HOME");
  [[maybe_unused]] const int LRemoved = system(("rm -rf " + LData).c_str());
}
