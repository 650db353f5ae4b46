// The OpenSSL I/O handler against real peers: openssl s_server and stunnel4, on loopback.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/SysUtils.h"
#include "tests/support/RCONWire.h"
#include "tests/support/TLSPeers.h"
#include "tls/IdSSLOpenSSL.h"
#include "transport/IdStack.h"

namespace {

const TCertificates& Certs() {
  return TCertificates::Get();
}

struct THandlerDeleter {
  void operator()(TIdSSLIOHandlerSocketOpenSSL* H) const { delete H; }
};
using THandlerPtr = std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL, THandlerDeleter>;

// A client handler for 127.0.0.1 (or AHost) that negotiates TLS 1.2 or 1.3 unless told
// otherwise.
THandlerPtr MakeClient(int APort, const std::string& AHost = "localhost") {
  THandlerPtr H(New<TIdSSLIOHandlerSocketOpenSSL>(nullptr));
  H->SetHost(AHost);
  H->SetPort(APort);
  H->SetPassThrough(false);
  H->SSLOptions().SetMode(sslmClient);
  H->SSLOptions().SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
  return H;
}

void Verifying(TIdSSLIOHandlerSocketOpenSSL& H) {
  H.SSLOptions().SetVerifyMode(sslvrfPeer);
  H.SSLOptions().SetRootCertFile(Certs().Path("ca.pem"));
}

// The message and class of what Open raised, or "connected".
std::string OpenOutcome(TIdSSLIOHandlerSocketOpenSSL& H) {
  try {
    H.Open();
  } catch (const std::exception& E) {
    return std::string(ExceptionClassName(E)) + ": " + E.what();
  }
  return "connected";
}

bool Contains(const std::string& AText, const std::string& APart) {
  return AText.find(APart) != std::string::npos;
}

// s_server -rev answers every line reversed.
std::string Exchange(TIdSSLIOHandlerSocketOpenSSL& H, const std::string& ALine) {
  H.WriteLn(ALine);
  return H.ReadLn();
}

}  // namespace

TEST(TLSHandler, BestVersionAndPinnedVersionsAgainstServers) {
  TSServer LAny("server-chain.pem", "server.key", {"-rev"});
  {
    THandlerPtr H = MakeClient(LAny.Port());
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(H->GetSSLVersion(), "TLSv1.3");
    EXPECT_EQ(Exchange(*H, "hello"), "olleh");
  }
  {
    THandlerPtr H = MakeClient(LAny.Port());
    H->SSLOptions().SetMethod(sslvTLSv1_2);
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(H->GetSSLVersion(), "TLSv1.2");
    EXPECT_EQ(Exchange(*H, "pinned"), "dennip");
  }
  {
    // The library's own default: TLS 1.0 only, which a current server refuses.
    THandlerPtr H = MakeClient(LAny.Port());
    H->SSLOptions().SetMethod(sslvTLSv1);
    EXPECT_TRUE(Contains(OpenOutcome(*H), "Error connecting with SSL.\r\n"));
  }
  TSServer LNo13("server-chain.pem", "server.key", {"-rev", "-no_tls1_3"});
  {
    THandlerPtr H = MakeClient(LNo13.Port());
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(H->GetSSLVersion(), "TLSv1.2");
  }
  {
    THandlerPtr H = MakeClient(LNo13.Port());
    H->SSLOptions().SetMethod(sslvTLSv1_3);
    const std::string LOutcome = OpenOutcome(*H);
    EXPECT_TRUE(
        Contains(LOutcome, "EIdOSSLUnderlyingCryptoError: Error connecting with SSL.\r\nerror:"))
        << LOutcome;
  }
}

TEST(TLSHandler, OldVersionsNeedTheLowestSecurityLevelOnBothSides) {
  TSServer LOld("rsa-chain.pem", "rsa.key", {"-rev", "-cipher", "kRSA:@SECLEVEL=0", "-tls1"});
  THandlerPtr H = MakeClient(LOld.Port());
  H->SSLOptions().SetMethod(sslvTLSv1);
  H->SSLOptions().SetCipherList("DEFAULT:@SECLEVEL=0");
  ASSERT_EQ(OpenOutcome(*H), "connected");
  EXPECT_EQ(H->GetSSLVersion(), "TLSv1");
  EXPECT_EQ(Exchange(*H, "old"), "dlo");
  TSServer LOld11("rsa-chain.pem", "rsa.key", {"-rev", "-cipher", "kRSA:@SECLEVEL=0", "-tls1_1"});
  THandlerPtr H11 = MakeClient(LOld11.Port());
  H11->SSLOptions().SetMethod(sslvTLSv1_1);
  H11->SSLOptions().SetCipherList("DEFAULT:@SECLEVEL=0");
  ASSERT_EQ(OpenOutcome(*H11), "connected");
  EXPECT_EQ(H11->GetSSLVersion(), "TLSv1.1");
}

// A server that wants a client certificate ends the handshake after its own certificate
// arrived: with verification off no verdict on that chain is part of the reason.
TEST(TLSHandler, AFailedHandshakeWithoutVerificationNamesNoChainVerdict) {
  TSServer S("server-chain.pem", "server.key", {"-rev", "-Verify", "1", "-tls1_2"});
  THandlerPtr H = MakeClient(S.Port());
  H->SSLOptions().SetMethod(sslvTLSv1_2);
  const std::string LOutcome = OpenOutcome(*H);
  EXPECT_TRUE(Contains(LOutcome, "Error connecting with SSL.")) << LOutcome;
  EXPECT_FALSE(Contains(LOutcome, "unable to get local issuer certificate")) << LOutcome;
}

TEST(TLSHandler, ServerNameIsSentForHostNamesOnly) {
  // -servername needs a second certificate for other names.
  const std::vector<std::string> LSNI{"-rev",
                                      "-servername",
                                      "localhost",
                                      "-cert2",
                                      Certs().Path("server.pem"),
                                      "-key2",
                                      Certs().Path("server.key")};
  TSServer S("server-chain.pem", "server.key", LSNI);
  {
    THandlerPtr H = MakeClient(S.Port());
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(Exchange(*H, "sni"), "ins");
    EXPECT_TRUE(S.Process().WaitFor("Hostname in TLS extension: \"localhost\""));
  }
  {
    THandlerPtr H = MakeClient(S.Port(), "127.0.0.1");
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(Exchange(*H, "ip"), "pi");
    // Two connections, one name: the literal went without server name indication.
    const std::string LLog = S.Process().Output();
    EXPECT_EQ(LLog.find("Hostname in TLS extension", LLog.find("Hostname in TLS extension") + 1),
              std::string::npos)
        << LLog;
    EXPECT_FALSE(Contains(LLog, "127.0.0.1\""));
  }
  {
    // URIToCheck's host wins over Host; a server insisting on its own name refuses it
    // (alert 112).
    std::vector<std::string> LFatal = LSNI;
    LFatal.push_back("-servername_fatal");
    TSServer LStrict("server-chain.pem", "server.key", LFatal);
    THandlerPtr H = MakeClient(LStrict.Port());
    H->SetURIToCheck("https://other.example:8443/path");
    const std::string LOutcome = OpenOutcome(*H);
    EXPECT_TRUE(Contains(LOutcome, "Error connecting with SSL.\r\n")) << LOutcome;
    EXPECT_TRUE(Contains(LOutcome, "unrecognized name")) << LOutcome;
  }
}

TEST(TLSHandler, ALPNNegotiatedAndRefused) {
  TSServer S("server-chain.pem", "server.key", {"-rev", "-alpn", "rcon,h2"});
  // s_server serves one connection at a time: each client goes before the next comes.
  {
    THandlerPtr H = MakeClient(S.Port());
    H->ALPNProtocols().Add("h2");
    H->ALPNProtocols().Add("");
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(H->GetALPNProtocol(), "h2");
  }
  {
    THandlerPtr LNone = MakeClient(S.Port());
    ASSERT_EQ(OpenOutcome(*LNone), "connected");
    EXPECT_EQ(LNone->GetALPNProtocol(), "");
  }
  THandlerPtr LRefused = MakeClient(S.Port());
  LRefused->ALPNProtocols().Add("spdy/1");
  const std::string LOutcome = OpenOutcome(*LRefused);
  EXPECT_TRUE(Contains(LOutcome, "no application protocol")) << LOutcome;
}

TEST(TLSHandler, VerificationChecksChainDateAndName) {
  struct TCase {
    const char* Cert;
    const char* Key;
    const char* Host;
    const char* Expect;  // "connected" or a part of the failure text
  } LCases[] = {
      {"server-chain.pem", "server.key", "localhost", "connected"},
      {"server-chain.pem", "server.key", "127.0.0.1", "connected"},
      {"expired-chain.pem", "expired.key", "localhost", "certificate has expired"},
      {"selfsigned.pem", "selfsigned.key", "localhost", "self-signed certificate"},
      {"wronghost-chain.pem", "wronghost.key", "localhost", "hostname mismatch"},
  };
  for (const TCase& C : LCases) {
    SCOPED_TRACE(std::string(C.Cert) + " for " + C.Host);
    TSServer S(C.Cert, C.Key, {"-rev"});
    THandlerPtr H = MakeClient(S.Port(), C.Host);
    Verifying(*H);
    const std::string LOutcome = OpenOutcome(*H);
    if (std::string(C.Expect) == "connected") {
      ASSERT_EQ(LOutcome, "connected");
      EXPECT_EQ(Exchange(*H, "checked"), "dekcehc");
    } else {
      EXPECT_TRUE(Contains(LOutcome, "Error connecting with SSL.\r\n")) << LOutcome;
      EXPECT_TRUE(Contains(LOutcome, C.Expect)) << LOutcome;
    }
    H.reset();
    // Without verification every one of them connects.
    THandlerPtr LPlain = MakeClient(S.Port(), C.Host);
    EXPECT_EQ(OpenOutcome(*LPlain), "connected");
  }
}

TEST(TLSHandler, VerifyPeerSeesEachCertificateAndDecides) {
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  std::vector<std::string> LSubjects;
  std::vector<bool> LOks;
  auto LMake = [&](int ADepth) {
    THandlerPtr H = MakeClient(S.Port());
    Verifying(*H);
    H->SSLOptions().SetVerifyDepth(ADepth);
    H->SetOnVerifyPeer([&](TIdX509* ACert, bool AOk, int, int) {
      LSubjects.push_back(ACert->Subject().OneLine());
      LOks.push_back(AOk);
      EXPECT_EQ(ACert->Fingerprints().SHA256AsString().size(), 95u);
      EXPECT_EQ(ACert->Subject().HashAsString().size(), 8u);
      EXPECT_GT(ACert->notAfter(), time(nullptr));
      EXPECT_FALSE(ACert->SerialNumber().empty());
      EXPECT_GT(ACert->DisplayInfo().Count(), 5);
      EXPECT_FALSE(ACert->SigInfo().SigTypeAsString.empty());
      return AOk;
    });
    return H;
  };
  {
    // Depth 0 admits the server's own certificate only: the intermediate (depth 1) fails.
    THandlerPtr H = LMake(0);
    EXPECT_TRUE(Contains(OpenOutcome(*H), "Error connecting with SSL."));
    ASSERT_FALSE(LOks.empty());
    EXPECT_FALSE(LOks.back());
  }
  LSubjects.clear();
  LOks.clear();
  {
    THandlerPtr H = LMake(5);
    ASSERT_EQ(OpenOutcome(*H), "connected");
    ASSERT_EQ(LSubjects.size(), 3u);
    EXPECT_EQ(LSubjects[0], "/CN=qor test root");
    EXPECT_EQ(LSubjects[2], "/CN=localhost");
    EXPECT_EQ(std::count(LOks.begin(), LOks.end(), true), 3);
    ASSERT_NE(H->SSLSocket()->PeerCert(), nullptr);
    EXPECT_EQ(H->SSLSocket()->PeerCert()->Issuer().OneLine(), "/CN=qor test intermediate");
  }
}

TEST(TLSHandler, ClientCertificateRequiredAndGivenInEachForm) {
  TSServer S("server-chain.pem", "server.key",
             {"-rev", "-Verify", "3", "-CAfile", Certs().Path("ca-bundle.pem")});
  {
    // TLS 1.3 finishes the client's handshake first: the refusal (alert 116) arrives with
    // the first read.
    THandlerPtr H = MakeClient(S.Port());
    ASSERT_EQ(OpenOutcome(*H), "connected");
    try {
      Exchange(*H, "anonymous");
      ADD_FAILURE() << "read succeeded";
    } catch (const EIdOSSLUnderlyingCryptoError& E) {
      EXPECT_TRUE(Contains(E.Message(), "certificate required")) << E.Message();
    }
  }
  struct TForm {
    const char* Cert;
    const char* Key;
    const char* Password;
  } LForms[] = {
      {"client.pem", "client.key", ""},
      {"client.pem", "client-enc.key", "secret"},
      {"client.p12", "client.p12", "secret"},
      {"client-chain3.pem", "client.key", ""},
  };
  for (const TForm& F : LForms) {
    SCOPED_TRACE(F.Cert + std::string(" / ") + F.Key);
    THandlerPtr H = MakeClient(S.Port());
    H->SSLOptions().SetCertFile(Certs().Path(F.Cert));
    H->SSLOptions().SetKeyFile(Certs().Path(F.Key));
    const std::string LPassword = F.Password;
    H->SetOnGetPassword([LPassword](std::string& VPassword) { VPassword = LPassword; });
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(Exchange(*H, "known"), "nwonk");
  }
}

TEST(TLSHandler, CloseNotifyIsAGracefulEndAndAnAbruptCloseIsNot) {
  {
    TSServer S("server-chain.pem", "server.key", {"-rev"});
    THandlerPtr H = MakeClient(S.Port());
    ASSERT_EQ(OpenOutcome(*H), "connected");
    H->WriteLn("CLOSE");
    EXPECT_THROW(H->ReadLn(), EIdConnClosedGracefully);
  }
  {
    TSServer S("server-chain.pem", "server.key", {"-rev"});
    THandlerPtr H = MakeClient(S.Port());
    ASSERT_EQ(OpenOutcome(*H), "connected");
    EXPECT_EQ(Exchange(*H, "alive"), "evila");
    S.Process().Kill(SIGKILL);
    try {
      H->ReadLn();
      ADD_FAILURE() << "read succeeded";
    } catch (const EIdOpenSSLAPISSLError& E) {
      EXPECT_EQ(E.Message(), "EOF was observed that violates the protocol");
      EXPECT_EQ(E.ErrorCode(), 5);
      EXPECT_EQ(E.RetCode(), 0);
    }
  }
}

TEST(TLSHandler, StatusReportsNameTheCipherAndTheHandshake) {
  TSServer S("server-chain.pem", "server.key", {"-rev", "-no_tls1_3"});
  THandlerPtr H = MakeClient(S.Port());
  std::vector<std::string> LInfo, LTypes;
  H->SetOnStatusInfo([&](const std::string& AMsg) { LInfo.push_back(AMsg); });
  H->SetOnStatusInfoEx([&](TComponent*, PSSL, int, int, const std::string& AType,
                           const std::string&) { LTypes.push_back(AType); });
  ASSERT_EQ(OpenOutcome(*H), "connected");
  ASSERT_FALSE(LInfo.empty());
  EXPECT_TRUE(
      Contains(LInfo.back(), "Cipher: name = ECDHE-ECDSA-AES256-GCM-SHA384; description = "))
      << LInfo.back();
  EXPECT_TRUE(Contains(LInfo.back(), "; bits = 256; version = TLSv1.2; ")) << LInfo.back();
  EXPECT_TRUE(Contains(LInfo.front(), "SSL status: \"")) << LInfo.front();
  EXPECT_NE(std::find(LTypes.begin(), LTypes.end(), "Handshake Start"), LTypes.end());
  EXPECT_NE(std::find(LTypes.begin(), LTypes.end(), "Handshake Done"), LTypes.end());
  EXPECT_NE(std::find(LTypes.begin(), LTypes.end(), "Connect Exit"), LTypes.end());
  // A TLS 1.2 server hands out a 32-byte session id.
  EXPECT_EQ(H->SSLSocket()->GetSessionIDAsString().size(), 64u);
}

TEST(TLSHandler, SessionSocketTimeoutsFollowReadTimeout) {
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  for (int LReadTimeout : {0, 1500}) {
    THandlerPtr H = MakeClient(S.Port());
    H->SetReadTimeout(LReadTimeout);
    ASSERT_EQ(OpenOutcome(*H), "connected");
    timeval LTime{};
    socklen_t LSize = sizeof LTime;
    getsockopt(H->Binding()->Handle(), SOL_SOCKET, SO_RCVTIMEO, &LTime, &LSize);
    EXPECT_EQ(LTime.tv_sec * 1000 + LTime.tv_usec / 1000, LReadTimeout == 0 ? 30000 : 1500);
  }
}

// A server that accepts the TCP connection and never answers the ClientHello.
TEST(TLSHandler, HandshakeIsBoundedByTheConnectTimeout) {
  uint16_t LPort = 0;
  const int LListen = ListenOnLoopback(4, LPort);
  ASSERT_GE(LListen, 0);
  THandlerPtr H = MakeClient(LPort);
  H->SetConnectTimeout(400);
  const uint64_t LStart = GetTickCount64();
  EXPECT_EQ(OpenOutcome(*H), "EIdConnectTimeout: Connect timed out.");
  EXPECT_LT(GetTickCount64() - LStart, 5000u);
  ::close(LListen);
}

// TLS started on a socket long after its connect: the connect's time-out is spent, the
// handshake's own is not.
TEST(TLSHandler, ALaterHandshakeCountsFromItsOwnStart) {
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  THandlerPtr H = MakeClient(S.Port());
  H->SetPassThrough(true);
  H->SetConnectTimeout(500);
  ASSERT_EQ(OpenOutcome(*H), "connected");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_NO_THROW(H->SetPassThrough(false));
  EXPECT_EQ(Exchange(*H, "late"), "etal");
}

TEST(TLSHandler, QuietWithoutSessionAndRaisesAfterClose) {
  THandlerPtr H(New<TqorIdSSLIOHandlerSocketOpenSSL>(nullptr));
  H->SetPassThrough(false);
  EXPECT_FALSE(H->Readable(0));
  EXPECT_EQ(H->CheckTransportResult(-7), -7);
}

// PassThrough switched on a live connection: plain, then TLS, then plain again on the same
// socket. The far end is a server built from the same binding in server mode.
TEST(TLSHandler, PassThroughSwitchesOnALiveConnection) {
  uint16_t LPort = 0;
  const int LListen = ListenOnLoopback(1, LPort);
  ASSERT_GE(LListen, 0);
  std::string LServerLog;
  std::string LServerError;
  std::thread LServer([&] {
    try {
      const int LFd = ::accept(LListen, nullptr, nullptr);
      // Bounds every wait of this server whatever the client does.
      const timeval LLimit{10, 0};
      setsockopt(LFd, SOL_SOCKET, SO_RCVTIMEO, &LLimit, sizeof LLimit);
      setsockopt(LFd, SOL_SOCKET, SO_SNDTIMEO, &LLimit, sizeof LLimit);
      auto LReadLine = [&](auto AReadByte) {
        std::string LLine;
        char C;
        while (AReadByte(C) && C != '\n') LLine += C;
        if (!LLine.empty() && LLine.back() == '\r') LLine.pop_back();
        return LLine;
      };
      auto LPlainByte = [&](char& C) { return ::recv(LFd, &C, 1, 0) == 1; };
      LServerLog += LReadLine(LPlainByte) + "|";
      TTLSServerSession LTLS(LFd);
      TIdSSLSocket& LSession = LTLS.Session();
      TIdBytes LBuffer(1);
      auto LTLSByte = [&](char& C) {
        if (LSession.Recv(LBuffer) != 1) return false;
        C = static_cast<char>(LBuffer[0]);
        return true;
      };
      LServerLog += LReadLine(LTLSByte) + "|";
      // The client's close-notify ends the session; answer it, then plain text again.
      EXPECT_EQ(LSession.Recv(LBuffer), 0);
      LSession.Shutdown();
      fcntl(LFd, F_SETFL, fcntl(LFd, F_GETFL) & ~O_NONBLOCK);
      LServerLog += LReadLine(LPlainByte);
      ::close(LFd);
    } catch (const std::exception& E) {
      LServerError = E.what();
    }
  });
  THandlerPtr H = MakeClient(LPort);
  H->SetPassThrough(true);
  ASSERT_EQ(OpenOutcome(*H), "connected");
  H->WriteLn("STARTTLS");
  H->SetPassThrough(false);
  EXPECT_FALSE(H->GetSSLVersion().empty());
  H->WriteLn("secret");
  H->SetPassThrough(true);
  H->WriteLn("plain again");
  LServer.join();
  ::close(LListen);
  EXPECT_EQ(LServerError, "");
  EXPECT_EQ(LServerLog, "STARTTLS|secret|plain again");
}

TEST(TLSHandler, FullRCONSessionThroughStunnel) {
  TRCONDemoServerProcess LDemo(RCON_DEMO_SERVER, {"--password", "tlspass"});
  TStunnel LTunnel(LDemo.Port(), "server-chain.pem", "server.key");
  THandlerPtr H = MakeClient(LTunnel.Port());
  Verifying(*H);
  ASSERT_EQ(OpenOutcome(*H), "connected");

  H->Write(WirePacket(1, 3, "tlspass"));
  const TWirePacket LAuth = ReadWirePacketFrom(*H);
  EXPECT_EQ(LAuth.ID, 1);
  EXPECT_EQ(LAuth.Type, 2);
  H->Write(WirePacket(2, 2, "echo over tls"));
  const TWirePacket LAnswer = ReadWirePacketFrom(*H);
  EXPECT_EQ(LAnswer.ID, 2);
  EXPECT_EQ(LAnswer.Type, 0);
  EXPECT_TRUE(Contains(LAnswer.Body, "over tls")) << LAnswer.Body;
}

// The reading thread reads while the owner writes, as the TCP client uses a handler.
TEST(TLSHandler, OneThreadReadsWhileAnotherWrites) {
  TSServer S("server-chain.pem", "server.key", {"-rev"});
  THandlerPtr H = MakeClient(S.Port());
  ASSERT_EQ(OpenOutcome(*H), "connected");
  constexpr int kLines = 300;
  std::atomic<int> LMatched{0};
  std::string LReadError;
  std::thread LReader([&] {
    try {
      for (int I = 0; I < kLines; ++I) {
        std::string LLine = H->ReadLn("\n", 10000);
        std::reverse(LLine.begin(), LLine.end());
        if (LLine == "line " + std::to_string(I)) ++LMatched;
      }
    } catch (const std::exception& E) {
      LReadError = E.what();
    }
  });
  for (int I = 0; I < kLines; ++I) H->Write("line " + std::to_string(I) + "\n");
  LReader.join();
  EXPECT_EQ(LReadError, "");
  EXPECT_EQ(LMatched, kLines);
}

TEST(TLSHandler, CloneCopiesOptionsAndAsksTheOriginal) {
  THandlerPtr H = MakeClient(1);
  H->SSLOptions().SetCipherList("HIGH");
  std::vector<std::string> LStatus;
  H->SetOnGetPassword([](std::string& VPassword) { VPassword = "from original"; });
  H->SetOnStatusInfo([&](const std::string& AMsg) { LStatus.push_back(AMsg); });
  std::unique_ptr<TIdSSLIOHandlerSocketBase> LClone(H->Clone());
  auto* C = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(LClone.get());
  ASSERT_NE(C, nullptr);
  EXPECT_EQ(C->Owner(), nullptr);
  EXPECT_EQ(C->SSLOptions().CipherList(), "HIGH");
  EXPECT_EQ(C->SSLOptions().SSLVersions(), H->SSLOptions().SSLVersions());
  EXPECT_EQ(C->QueryPassword(false), "from original");
  C->NotifyStatusInfo("seen by the original");
  EXPECT_EQ(LStatus, std::vector<std::string>{"seen by the original"});
  ASSERT_NE(C->SSLSocket(), nullptr);
  EXPECT_EQ(C->SSLSocket()->Parent(), H.get());
}
