// The security provider on its own, driven as the platform's callers drive it: whole records
// only, extra and missing bytes, record sizes, post-handshake records, close-notify, ALPN,
// client certificates, the certificate stores and the chain policy. The peer is an OpenSSL
// server on memory BIOs in the same process, so every byte is under the test's control.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/tls/MemoryTLSServer.h"
#include "tls/IdSSLOpenSSLHeaders.h"
#include "tls/qorSSPI_Provider.h"

namespace {

auto& G = GOpenSSL;
using TBytes8 = std::vector<uint8_t>;

constexpr ULONG CReq = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;

// The caller's side, as the engine makes its calls.
class TClient {
 public:
  explicit TClient(DWORD AProtocols = 0, PCCERT_CONTEXT ACert = nullptr,
                   std::vector<ALG_ID> AAlgs = {}) {
    T = InitSecurityInterfaceW();
    if (!T) throw std::runtime_error("no provider");
    FAlgs = std::move(AAlgs);
    Cred.dwVersion = SCHANNEL_CRED_VERSION;
    Cred.grbitEnabledProtocols = AProtocols;
    Cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    Cred.cSupportedAlgs = static_cast<DWORD>(FAlgs.size());
    Cred.palgSupportedAlgs = FAlgs.empty() ? nullptr : FAlgs.data();
    FCert = ACert;
    if (ACert) Cred.cCreds = 1, Cred.paCred = &FCert;
    Status = T->AcquireCredentialsHandleW(nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr,
                                          &Cred, nullptr, nullptr, &Credentials, nullptr);
  }
  ~TClient() {
    if (Context.dwLower) T->DeleteSecurityContext(&Context);
    if (Credentials.dwLower) T->FreeCredentialsHandle(&Credentials);
  }
  // The first call; the ClientHello.
  TBytes8 Start(const std::u16string& AName = u"localhost", const TBytes8& AALPN = {}) {
    SecBuffer LIn[1] = {{static_cast<ULONG>(AALPN.size()), SECBUFFER_APPLICATION_PROTOCOLS,
                         const_cast<uint8_t*>(AALPN.data())}};
    SecBufferDesc LInput{0, AALPN.empty() ? 0u : 1u, LIn};
    SecBuffer LOut[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc LOutput{0, 1, LOut};
    ULONG LAttr = 0;
    Status = T->InitializeSecurityContextW(&Credentials, nullptr, AName.c_str(), CReq, 0,
                                           SECURITY_NATIVE_DREP, &LInput, 0, &Context, &LOutput,
                                           &LAttr, nullptr);
    return Token(LOut[0]);
  }
  // A later call with AIn; Extra / Missing as the provider reported them.
  TBytes8 Step(const TBytes8& AIn) {
    TBytes8 LCopy = AIn;
    SecBuffer LIn[2] = {{static_cast<ULONG>(LCopy.size()), SECBUFFER_TOKEN, LCopy.data()},
                        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc LInput{0, 2, LIn};
    SecBuffer LOut[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc LOutput{0, 1, LOut};
    ULONG LAttr = 0;
    Status = T->InitializeSecurityContextW(&Credentials, &Context, nullptr, CReq, 0,
                                           SECURITY_NATIVE_DREP, &LInput, 0, nullptr, &LOutput,
                                           &LAttr, nullptr);
    Extra = LIn[1].BufferType == SECBUFFER_EXTRA ? LIn[1].cbBuffer : 0;
    Missing = LIn[1].BufferType == SECBUFFER_MISSING ? LIn[1].cbBuffer : 0;
    return Token(LOut[0]);
  }
  // Runs the handshake against AServer to its end, then takes in what the server sent after
  // it (TLS 1.3 session tickets), as a reader would.
  bool Handshake(TMemoryServer& AServer, const TBytes8& AALPN = {}) {
    TBytes8 LToServer = Start(u"localhost", AALPN);
    for (int I = 0; I < 10 && (Status == SEC_I_CONTINUE_NEEDED || Status == SEC_E_OK); ++I) {
      TBytes8 LFromServer = AServer.Feed(LToServer);
      if (Status == SEC_E_OK) {
        while (!LFromServer.empty()) {
          const size_t LBefore = LFromServer.size();
          if (!Decrypt(LFromServer).empty() || Status != SEC_E_OK) return false;
          LFromServer.erase(LFromServer.begin(),
                            LFromServer.begin() + static_cast<long>(LBefore - Extra));
        }
        return true;
      }
      LToServer = Step(LFromServer);
    }
    return false;
  }
  TBytes8 Encrypt(const std::string& AText) {
    SecPkgContext_StreamSizes S{};
    T->QueryContextAttributesW(&Context, SECPKG_ATTR_STREAM_SIZES, &S);
    TBytes8 LBuffer(S.cbHeader + AText.size() + S.cbTrailer);
    std::memcpy(LBuffer.data() + S.cbHeader, AText.data(), AText.size());
    SecBuffer B[4] = {
        {S.cbHeader, SECBUFFER_STREAM_HEADER, LBuffer.data()},
        {static_cast<ULONG>(AText.size()), SECBUFFER_DATA, LBuffer.data() + S.cbHeader},
        {S.cbTrailer, SECBUFFER_STREAM_TRAILER, LBuffer.data() + S.cbHeader + AText.size()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc D{0, 4, B};
    Status = T->EncryptMessage(&Context, 0, &D, 0);
    LBuffer.resize(B[0].cbBuffer + B[1].cbBuffer + B[2].cbBuffer);
    return LBuffer;
  }
  // One DecryptMessage over AIn: the plaintext, and the extra bytes' count.
  std::string Decrypt(TBytes8& AIn) {
    SecBuffer B[4] = {{static_cast<ULONG>(AIn.size()), SECBUFFER_DATA, AIn.data()},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc D{0, 4, B};
    Status = T->DecryptMessage(&Context, &D, 0, nullptr);
    std::string LText;
    Extra = Missing = 0;
    for (const SecBuffer& X : B) {
      if (X.BufferType == SECBUFFER_DATA && &X != B)
        LText.append(static_cast<char*>(X.pvBuffer), X.cbBuffer);
      if (X.BufferType == SECBUFFER_EXTRA) Extra = X.cbBuffer;
      if (X.BufferType == SECBUFFER_MISSING) Missing = X.cbBuffer;
    }
    return LText;
  }

  PSecurityFunctionTableW T = nullptr;
  SCHANNEL_CRED Cred{};
  CredHandle Credentials{};
  CtxtHandle Context{};
  SECURITY_STATUS Status = 0;
  ULONG Extra = 0, Missing = 0;

 private:
  TBytes8 Token(SecBuffer& B) {
    TBytes8 LOut;
    if (B.pvBuffer) {
      LOut.assign(static_cast<uint8_t*>(B.pvBuffer),
                  static_cast<uint8_t*>(B.pvBuffer) + B.cbBuffer);
      T->FreeContextBuffer(B.pvBuffer);
    }
    return LOut;
  }
  std::vector<ALG_ID> FAlgs;
  PCCERT_CONTEXT FCert = nullptr;
};

TBytes8 Concat(TBytes8 A, const TBytes8& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

TEST(Provider, TheTableHasTheCallsAndRefusesOtherPackages) {
  PSecurityFunctionTableW T = InitSecurityInterfaceW();
  ASSERT_NE(T, nullptr);
  EXPECT_NE(T->AcquireCredentialsHandleW, nullptr);
  EXPECT_NE(T->DecryptMessage, nullptr);
  EXPECT_EQ(T->AcceptSecurityContext, nullptr);  // the server side is not offered
  SCHANNEL_CRED C{};
  C.dwVersion = SCHANNEL_CRED_VERSION;
  CredHandle H{};
  EXPECT_EQ(T->AcquireCredentialsHandleW(nullptr, u"Negotiate", SECPKG_CRED_OUTBOUND, nullptr, &C,
                                         nullptr, nullptr, &H, nullptr),
            SEC_E_SECPKG_NOT_FOUND);
  C.dwVersion = 3;
  EXPECT_EQ(T->AcquireCredentialsHandleW(nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr, &C,
                                         nullptr, nullptr, &H, nullptr),
            SEC_E_INVALID_PARAMETER);
  EXPECT_EQ(T->DeleteSecurityContext(&H), SEC_E_INVALID_HANDLE);
}

TEST(Provider, HandshakeTakesWholeRecordsOnlyAndGivesBackWhatFollows) {
  TMemoryServer S;
  TClient C;
  ASSERT_EQ(C.Status, SEC_E_OK);
  const TBytes8 LHello = C.Start();
  ASSERT_EQ(C.Status, SEC_I_CONTINUE_NEEDED);
  ASSERT_GT(LHello.size(), 5u);
  EXPECT_EQ(LHello[0], 0x16);  // a handshake record
  const TBytes8 LFlight = S.Feed(LHello);
  ASSERT_GT(LFlight.size(), 10u);

  // Not even a record header: nothing is consumed, and the provider says what is missing.
  TBytes8 LFour(LFlight.begin(), LFlight.begin() + 4);
  EXPECT_TRUE(C.Step(LFour).empty());
  EXPECT_EQ(C.Status, SEC_E_INCOMPLETE_MESSAGE);
  EXPECT_EQ(C.Missing, 1u);
  // Short of one byte: the whole records are taken, the last one's part comes back.
  TBytes8 LShort(LFlight.begin(), LFlight.end() - 1);
  EXPECT_TRUE(C.Step(LShort).empty());
  EXPECT_EQ(C.Status, SEC_I_CONTINUE_NEEDED);
  ASSERT_GT(C.Extra, 0u);
  ASSERT_LT(C.Extra, LShort.size());
  // The rest of that record and the start of the next one: the handshake ends, the start
  // comes back as extra.
  TBytes8 LRest(LFlight.end() - 1 - C.Extra, LFlight.end());
  const TBytes8 LFinished = C.Step(Concat(LRest, {0x17, 0x03, 0x03}));
  EXPECT_EQ(C.Status, SEC_E_OK);
  EXPECT_EQ(C.Extra, 3u);
  ASSERT_FALSE(LFinished.empty());
  S.Feed(LFinished);
  EXPECT_TRUE(S.Accepted());
}

TEST(Provider, RecordsHaveTheRealSizesAndOneRecordIsDecryptedPerCall) {
  TMemoryServer S;
  TClient C;
  ASSERT_TRUE(C.Handshake(S));
  SecPkgContext_StreamSizes Z{};
  ASSERT_EQ(C.T->QueryContextAttributesW(&C.Context, SECPKG_ATTR_STREAM_SIZES, &Z), SEC_E_OK);
  EXPECT_EQ(Z.cbHeader, 5u);  // TLS 1.3: the record header only
  EXPECT_EQ(Z.cbMaximumMessage, 16384u);
  EXPECT_GE(Z.cbTrailer, 17u);  // content type and tag
  EXPECT_EQ(Z.cBuffers, 4u);

  // Client to server: exactly one record, which the server reads back.
  const TBytes8 LRecord = C.Encrypt("hello server");
  ASSERT_EQ(C.Status, SEC_E_OK);
  EXPECT_EQ(LRecord.size(), 5 + 12 + 17u);
  EXPECT_EQ((LRecord[3] << 8 | LRecord[4]) + 5, static_cast<int>(LRecord.size()));
  EXPECT_TRUE(S.Feed(LRecord).empty());
  EXPECT_EQ(S.Received, "hello server");
  const std::string LLarge(16384, 'x');
  S.Feed(C.Encrypt(LLarge));
  EXPECT_EQ(S.Received.size(), 12 + 16384u);

  // Server to client: two records in one piece.
  TBytes8 LTwo = S.Send("first");
  LTwo = Concat(LTwo, S.Send("second"));
  const size_t LSecond = LTwo.size() - (5 + 6 + 17);
  EXPECT_EQ(C.Decrypt(LTwo), "first");
  EXPECT_EQ(C.Status, SEC_E_OK);
  ASSERT_EQ(C.Extra, LTwo.size() - LSecond);
  TBytes8 LRest(LTwo.begin() + static_cast<long>(LSecond), LTwo.end());
  TBytes8 LPart(LRest.begin(), LRest.end() - 2);
  EXPECT_EQ(C.Decrypt(LPart), "");
  EXPECT_EQ(C.Status, SEC_E_INCOMPLETE_MESSAGE);
  EXPECT_EQ(C.Missing, 2u);
  EXPECT_EQ(C.Decrypt(LRest), "second");
  EXPECT_EQ(C.Extra, 0u);

  // A record that was tampered with fails.
  TBytes8 LBad = S.Send("tampered");
  LBad[8] ^= 0x40;
  C.Decrypt(LBad);
  EXPECT_EQ(C.Status, SEC_E_DECRYPT_FAILURE);
}

TEST(Provider, CloseNotifyBothWays) {
  {
    TMemoryServer S;
    TClient C;
    ASSERT_TRUE(C.Handshake(S));
    TBytes8 LAlert = S.Close();
    C.Decrypt(LAlert);
    EXPECT_EQ(C.Status, SEC_I_CONTEXT_EXPIRED);
  }
  TMemoryServer S;
  TClient C;
  ASSERT_TRUE(C.Handshake(S));
  DWORD LShutdown = SCHANNEL_SHUTDOWN;
  SecBuffer B[1] = {{sizeof LShutdown, SECBUFFER_TOKEN, &LShutdown}};
  SecBufferDesc D{0, 1, B};
  ASSERT_EQ(C.T->ApplyControlToken(&C.Context, &D), SEC_E_OK);
  const TBytes8 LAlert = C.Step({});
  EXPECT_EQ(C.Status, SEC_E_OK);
  ASSERT_FALSE(LAlert.empty());
  S.Feed(LAlert);
  EXPECT_EQ(S.LastError(), SSL_ERROR_ZERO_RETURN);
}

int SelectH2(PSSL, const unsigned char** AOut, unsigned char* AOutLen, const unsigned char* AIn,
             unsigned int AInLen, void*) {
  for (unsigned I = 0; I < AInLen; I += 1 + AIn[I]) {
    if (AIn[I] == 2 && std::memcmp(AIn + I + 1, "h2", 2) == 0) {
      *AOut = AIn + I + 1;
      *AOutLen = 2;
      return 0;
    }
  }
  return 3;  // no acknowledgement
}

TEST(Provider, ApplicationProtocolAndConnectionInfo) {
  TMemoryServer S("server-chain.pem", "server.key",
                  [](PSSL_CTX A) { G.SSL_CTX_set_alpn_select_cb(A, &SelectH2, nullptr); });
  TClient C(SP_PROT_TLS1_2_CLIENT, nullptr, {0x6610});  // TLS 1.2, AES-256 only
  // SEC_APPLICATION_PROTOCOLS with "http/1.1" and "h2".
  const TBytes8 LALPN = {18,  0,   0,   0,   2,   0,   0,   0,   12, 0,   8,
                         'h', 't', 't', 'p', '/', '1', '.', '1', 2,  'h', '2'};
  ASSERT_TRUE(C.Handshake(S, LALPN));
  SecPkgContext_ApplicationProtocol A{};
  ASSERT_EQ(C.T->QueryContextAttributesW(&C.Context, SECPKG_ATTR_APPLICATION_PROTOCOL, &A),
            SEC_E_OK);
  EXPECT_EQ(A.ProtoNegoStatus, SecApplicationProtocolNegotiationStatus_Success);
  EXPECT_EQ(A.ProtoNegoExt, SecApplicationProtocolNegotiationExt_ALPN);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(A.ProtocolId), A.ProtocolIdSize), "h2");
  SecPkgContext_ConnectionInfo I{};
  ASSERT_EQ(C.T->QueryContextAttributesW(&C.Context, SECPKG_ATTR_CONNECTION_INFO, &I), SEC_E_OK);
  EXPECT_EQ(I.dwProtocol, SP_PROT_TLS1_2_CLIENT);
  EXPECT_EQ(I.aiCipher, 0x6610u);  // CALG_AES_256
  EXPECT_EQ(I.dwCipherStrength, 256u);
  EXPECT_EQ(I.aiHash, 0x800Du);  // CALG_SHA_384 (AES-256-GCM-SHA384)
  EXPECT_EQ(I.aiExch, 0xAE06u);  // CALG_ECDH_EPHEM
  EXPECT_GT(I.dwExchStrength, 0u);
  // TLS 1.2 with GCM: an 8-byte explicit nonce behind the record header.
  SecPkgContext_StreamSizes Z{};
  C.T->QueryContextAttributesW(&C.Context, SECPKG_ATTR_STREAM_SIZES, &Z);
  EXPECT_EQ(Z.cbHeader, 13u);
  const TBytes8 LRecord = C.Encrypt("tls 1.2");
  EXPECT_EQ(LRecord.size(), 13 + 7 + 16u);
  S.Feed(LRecord);
  EXPECT_EQ(S.Received, "tls 1.2");

  TMemoryServer S2;
  TClient C2;
  ASSERT_TRUE(C2.Handshake(S2));
  std::memset(&A, 0x55, sizeof A);
  C2.T->QueryContextAttributesW(&C2.Context, SECPKG_ATTR_APPLICATION_PROTOCOL, &A);
  EXPECT_EQ(A.ProtoNegoStatus, SecApplicationProtocolNegotiationStatus_None);
  EXPECT_EQ(A.ProtocolIdSize, 0);
}

// A folder for the stores, pointed at through the data-folder variables.
class TStoreFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    char LTemplate[] = "/tmp/qor-stores-XXXXXX";
    ASSERT_NE(mkdtemp(LTemplate), nullptr);
    FRoot = LTemplate;
    for (const char* V : {"XDG_DATA_HOME", "XDG_DATA_DIRS"}) {
      const char* LOld = getenv(V);
      FSaved.emplace_back(V, LOld ? std::optional<std::string>(LOld) : std::nullopt);
    }
    setenv("XDG_DATA_HOME", (FRoot + "/user").c_str(), 1);
    setenv("XDG_DATA_DIRS", (FRoot + "/machine:/usr/share").c_str(), 1);
  }
  void TearDown() override {
    for (auto& [V, LOld] : FSaved) {
      if (LOld)
        setenv(V.c_str(), LOld->c_str(), 1);
      else
        unsetenv(V.c_str());
    }
    [[maybe_unused]] int R = system(("rm -rf " + FRoot).c_str());
  }
  // Copies a certificate file into a store's folder.
  void Put(DWORD ALocation, const std::string& AStore, const std::string& AFile) {
    const std::string LFolder = CertificateStoreFolder(ALocation, AStore);
    ASSERT_EQ(
        system(
            ("mkdir -p '" + LFolder + "' && cp '" + Cert(AFile) + "' '" + LFolder + "/'").c_str()),
        0);
  }
  static std::string Fingerprint(const std::string& AFile) {
    FILE* P = popen(("openssl x509 -noout -fingerprint -sha1 -in " + Cert(AFile)).c_str(), "r");
    char L[256] = {};
    [[maybe_unused]] char* R = fgets(L, sizeof L, P);
    pclose(P);
    std::string S = L;
    S = S.substr(S.find('=') + 1);
    std::string LHex;
    for (char C : S)
      if (isxdigit(static_cast<unsigned char>(C))) LHex += C;
    return LHex;
  }
  std::string FRoot;
  std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};

TEST_F(TStoreFolders, StoresLiveInTheDataFolders) {
  EXPECT_EQ(CertificateStoreFolder(CERT_SYSTEM_STORE_CURRENT_USER, "MY"),
            FRoot + "/user/qorRCON/certificates/MY");
  EXPECT_EQ(CertificateStoreFolder(CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root"),
            FRoot + "/machine/qorRCON/certificates/Root");
  // A system store opens even while its folder does not exist; another name only without
  // "open existing".
  HCERTSTORE LMy = CertOpenSystemStoreW(0, u"MY");
  ASSERT_NE(LMy, nullptr);
  EXPECT_EQ(CertFindCertificateInStore(LMy, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr),
            nullptr);
  CertCloseStore(LMy, 0);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, u"Nope"),
            nullptr);
  HCERTSTORE LOther = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER, u"Nope");
  EXPECT_NE(LOther, nullptr);
  CertCloseStore(LOther, 0);
  // The local machine's Root holds the system's CA certificates.
  HCERTSTORE LRoot =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                    CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, u"Root");
  ASSERT_NE(LRoot, nullptr);
  PCCERT_CONTEXT LAny =
      CertFindCertificateInStore(LRoot, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
  EXPECT_NE(LAny, nullptr);
  CertFreeCertificateContext(LAny);
  CertCloseStore(LRoot, 0);
}

TEST_F(TStoreFolders, FindByThumbprintAndHexText) {
  Put(CERT_SYSTEM_STORE_CURRENT_USER, "MY", "client-with-key.pem");
  Put(CERT_SYSTEM_STORE_CURRENT_USER, "MY", "server.pem");
  const std::string LPrint = Fingerprint("client.pem");
  ASSERT_EQ(LPrint.size(), 40u);
  const std::u16string LWide = WidenUTF8(LPrint);
  uint8_t LHash[20];
  DWORD LSize = sizeof LHash;
  ASSERT_TRUE(
      CryptStringToBinaryW(LWide.c_str(), 40, CRYPT_STRING_HEX, LHash, &LSize, nullptr, nullptr));
  EXPECT_EQ(LSize, 20u);
  DWORD LSmall = 10;
  EXPECT_FALSE(
      CryptStringToBinaryW(LWide.c_str(), 40, CRYPT_STRING_HEX, LHash, &LSmall, nullptr, nullptr));
  DWORD LAny = 20;
  EXPECT_FALSE(CryptStringToBinaryW(u"zz", 2, CRYPT_STRING_HEX, LHash, &LAny, nullptr, nullptr));
  EXPECT_FALSE(CryptStringToBinaryW(u"abc", 3, CRYPT_STRING_HEX, LHash, &LAny, nullptr, nullptr));

  HCERTSTORE LMy =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, u"my");
  ASSERT_NE(LMy, nullptr);
  CRYPT_HASH_BLOB LBlob{20, LHash};
  PCCERT_CONTEXT LFound =
      CertFindCertificateInStore(LMy, X509_ASN_ENCODING, 0, CERT_FIND_HASH, &LBlob, nullptr);
  ASSERT_NE(LFound, nullptr);
  CertCloseStore(LMy, 0);  // the context keeps the store
  EXPECT_GT(LFound->cbCertEncoded, 100u);
  EXPECT_EQ(LFound->pbCertEncoded[0], 0x30);
  // Found twice? No: the next search from it finds nothing.
  PCCERT_CONTEXT LDup = CertDuplicateCertificateContext(LFound);
  EXPECT_EQ(CertFindCertificateInStore(LFound->hCertStore, X509_ASN_ENCODING, 0, CERT_FIND_HASH,
                                       &LBlob, LDup),
            nullptr);
  // The certificate with its key serves as a client credential.
  TClient C(0, LFound);
  EXPECT_EQ(C.Status, SEC_E_OK);
  CertFreeCertificateContext(LFound);
}

TEST_F(TStoreFolders, ChainSearchByIssuerForClientAuthentication) {
  Put(CERT_SYSTEM_STORE_CURRENT_USER, "MY", "server.pem");  // no key: never chosen
  Put(CERT_SYSTEM_STORE_CURRENT_USER, "MY", "client-with-key.pem");
  Put(CERT_SYSTEM_STORE_CURRENT_USER, "CA", "inter.pem");
  Put(CERT_SYSTEM_STORE_CURRENT_USER, "Root", "ca.pem");
  HCERTSTORE LMy = CertOpenSystemStoreW(0, u"MY");
  // The issuer list a server sends: the root's name.
  HCERTSTORE LRootStore = CertOpenSystemStoreW(0, u"Root");
  PCCERT_CONTEXT LRoot =
      CertFindCertificateInStore(LRootStore, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
  ASSERT_NE(LRoot, nullptr);
  const std::string LDer(reinterpret_cast<const char*>(LRoot->pbCertEncoded), LRoot->cbCertEncoded);
  // The subject name of a self-signed root is its issuer name: take it from a chain instead.
  DWORD LChainIndex = 9, LElement = 9;
  CERT_CHAIN_FIND_BY_ISSUER_PARA P{};
  P.cbSize = sizeof P;
  P.pszUsageIdentifier = "1.3.6.1.5.5.7.3.2";
  P.pdwIssuerChainIndex = &LChainIndex;
  P.pdwIssuerElementIndex = &LElement;
  PCCERT_CHAIN_CONTEXT LAll =
      CertFindChainInStore(LMy, X509_ASN_ENCODING, 0, CERT_CHAIN_FIND_BY_ISSUER, &P, nullptr);
  ASSERT_NE(LAll, nullptr);  // no issuers named: any certificate with a key
  ASSERT_EQ(LAll->cChain, 1u);
  ASSERT_EQ(LAll->rgpChain[0]->cElement, 3u);  // client, intermediate, root
  EXPECT_EQ(LAll->rgpChain[0]->TrustStatus.dwErrorStatus, CERT_TRUST_NO_ERROR);
  EXPECT_EQ(CertFindChainInStore(LMy, X509_ASN_ENCODING, 0, CERT_CHAIN_FIND_BY_ISSUER, &P, LAll),
            nullptr);

  // Named issuers: the root's name matches (at the last element), another name does not.
  TMemoryServer LNameSource("ca.pem", "ca.key");
  PSTACK LNames = G.sk_new_null();
  PX509 LCa = nullptr;
  {
    const std::string LPem = TMemoryServer::ReadAll(Cert("ca.pem"));
    PBIO B = G.BIO_new_mem_buf(LPem.data(), static_cast<int>(LPem.size()));
    LCa = G.PEM_read_bio_X509(B, nullptr, nullptr, nullptr);
    G.BIO_free(B);
  }
  unsigned char* LName = nullptr;
  const int LNameSize = G.i2d_X509_NAME(G.X509_get_subject_name(LCa), &LName);
  CERT_NAME_BLOB LIssuer{static_cast<DWORD>(LNameSize), LName};
  P.cIssuer = 1;
  P.rgIssuer = &LIssuer;
  PCCERT_CHAIN_CONTEXT LByRoot =
      CertFindChainInStore(LMy, X509_ASN_ENCODING, 0, CERT_CHAIN_FIND_BY_ISSUER, &P, nullptr);
  ASSERT_NE(LByRoot, nullptr);
  EXPECT_EQ(LChainIndex, 0u);
  EXPECT_EQ(LElement, 1u);  // the intermediate's issuer is the root
  CertFreeCertificateChain(LByRoot);
  uint8_t LOther[] = {0x30, 0x00};
  LIssuer = {2, LOther};
  EXPECT_EQ(CertFindChainInStore(LMy, X509_ASN_ENCODING, 0, CERT_CHAIN_FIND_BY_ISSUER, &P, nullptr),
            nullptr);
  TLSFree(LName);
  G.X509_free(LCa);
  G.sk_pop_free(LNames, nullptr);
  CertFreeCertificateContext(LRoot);
  CertCloseStore(LRootStore, 0);
  CertCloseStore(LMy, 0);
}

// The SSL policy's result for the certificate a server sends and a server name, taken
// through the provider's own road: the handshake, the remote certificate, its chain.
uint32_t Policy(const std::string& AChain, const std::string& AKey, const std::u16string& AName,
                DWORD AIgnore = 0) {
  TMemoryServer S(AChain, AKey);
  TClient C;
  if (!C.Handshake(S)) return 0xFFFFFFFF;
  PCCERT_CONTEXT LCert = nullptr;
  if (C.T->QueryContextAttributesW(&C.Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &LCert) !=
      SEC_E_OK) {
    return 0xFFFFFFFE;
  }
  char LServerAuth[] = "1.3.6.1.5.5.7.3.1";
  char* LUsages[] = {LServerAuth};
  CERT_CHAIN_PARA LPara{sizeof LPara, {USAGE_MATCH_TYPE_OR, {1, LUsages}}};
  PCCERT_CHAIN_CONTEXT LChain = nullptr;
  EXPECT_TRUE(CertGetCertificateChain(nullptr, LCert, nullptr, LCert->hCertStore, &LPara, 0,
                                      nullptr, &LChain));
  std::u16string LName = AName;
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA LExtra{sizeof LExtra, AUTHTYPE_SERVER, AIgnore, LName.data()};
  CERT_CHAIN_POLICY_PARA LPolicy{sizeof LPolicy, 0, &LExtra};
  CERT_CHAIN_POLICY_STATUS LStatus{sizeof LStatus, 0, 0, 0, nullptr};
  EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, LChain, &LPolicy, &LStatus));
  CertFreeCertificateChain(LChain);
  CertFreeCertificateContext(LCert);
  return LStatus.dwError;
}

TEST_F(TStoreFolders, ChainPolicyGivesThePlatformCodes) {
  // No root in any store: the chain cannot be completed.
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"localhost"), CERT_E_CHAINING);
  Put(CERT_SYSTEM_STORE_CURRENT_USER, "Root", "ca.pem");
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"localhost"), 0u);
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"LOCALHOST"), 0u);
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"127.0.0.1"), 0u);
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"::1"), 0u);
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"other.example"), CERT_E_CN_NO_MATCH);
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"10.0.0.1"), CERT_E_CN_NO_MATCH);
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"other.example",
                   SECURITY_FLAG_IGNORE_CERT_CN_INVALID),
            0u);
  EXPECT_EQ(Policy("wronghost-chain.pem", "wronghost.key", u"localhost"), CERT_E_CN_NO_MATCH);
  EXPECT_EQ(Policy("expired-chain.pem", "expired.key", u"localhost"), CERT_E_EXPIRED);
  EXPECT_EQ(Policy("expired-chain.pem", "expired.key", u"localhost",
                   SECURITY_FLAG_IGNORE_CERT_DATE_INVALID),
            0u);
  EXPECT_EQ(Policy("selfsigned.pem", "selfsigned.key", u"localhost"), CERT_E_UNTRUSTEDROOT);
  EXPECT_EQ(
      Policy("selfsigned.pem", "selfsigned.key", u"localhost", SECURITY_FLAG_IGNORE_UNKNOWN_CA),
      0u);
  // A certificate made for client authentication only, offered by a server.
  EXPECT_EQ(Policy("client-chain3.pem", "client.key", u"localhost"), CERT_E_WRONG_USAGE);
  // The root in the local machine's Root serves as well.
  ASSERT_EQ(system(("rm -rf " + FRoot + "/user").c_str()), 0);
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"localhost"), CERT_E_CHAINING);
  Put(CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root", "ca.pem");
  EXPECT_EQ(Policy("server-chain.pem", "server.key", u"localhost"), 0u);
}

HCERTSTORE ImportPfx(const std::string& AFile, const char16_t* APassword) {
  std::string LBytes = TMemoryServer::ReadAll(Cert(AFile));
  CRYPT_DATA_BLOB LBlob{static_cast<DWORD>(LBytes.size()),
                        reinterpret_cast<uint8_t*>(LBytes.data())};
  return PFXImportCertStore(&LBlob, APassword, 0);
}

TEST(Provider, PfxImportTellsAnEmptyPasswordFromNone) {
  HCERTSTORE LStore = ImportPfx("client.p12", u"secret");
  ASSERT_NE(LStore, nullptr);
  PCCERT_CONTEXT LFirst =
      CertFindCertificateInStore(LStore, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
  ASSERT_NE(LFirst, nullptr);
  PCCERT_CONTEXT LSecond =
      CertFindCertificateInStore(LStore, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr,
                                 CertDuplicateCertificateContext(LFirst));
  EXPECT_NE(LSecond, nullptr);  // the intermediate travels with it
  CertFreeCertificateContext(LSecond);
  CertCloseStore(LStore, 0);
  {
    TClient C(0, LFirst);  // the first one has its key
    EXPECT_EQ(C.Status, SEC_E_OK);
  }
  CertFreeCertificateContext(LFirst);
  EXPECT_EQ(ImportPfx("client.p12", u"wrong"), nullptr);
  EXPECT_EQ(ImportPfx("client.p12", nullptr), nullptr);
  std::string LJunk = "not a pfx";
  CRYPT_DATA_BLOB LBlob{static_cast<DWORD>(LJunk.size()), reinterpret_cast<uint8_t*>(LJunk.data())};
  EXPECT_EQ(PFXImportCertStore(&LBlob, u"", 0), nullptr);

  HCERTSTORE LEmpty = ImportPfx("client-empty.p12", u"");
  EXPECT_NE(LEmpty, nullptr);
  CertCloseStore(LEmpty, 0);
  EXPECT_EQ(ImportPfx("client-nopass.p12", u""), nullptr);
  HCERTSTORE LNone = ImportPfx("client-nopass.p12", nullptr);
  EXPECT_NE(LNone, nullptr);
  CertCloseStore(LNone, 0);
}

int AcceptAnyClient(int, PX509_STORE_CTX) {
  return 1;
}

// A server that asks for a client certificate from the given CA.
TMemoryServer AskingServer() {
  return TMemoryServer("server-chain.pem", "server.key", [](PSSL_CTX A) {
    G.SSL_CTX_set_verify(A, SSL_VERIFY_PEER, &AcceptAnyClient);
    const std::string LPem = TMemoryServer::ReadAll(Cert("ca.pem"));
    PBIO B = G.BIO_new_mem_buf(LPem.data(), static_cast<int>(LPem.size()));
    PX509 LCa = G.PEM_read_bio_X509(B, nullptr, nullptr, nullptr);
    G.BIO_free(B);
    PSTACK LNames = G.sk_new_null();
    G.sk_push(LNames, G.X509_NAME_dup(G.X509_get_subject_name(LCa)));
    G.SSL_CTX_set_client_CA_list(A, LNames);
    G.X509_free(LCa);
  });
}

TEST(Provider, AServersRequestForACertificateComesBackAsIncompleteCredentials) {
  for (const bool LGiveOne : {true, false}) {
    SCOPED_TRACE(LGiveOne ? "with a certificate" : "without");
    TMemoryServer S = AskingServer();
    TClient C;
    TBytes8 LFlight = S.Feed(C.Start());
    C.Step(LFlight);
    ASSERT_EQ(C.Status, SEC_I_INCOMPLETE_CREDENTIALS);
    const TBytes8 LTail(LFlight.end() - C.Extra, LFlight.end());
    SecPkgContext_IssuerListInfoEx LIssuers{};
    ASSERT_EQ(C.T->QueryContextAttributesW(&C.Context, SECPKG_ATTR_ISSUER_LIST_EX, &LIssuers),
              SEC_E_OK);
    ASSERT_EQ(LIssuers.cIssuers, 1u);
    EXPECT_EQ(LIssuers.aIssuers[0].pbData[0], 0x30);  // a DER name
    C.T->FreeContextBuffer(LIssuers.aIssuers);
    HCERTSTORE LStore = nullptr;
    if (LGiveOne) {
      LStore = ImportPfx("client.p12", u"secret");
      PCCERT_CONTEXT LCert =
          CertFindCertificateInStore(LStore, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
      C.Cred.cCreds = 1;
      C.Cred.paCred = &LCert;
      CredHandle LNew{};
      ASSERT_EQ(C.T->AcquireCredentialsHandleW(nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr,
                                               &C.Cred, nullptr, nullptr, &LNew, nullptr),
                SEC_E_OK);
      CertFreeCertificateContext(LCert);
      C.T->FreeCredentialsHandle(&C.Credentials);
      C.Credentials = LNew;
    }
    const TBytes8 LFinish = C.Step(LTail);
    ASSERT_EQ(C.Status, SEC_E_OK);
    S.Feed(LFinish);
    ASSERT_TRUE(S.Accepted());
    PX509 LPeer = G.SSL_get_peer_certificate(S.Ssl());
    EXPECT_EQ(LPeer != nullptr, LGiveOne);
    if (LPeer) G.X509_free(LPeer);
    if (LStore) CertCloseStore(LStore, 0);
  }
}

TEST(Provider, LibrariesAreReachedByName) {
  HMODULE LSecur = LoadSecurityLibrary("SECUR32.DLL");
  ASSERT_NE(LSecur, nullptr);
  EXPECT_EQ(GetSecurityProcAddress(LSecur, "InitSecurityInterfaceW"),
            reinterpret_cast<void*>(&InitSecurityInterfaceW));
  EXPECT_EQ(GetSecurityProcAddress(LSecur, "InitSecurityInterfaceA"), nullptr);
  HMODULE LCrypt = LoadSecurityLibrary("crypt32.dll");
  EXPECT_EQ(GetSecurityProcAddress(LCrypt, "PFXImportCertStore"),
            reinterpret_cast<void*>(&PFXImportCertStore));
  UnregisterSecurityLibrary("crypt32.dll");
  EXPECT_EQ(LoadSecurityLibrary("crypt32.dll"), nullptr);
  EXPECT_EQ(SecurityLibraryLastErrorText(), "The specified module could not be found.");
  // A handle taken before stays usable.
  EXPECT_NE(GetSecurityProcAddress(LCrypt, "CertOpenStore"), nullptr);
  RegisterSecurityLibrary("secur32.dll", {});
  EXPECT_EQ(GetSecurityProcAddress(LoadSecurityLibrary("secur32.dll"), "InitSecurityInterfaceW"),
            nullptr);
  RestoreSecurityLibraries();
  EXPECT_NE(LoadSecurityLibrary("crypt32.dll"), nullptr);
  EXPECT_NE(GetSecurityProcAddress(LoadSecurityLibrary("secur32.dll"), "InitSecurityInterfaceW"),
            nullptr);
}

}  // namespace
