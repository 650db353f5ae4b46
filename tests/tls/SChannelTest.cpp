// The SChannel engine and handler against real TLS peers on loopback: a scripted server that
// cuts the stream as the test says, `openssl s_server` for renegotiation and key updates, and
// the failure texts of the engine's table.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <optional>
#include <string>

#include "tests/support/Eventually.h"
#include "tests/tls/MemoryTLSServer.h"
#include "tls/qorSSL_SChannel.h"

namespace {

auto& G = GOpenSSL;

void SetReceiveTimeout(int AFd, int AMs) {
  timeval T{AMs / 1000, (AMs % 1000) * 1000};
  setsockopt(AFd, SOL_SOCKET, SO_RCVTIMEO, &T, sizeof T);
}

// A session of the engine on a fresh connection to APort.
struct TEngine {
  explicit TEngine(uint16_t APort, const TqorSChannelCertificate& ACert = {},
                   const std::string& AName = "localhost", const TStringList* AALPN = nullptr,
                   TwsTLSVersions AVersion = tlsUndefined) {
    Fd = ConnectLoopback(APort);
    SetReceiveTimeout(Fd, 10000);  // a test that goes wrong fails instead of hanging
    Session = OpenSChannelSession(Fd, ACert, AName, "", AALPN, AVersion);
  }
  ~TEngine() {
    FreeSChannelSession(Session);
    ::close(Fd);
  }
  std::string Read(int ASize) {
    std::string L(static_cast<size_t>(ASize), '\0');
    const int32_t N = Decrypt(Session, L.data(), ASize);
    Last = N;
    L.resize(N > 0 ? static_cast<size_t>(N) : 0);
    return L;
  }
  int Fd = -1;
  TSSLInfo* Session = nullptr;
  int32_t Last = 0;
};

TEST(SChannelEngine, LargeWritesAreCutIntoRecordsOfTheMaximumMessage) {
  std::atomic<bool> LDone{false};
  TScriptedTLSPeer P([&](TScriptedTLSPeer& S) { LDone = S.ReadApplication(40000); });
  TEngine E(P.Port());
  ASSERT_NE(E.Session, nullptr) << SChannelLastError();
  EXPECT_EQ(E.Session->BuffSizes.cbMaximumMessage, 16384u);
  const std::string LData(40000, 'r');
  EXPECT_EQ(Encrypt(E.Session, LData.data(), 40000), 40000);
  ASSERT_TRUE(WaitUntil([&] { return LDone.load(); }));
  EXPECT_EQ(P.Reads, (std::vector<size_t>{16384, 16384, 7232}));
  EXPECT_EQ(P.Received(), LData);
}

TEST(SChannelEngine, SmallReadsAreServedFromOneRecordWithoutTheSocket) {
  std::atomic<bool> LSent{false};
  const std::string LText = std::string(50, 'a') + std::string(50, 'b');
  TScriptedTLSPeer P([&](TScriptedTLSPeer& S) {
    S.SendRaw(S.Server().Send(LText));
    LSent = true;
    S.ReadApplication(1, 5000);  // holds the connection open
  });
  TEngine E(P.Port());
  ASSERT_NE(E.Session, nullptr) << SChannelLastError();
  ASSERT_TRUE(WaitUntil([&] { return LSent.load(); }));
  EXPECT_EQ(E.Read(10), LText.substr(0, 10));
  // Nothing more comes: a socket read now would fail at once.
  SetReceiveTimeout(E.Fd, 1);
  std::string LRest;
  for (int I = 0; I < 9; ++I) LRest += E.Read(10);
  EXPECT_EQ(LRest, LText.substr(10));
  EXPECT_EQ(E.Read(10), "");
  EXPECT_LT(E.Last, 0);  // now the socket was asked, and had nothing
  EXPECT_EQ(SChannelLastError(), "recv returns 0000274C");
  Encrypt(E.Session, "x", 1);
}

TEST(SChannelEngine, TwoRecordsInOneSegmentAndOneRecordInThree) {
  std::atomic<int> LStep{0};
  TScriptedTLSPeer P([&](TScriptedTLSPeer& S) {
    TBytes8 LTwo = S.Server().Send("first");
    const TBytes8 LSecond = S.Server().Send("second");
    LTwo.insert(LTwo.end(), LSecond.begin(), LSecond.end());
    S.SendRaw(LTwo);
    LStep = 1;
    WaitUntil([&] { return LStep == 2; });
    S.SendRaw(S.Server().Send(std::string(3000, 's')), 1000, 30);
    S.ReadApplication(1, 5000);
  });
  TEngine E(P.Port());
  ASSERT_NE(E.Session, nullptr) << SChannelLastError();
  ASSERT_TRUE(WaitUntil([&] { return LStep == 1; }));
  EXPECT_EQ(E.Session->Readable(), 5);
  EXPECT_EQ(E.Read(100), "first");
  SetReceiveTimeout(E.Fd, 1);
  EXPECT_EQ(E.Read(100), "second");  // from what was held, without a read
  SetReceiveTimeout(E.Fd, 0);
  LStep = 2;
  EXPECT_EQ(E.Read(5000), std::string(3000, 's'));
  Encrypt(E.Session, "x", 1);
}

TEST(SChannelEngine, ATimeOutInARecordKeepsItsPartAndAPeerCloseReadsZero) {
  std::atomic<int> LStep{0};
  TScriptedTLSPeer P([&](TScriptedTLSPeer& S) {
    const TBytes8 LRecord = S.Server().Send("split record");
    S.SendRaw(TBytes8(LRecord.begin(), LRecord.begin() + 10));
    LStep = 1;
    WaitUntil([&] { return LStep == 2; });
    S.SendRaw(TBytes8(LRecord.begin() + 10, LRecord.end()));
    WaitUntil([&] { return LStep == 3; });
    S.Close();
  });
  TEngine E(P.Port());
  ASSERT_NE(E.Session, nullptr) << SChannelLastError();
  ASSERT_TRUE(WaitUntil([&] { return LStep == 1; }));
  SetReceiveTimeout(E.Fd, 50);
  EXPECT_EQ(E.Read(100), "");
  EXPECT_EQ(E.Last, -1);
  EXPECT_EQ(SChannelLastError(), "recv returns 0000274C");
  EXPECT_EQ(E.Session->RecvCount, 10);
  LStep = 2;
  SetReceiveTimeout(E.Fd, 0);
  EXPECT_EQ(E.Read(100), "split record");
  LStep = 3;
  EXPECT_EQ(E.Read(100), "");
  EXPECT_EQ(E.Last, 0);
}

TEST(SChannelEngine, NoALPNAndTheConnectionInfoOnce) {
  TScriptedTLSPeer P([](TScriptedTLSPeer& S) { S.ReadApplication(1, 5000); });
  TStringList LALPN;
  LALPN.Add("h2");
  TEngine E(P.Port(), {}, "localhost", &LALPN, tls1_3);
  ASSERT_NE(E.Session, nullptr) << SChannelLastError();
  EXPECT_EQ(GetALPN(E.Session), "");
  TqorSChannelConnectionInfo* LInfo = GetConnectionInfo(E.Session);
  ASSERT_NE(LInfo, nullptr);
  EXPECT_EQ(GetConnectionInfo(E.Session), LInfo);
  EXPECT_EQ(LInfo->Protocol(), tls1_3);
  EXPECT_EQ(LInfo->Exchange(), "CALG_ECDH_EPHEM");
  Encrypt(E.Session, "x", 1);
}

TEST(SChannelEngine, ALPNListsTooLongAreRefusedBeforeAnythingIsSent) {
  TScriptedTLSPeer P([](TScriptedTLSPeer&) {});
  TStringList LALPN;
  LALPN.Add(std::string(100, 'a'));
  LALPN.Add(std::string(17, 'b'));  // 101 + 18 = 119 bytes: one too many
  TEngine E(P.Port(), {}, "localhost", &LALPN);
  EXPECT_EQ(E.Session, nullptr);
  EXPECT_EQ(SChannelLastError(), RSSChannelALPNTooLong);
}

// A server that asks for a client certificate and keeps the one it got.
int AnyClient(int, PX509_STORE_CTX) {
  return 1;
}
TScriptedTLSPeer::TScript HoldOpen() {
  return [](TScriptedTLSPeer& S) { S.ReadApplication(1, 5000); };
}
void AskForCertificate(PSSL_CTX A) {
  G.SSL_CTX_set_verify(A, SSL_VERIFY_PEER, &AnyClient);
}

bool ServerSawCertificate(TScriptedTLSPeer& P) {
  return P.Locked([](TMemoryServer& S) {
    PX509 LPeer = G.SSL_get_peer_certificate(S.Ssl());
    if (LPeer) G.X509_free(LPeer);
    return LPeer != nullptr;
  });
}

// Stores under a temporary data folder for the length of a test.
class SChannelStores : public ::testing::Test {
 protected:
  void SetUp() override {
    char LTemplate[] = "/tmp/qor-schannel-XXXXXX";
    ASSERT_NE(mkdtemp(LTemplate), nullptr);
    FRoot = LTemplate;
    const char* LOld = getenv("XDG_DATA_HOME");
    if (LOld) FSaved = LOld;
    setenv("XDG_DATA_HOME", FRoot.c_str(), 1);
  }
  void TearDown() override {
    if (FSaved)
      setenv("XDG_DATA_HOME", FSaved->c_str(), 1);
    else
      unsetenv("XDG_DATA_HOME");
    [[maybe_unused]] int R = system(("rm -rf " + FRoot).c_str());
  }
  void Put(const std::string& AStore, const std::string& AFile) {
    const std::string LFolder = CertificateStoreFolder(CERT_SYSTEM_STORE_CURRENT_USER, AStore);
    ASSERT_EQ(
        system(
            ("mkdir -p '" + LFolder + "' && cp '" + Cert(AFile) + "' '" + LFolder + "/'").c_str()),
        0);
  }
  std::string FRoot;
  std::optional<std::string> FSaved;
};

TEST_F(SChannelStores, ClientCertificatesByThumbprintPfxOrPersonalStore) {
  Put("MY", "client-with-key.pem");
  // A thumbprint one character short fails only when the server asks.
  {
    TScriptedTLSPeer P(HoldOpen(), "server-chain.pem", "server.key");
    TqorSChannelCertificate C;
    C.CertHash = std::string(39, 'A');
    TEngine E(P.Port(), C);
    EXPECT_NE(E.Session, nullptr) << SChannelLastError();
    if (E.Session) Encrypt(E.Session, "x", 1);
  }
  for (const auto& [LHash, LText] : std::vector<std::pair<std::string, std::string>>{
           {std::string(39, 'A'), "Invalid Certificate Hash Length, must be 40."},
           {std::string(39, 'A') + "G", "Error calling method CryptStringToBinary."},
           {std::string(40, 'A'),
            "Certificate not found in Store MY with Hash " + std::string(40, 'A')}}) {
    TScriptedTLSPeer P(HoldOpen(), "server-chain.pem", "server.key", &AskForCertificate);
    TqorSChannelCertificate C;
    C.CertHash = LHash;
    TEngine E(P.Port(), C);
    EXPECT_EQ(E.Session, nullptr);
    EXPECT_EQ(SChannelLastError(), LText);
  }
  // The PFX made without any password: the empty one fails, none is tried next.
  {
    TScriptedTLSPeer P(HoldOpen(), "server-chain.pem", "server.key", &AskForCertificate);
    TqorSChannelCertificate C;
    C.CertFile = Cert("client-nopass.p12");
    TEngine E(P.Port(), C);
    ASSERT_NE(E.Session, nullptr) << SChannelLastError();
    Encrypt(E.Session, "x", 1);
    ASSERT_TRUE(WaitUntil([&] { return P.Received() == "x"; }));
    EXPECT_TRUE(ServerSawCertificate(P));
  }
  {
    TScriptedTLSPeer P(HoldOpen(), "server-chain.pem", "server.key", &AskForCertificate);
    TqorSChannelCertificate C;
    C.CertFile = Cert("client.p12");
    C.CertFilePassword = "wrong";
    TEngine E(P.Port(), C);
    EXPECT_EQ(E.Session, nullptr);
    EXPECT_EQ(SChannelLastError(), "Cannot import the certificate.");
  }
  // Neither thumbprint nor file: the personal store's chain search (the store is read when
  // the provider starts).
  UnloadSChannelProvider();
  {
    TScriptedTLSPeer P(HoldOpen(), "server-chain.pem", "server.key", &AskForCertificate);
    TEngine E(P.Port());
    ASSERT_NE(E.Session, nullptr) << SChannelLastError();
    Encrypt(E.Session, "x", 1);
    ASSERT_TRUE(WaitUntil([&] { return P.Received() == "x"; }));
    EXPECT_TRUE(ServerSawCertificate(P));
  }
}

TEST_F(SChannelStores, ServerVerificationChecksTheChainAndTheName) {
  Put("Root", "ca.pem");
  const struct {
    const char* Chain;
    const char* Key;
    const char* Name;
    uint32_t Status;
  } CCases[] = {{"server-chain.pem", "server.key", "localhost", 0},
                {"server-chain.pem", "server.key", "127.0.0.1", 0},
                {"selfsigned.pem", "selfsigned.key", "localhost", 0x800B0109},
                {"server-chain.pem", "server.key", "wrong.example", 0x800B010F},
                {"expired-chain.pem", "expired.key", "localhost", 0x800B0101}};
  for (const auto& C : CCases) {
    SCOPED_TRACE(std::string(C.Chain) + " as " + C.Name);
    TScriptedTLSPeer P(HoldOpen(), C.Chain, C.Key);
    TqorSChannelCertificate LCert;
    LCert.VerifyCertificate = true;
    TEngine E(P.Port(), LCert, C.Name);
    EXPECT_EQ(SChannelCertStatus(), C.Status);
    if (C.Status == 0) {
      EXPECT_NE(E.Session, nullptr) << SChannelLastError();
      if (E.Session) Encrypt(E.Session, "x", 1);
    } else {
      EXPECT_EQ(E.Session, nullptr);
      char LHex[9];
      snprintf(LHex, sizeof LHex, "%08X", C.Status);
      EXPECT_EQ(SChannelLastError(),
                std::string("CertVerifyCertificateChainPolicy.vStatus = ") + LHex);
    }
  }
}

// A small send buffer, a send time-out and a slow reader: sends return part of a record,
// and the engine goes on from where each stopped.
TEST(SChannelEngine, APartialSendIsContinued) {
  std::atomic<bool> LRead{false};
  const size_t LSize = 1 << 20;
  TScriptedTLSPeer P([&](TScriptedTLSPeer& S) { LRead = S.ReadSlowly(LSize, 2048, 1); });
  TEngine E(P.Port());
  ASSERT_NE(E.Session, nullptr) << SChannelLastError();
  int LBuffer = 4096;
  setsockopt(E.Fd, SOL_SOCKET, SO_SNDBUF, &LBuffer, sizeof LBuffer);
  timeval T{1, 0};
  setsockopt(E.Fd, SOL_SOCKET, SO_SNDTIMEO, &T, sizeof T);
  std::string LData(LSize, '\0');
  for (size_t I = 0; I < LSize; ++I) LData[I] = static_cast<char>(I * 7);
  EXPECT_EQ(Encrypt(E.Session, LData.data(), static_cast<int32_t>(LSize)),
            static_cast<int32_t>(LSize))
      << SChannelLastError();
  ASSERT_TRUE(WaitUntil([&] { return LRead.load(); }, 60000));
  EXPECT_EQ(P.Received(), LData);
}

TEST(SChannelEngine, ProviderRoadsFailWithTheirTexts) {
  TScriptedTLSPeer P(HoldOpen());
  UnloadSChannelProvider();
  UnregisterSecurityLibrary("secur32.dll");
  {
    TEngine E(P.Port());
    EXPECT_EQ(E.Session, nullptr);
    EXPECT_EQ(SChannelLastError(), "InitSecurityInterface() not found");
  }
  RegisterSecurityLibrary(
      "secur32.dll",
      {{"InitSecurityInterfaceW",
        reinterpret_cast<void*>(+[]() -> PSecurityFunctionTableW { return nullptr; })}});
  {
    TEngine E(P.Port());
    EXPECT_EQ(E.Session, nullptr);
    EXPECT_EQ(SChannelLastError(), "InitSecurityInterface() returns nil");
  }
  RestoreSecurityLibraries();
  // The failures were not taken for an initialised provider: it works now.
  TScriptedTLSPeer P2(HoldOpen());
  TEngine E(P2.Port());
  EXPECT_NE(E.Session, nullptr) << SChannelLastError();
  if (E.Session) Encrypt(E.Session, "x", 1);
}

TEST(SChannelEngine, EachThreadKeepsItsOwnFailure) {
  TScriptedTLSPeer P(HoldOpen());
  TStringList LLong;
  LLong.Add(std::string(200, 'a'));
  std::string LOther;
  std::thread LThread([&] {
    TEngine E(P.Port());
    LOther = SChannelLastError();
    if (E.Session) Encrypt(E.Session, "x", 1);
  });
  LThread.join();
  TScriptedTLSPeer P2(HoldOpen());
  TEngine E(P2.Port(), {}, "localhost", &LLong);
  EXPECT_EQ(SChannelLastError(), RSSChannelALPNTooLong);
  EXPECT_EQ(LOther, "");
}

// ---- the handler, against openssl s_server ----

class SChannelHandler : public ::testing::Test {
 protected:
  void Open(TSServer& S, TwsTLSVersions AVersion = tlsUndefined) {
    H.reset(New<TqorIdSSLIOHandlerSocketSChannel>(nullptr));
    H->SetHost("127.0.0.1");
    H->SetPort(S.Port());
    H->SetTLSVersion(AVersion);
    H->SetPassThrough(false);
    H->Open();
  }
  std::string ReadLine() { return H->ReadLn("\n", 10000); }
  // Gives s_server a command line and waits until it has acted on it: a line written before
  // that could reach it in the same read and be taken for part of the command.
  static bool Command(TSServer& S, const std::string& ALine) {
    auto LCount = [&] {
      const std::string LOut = S.Process().Output();
      size_t N = 0;
      for (size_t At = LOut.find("SSL_do_handshake"); At != std::string::npos;
           At = LOut.find("SSL_do_handshake", At + 1)) {
        ++N;
      }
      return N;
    };
    const size_t LBefore = LCount();
    S.Process().WriteStdin(ALine);
    return WaitUntil([&] { return LCount() > LBefore; });
  }
  std::unique_ptr<TqorIdSSLIOHandlerSocketSChannel> H;
};

// "r" and "R": the server renegotiates (the second time with a certificate request that
// s_server limits to the first handshake).
TEST_F(SChannelHandler, RenegotiationKeepsTheConnection) {
  TSServer S("server-chain.pem", "server.key", {"-tls1_2"});
  Open(S, tls1_2);
  H->Write(std::string("before\n"));
  ASSERT_TRUE(S.Process().WaitFor("before"));
  for (const char* LCommand : {"r\n", "R\n"}) {
    ASSERT_TRUE(Command(S, LCommand));
    // The client answers the server's request while it waits for data; the server's next
    // line comes once the new handshake is done (data in the middle of it is not taken).
    EXPECT_FALSE(H->Readable(1000));
    S.Process().WriteStdin(std::string("after ") + LCommand);
    EXPECT_EQ(ReadLine(), std::string("after ") + LCommand[0]);
    H->Write(std::string("still here ") + LCommand);
    EXPECT_TRUE(S.Process().WaitFor(std::string("still here ") + LCommand[0]));
  }
}

TEST_F(SChannelHandler, KeyUpdatesAndTicketsKeepTheConnection) {
  TSServer S("server-chain.pem", "server.key", {"-tls1_3"});
  Open(S, tls1_3);
  H->Write(std::string("hello\n"));
  ASSERT_TRUE(S.Process().WaitFor("hello"));
  for (const char* LCommand : {"k\n", "K\n"}) {
    ASSERT_TRUE(Command(S, LCommand));
    S.Process().WriteStdin(std::string("line after ") + LCommand);
    EXPECT_EQ(ReadLine(), std::string("line after ") + LCommand[0]);
    H->Write(std::string("answer after ") + LCommand);
    EXPECT_TRUE(S.Process().WaitFor(std::string("answer after ") + LCommand[0]));
  }
}

TEST_F(SChannelHandler, CloseSendsCloseNotifyAndCloneIsBlank) {
  TSServer S("server-chain.pem", "server.key", {});
  Open(S);
  H->Write(std::string("bye\n"));
  ASSERT_TRUE(S.Process().WaitFor("bye"));
  EXPECT_TRUE(H->Readable(0) == false);
  H->Close();
  EXPECT_TRUE(S.Process().WaitFor("DONE"));
  std::unique_ptr<TIdSSLIOHandlerSocketBase> LClone(H->Clone());
  auto* C = dynamic_cast<TqorIdSSLIOHandlerSocketSChannel*>(LClone.get());
  ASSERT_NE(C, nullptr);
  EXPECT_EQ(C->TLSVersion(), tls1_0);
  EXPECT_EQ(C->Certificate().CertHash, "");
  EXPECT_EQ(C->ALPNProtocols().Count(), 0);
  EXPECT_TRUE(C->PassThrough());
}

TEST_F(SChannelHandler, PassThroughOnSendsPlainTextOnTheSameSocket) {
  TSServer S("server-chain.pem", "server.key", {});
  Open(S);
  H->Write(std::string("secret\n"));
  ASSERT_TRUE(S.Process().WaitFor("secret"));
  H->SetPassThrough(true);
  H->Write(std::string("plain\n"));
  // The server takes the plain bytes for a broken record.
  EXPECT_TRUE(S.Process().WaitFor("error", 10000) || S.Process().WaitFor("ERROR", 100));
}

}  // namespace
