#include "tls/qorSSL_SChannel.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "base/Constructed.h"
#include "platform/SysUtils.h"
#include "transport/IdException.h"
#include "transport/IdSocketHandle.h"
#include "transport/IdStack.h"
#include "transport/IdStackBSDBase.h"

namespace {

// ---- the algorithm-name table ----
struct TAlgorithm {
  const char* Name;
  ALG_ID Id;
};
constexpr TAlgorithm CAlgorithms[] = {
    {"CALG_3DES", 0x6603},
    {"CALG_3DES_112", 0x6609},
    {"CALG_AES", 0x6611},
    {"CALG_AES_128", 0x660E},
    {"CALG_AES_192", 0x660F},
    {"CALG_AES_256", 0x6610},
    {"CALG_AGREEDKEY_ANY", 0xAA03},
    {"CALG_CYLINK_MEK", 0x660C},
    {"CALG_DES", 0x6601},
    {"CALG_DESX", 0x6604},
    {"CALG_DH_EPHEM", 0xAA02},
    {"CALG_DH_SF", 0xAA01},
    {"CALG_DSS_SIGN", 0x2200},
    {"CALG_ECDH", 0xAA05},
    {"CALG_ECDH_EPHEM", 0xAE06},
    {"CALG_ECDSA", 0x2203},
    {"CALG_ECMQV", 0xA001},
    {"CALG_HASH_REPLACE_OWF", 0x800B},
    {"CALG_HUGHES_MD5", 0xA003},
    {"CALG_HMAC", 0x8009},
    {"CALG_KEA_KEYX", 0xAA04},
    {"CALG_MAC", 0x8005},
    {"CALG_MD2", 0x8001},
    {"CALG_MD4", 0x8002},
    {"CALG_MD5", 0x8003},
    {"CALG_NO_SIGN", 0x2000},
    {"CALG_OID_INFO_CNG_ONLY", 0xFFFFFFFF},
    {"CALG_OID_INFO_PARAMETERS", 0xFFFFFFFE},
    {"CALG_PCT1_MASTER", 0x4C04},
    {"CALG_RC2", 0x6602},
    {"CALG_RC4", 0x6801},
    {"CALG_RC5", 0x660D},
    {"CALG_RSA_KEYX", 0xA400},
    {"CALG_RSA_SIGN", 0x2400},
    {"CALG_SCHANNEL_ENC_KEY", 0x4C07},
    {"CALG_SCHANNEL_MAC_KEY", 0x4C03},
    {"CALG_SCHANNEL_MASTER_HASH", 0x4C02},
    {"CALG_SEAL", 0x6802},
    {"CALG_SHA", 0x8004},
    {"CALG_SHA1", 0x8004},
    {"CALG_SHA_256", 0x800C},
    {"CALG_SHA_384", 0x800D},
    {"CALG_SHA_512", 0x800E},
    {"CALG_SKIPJACK", 0x660A},
    {"CALG_SSL2_MASTER", 0x4C05},
    {"CALG_SSL3_MASTER", 0x4C01},
    {"CALG_SSL3_SHAMD5", 0x8008},
    {"CALG_TEK", 0x660B},
    {"CALG_TLS1_MASTER", 0x4C06},
    {"CALG_TLS1PRF", 0x800A},
};
static_assert(std::size(CAlgorithms) == 50);

constexpr ULONG CContextRequest = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
constexpr int CALPNArea = 128;
constexpr int CALPNHead = 10;

std::string Hex8(uint32_t AValue) {
  char LText[9];
  std::snprintf(LText, sizeof LText, "%08X", AValue);
  return LText;
}

// ---- process-wide state ----

struct TProvider {
  std::mutex Lock;
  bool Initialised = false;
  HMODULE SecurityLibrary = nullptr;
  PSecurityFunctionTableW Table = nullptr;
  HCERTSTORE PersonalStore = nullptr;
};

TProvider& Provider() {
  static TProvider LProvider;
  return LProvider;
}

// Each thread keeps its own record, so two threads opening sessions at once do not overwrite
// each other's cause.
struct TFailure {
  uint32_t Status = 0;
  std::string Error;
  uint32_t CertStatus = 0;
};
thread_local TFailure GFailure;

void Fail(uint32_t AStatus, std::string AText) {
  GFailure.Status = AStatus;
  GFailure.Error = std::move(AText);
}

// The certificate library: loaded at the first call of any of its functions (with the
// security library after it), each function looked up by name at its first call.
struct TCertLibrary {
  std::mutex Lock;
  HMODULE Module = nullptr;
  std::map<std::string, void*> Functions;
};

TCertLibrary& CertLibrary() {
  static TCertLibrary LLibrary;
  return LLibrary;
}

template <typename F>
F CertFunction(F, const char* AName) {
  TCertLibrary& L = CertLibrary();
  std::lock_guard<std::mutex> LGuard(L.Lock);
  if (!L.Module) {
    HMODULE LCrypt = LoadSecurityLibrary("crypt32.dll");
    if (!LCrypt || !LoadSecurityLibrary("secur32.dll")) {
      throw Exception(SecurityLibraryLastErrorText());
    }
    L.Module = LCrypt;
  }
  auto LAt = L.Functions.find(AName);
  if (LAt == L.Functions.end()) {
    LAt = L.Functions.emplace(AName, GetSecurityProcAddress(L.Module, AName)).first;
  }
  return reinterpret_cast<F>(LAt->second);
}

// Calls a certificate function by name; a function the library lacks gives AMissing.
#define QOR_CERT_CALL(Name, AMissing, ...)                                                  \
  [&] {                                                                                     \
    auto LFunction = CertFunction(&::Name, #Name);                                          \
    return LFunction ? LFunction(__VA_ARGS__) : decltype(LFunction(__VA_ARGS__))(AMissing); \
  }()

int SocketErrorOf(int ASocket, int AErrno) {
  if (AErrno == EAGAIN || AErrno == EWOULDBLOCK) {
    const int LFlags = ::fcntl(ASocket, F_GETFL);
    if (LFlags >= 0 && !(LFlags & O_NONBLOCK)) return Id_WSAETIMEDOUT;
  }
  return ErrnoToSocketError(AErrno);
}

SecBufferDesc Describe(SecBuffer* ABuffers, ULONG ACount) {
  return {SECBUFFER_VERSION, ACount, ABuffers};
}

}  // namespace

// ---- settings and helpers ----

void TqorSChannelCertificate::Assign(const TPersistent& Source) {
  if (const auto* S = dynamic_cast<const TqorSChannelCertificate*>(&Source)) {
    CertFilePassword = S->CertFilePassword;
    CertHash = S->CertHash;
    CertFile = S->CertFile;
    CertStoreName = S->CertStoreName;
    CertStorePath = S->CertStorePath;
    VerifyCertificate = S->VerifyCertificate;
    return;
  }
  TPersistent::Assign(Source);
}

void TqorSChannelStream::LoadFromFile(const std::string& AFileName) {
  std::ifstream LIn(AFileName, std::ios::binary);
  FData.assign(std::istreambuf_iterator<char>(LIn), {});
}

void TqorSChannelStream::LoadFromStream(TStream& AStream) {
  FData.resize(static_cast<size_t>(std::max<int64_t>(0, AStream.Size() - AStream.Position())));
  if (!FData.empty()) AStream.ReadBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

ALG_ID GetCipherId(const std::string& AName) {
  for (const TAlgorithm& A : CAlgorithms) {
    if (AName == A.Name) return A.Id;
  }
  return 0;
}

std::string GetCipherName(ALG_ID AId) {
  for (const TAlgorithm& A : CAlgorithms) {
    if (A.Id == AId) return A.Name;
  }
  return {};
}

void TqorSChannelConnectionInfo::SetProtocol(DWORD AProtocol) {
  switch (AProtocol) {
    case SP_PROT_TLS1_0_CLIENT:
      FProtocol = tls1_0;
      break;
    case SP_PROT_TLS1_1_CLIENT:
      FProtocol = tls1_1;
      break;
    case SP_PROT_TLS1_2_CLIENT:
      FProtocol = tls1_2;
      break;
    case SP_PROT_TLS1_3_CLIENT:
      FProtocol = tls1_3;
      break;
    default:
      FProtocol = tlsUndefined;
  }
}
void TqorSChannelConnectionInfo::SetCipher(ALG_ID AId) {
  FCipherId = AId;
  FCipher = GetCipherName(AId);
}
void TqorSChannelConnectionInfo::SetHash(ALG_ID AId) {
  FHashId = AId;
  FHash = GetCipherName(AId);
}
void TqorSChannelConnectionInfo::SetExchange(ALG_ID AId) {
  FExchangeId = AId;
  FExchange = GetCipherName(AId);
}

std::vector<TqorSChannelUntrustedRootAcceptor*>& UntrustedRootAcceptors() {
  static std::vector<TqorSChannelUntrustedRootAcceptor*> LAcceptors;
  return LAcceptors;
}

uint32_t SChannelLastStatus() {
  return GFailure.Status;
}
const std::string& SChannelLastError() {
  return GFailure.Error;
}
uint32_t SChannelCertStatus() {
  return GFailure.CertStatus;
}

// ---- provider ----

bool InitSChannelProvider() {
  GFailure.Status = 0;
  TProvider& P = Provider();
  std::lock_guard<std::mutex> LGuard(P.Lock);
  if (P.Initialised) return true;
  // Marked initialised only once everything worked: a failure is tried and reported again.
  P.SecurityLibrary = LoadSecurityLibrary("secur32.dll");
  auto LInit = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
      GetSecurityProcAddress(P.SecurityLibrary, "InitSecurityInterfaceW"));
  if (!LInit) {
    Fail(0, "InitSecurityInterface() not found");
    return false;
  }
  P.Table = LInit();
  if (!P.Table) {
    Fail(0, "InitSecurityInterface() returns nil");
    return false;
  }
  P.PersonalStore = QOR_CERT_CALL(CertOpenSystemStoreW, nullptr, 0, u"MY");
  if (!P.PersonalStore) {
    Fail(0, "CertOpenSystemStore(0, 'MY') returns 0");
    return false;
  }
  P.Initialised = true;
  return true;
}

void UnloadSChannelProvider() {
  TProvider& P = Provider();
  std::lock_guard<std::mutex> LGuard(P.Lock);
  FreeSecurityLibrary(P.SecurityLibrary);
  P.SecurityLibrary = nullptr;
  // The personal store is read again at the next initialisation.
  if (P.PersonalStore) QOR_CERT_CALL(CertCloseStore, 0, P.PersonalStore, 0);
  P.PersonalStore = nullptr;
  P.Table = nullptr;
  P.Initialised = false;
}

// ---- session ----

TSSLInfo::~TSSLInfo() {
  Clean();
}

void TSSLInfo::Clean() {
  if (FTable) {
    if (Init & iCredentials) FTable->FreeCredentialsHandle(&Credentials);
    // Every context held is deleted, whatever failed last.
    if (Init & iContext) FTable->DeleteSecurityContext(&Context);
  }
  Init = 0;
  ConnectionInfo.reset();
  if (FClientCertificate) {
    QOR_CERT_CALL(CertFreeCertificateContext, 0, FClientCertificate);
    FClientCertificate = nullptr;
  }
}

void TSSLInfo::RecordReceiveFailure(int ALength) {
  const int LErrno = errno;
  FReceiveTimedOut = ALength < 0 && (LErrno == EAGAIN || LErrno == EWOULDBLOCK);
  FReceiveSocketError = ALength == 0 ? 0 : SocketErrorOf(Socket, LErrno);
  Error = static_cast<uint32_t>(FReceiveSocketError);
  Fail(0, "recv returns " + Hex8(Error));
}

int32_t TSSLInfo::Read(bool ANoWait) {
  // A record larger than the sizes announced (a padded one) still fits.
  if (RecvCount >= static_cast<int32_t>(RecvBuffer.size()))
    RecvBuffer.resize(static_cast<size_t>(RecvCount) + 16384);
  ssize_t N;
  do {
    N = ::recv(Socket, RecvBuffer.data() + RecvCount,
               RecvBuffer.size() - static_cast<size_t>(RecvCount), ANoWait ? MSG_DONTWAIT : 0);
  } while (N < 0 && errno == EINTR);
  FPeerClosed = N == 0;
  if (N < 1) {
    RecordReceiveFailure(static_cast<int>(N));
    return static_cast<int32_t>(N);
  }
  RecvCount += static_cast<int32_t>(N);
  return static_cast<int32_t>(N);
}

int32_t TSSLInfo::SendAll(const uint8_t* ABytes, int32_t ALength) {
  int32_t LTotal = 0;
  while (ALength > 0) {
    const ssize_t N = ::send(Socket, ABytes + LTotal, static_cast<size_t>(ALength), MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      FSendSocketError = N == 0 ? 0 : SocketErrorOf(Socket, errno);
      Fail(0, "send returns " + std::to_string(FSendSocketError));
      return static_cast<int32_t>(N);
    }
    LTotal += static_cast<int32_t>(N);
    ALength -= static_cast<int32_t>(N);
  }
  return LTotal;
}

bool TSSLInfo::SendToken(SecBuffer& ABuffer) {
  if (ABuffer.cbBuffer == 0 || !ABuffer.pvBuffer) return true;
  const int32_t N = SendAll(static_cast<const uint8_t*>(ABuffer.pvBuffer),
                            static_cast<int32_t>(ABuffer.cbBuffer));
  FTable->FreeContextBuffer(ABuffer.pvBuffer);
  ABuffer.pvBuffer = nullptr;
  return N > 0;
}

SECURITY_STATUS TSSLInfo::Acquire(CredHandle& VCredentials) {
  const SECURITY_STATUS LStatus =
      FTable->AcquireCredentialsHandleW(nullptr, UNISP_NAME_W, SECPKG_CRED_OUTBOUND, nullptr,
                                        &SChannel, nullptr, nullptr, &VCredentials, nullptr);
  if (LStatus != SEC_E_OK) {
    Fail(static_cast<uint32_t>(LStatus),
         "AcquireCredentialsHandle returns " + Hex8(static_cast<uint32_t>(LStatus)));
  }
  return LStatus;
}

bool TSSLInfo::UseClientCertificate(PCCERT_CONTEXT ACertificate) {
  if (FClientCertificate) QOR_CERT_CALL(CertFreeCertificateContext, 0, FClientCertificate);
  FClientCertificate = ACertificate;
  SChannel.dwVersion = SCHANNEL_CRED_VERSION;
  SChannel.cCreds = 1;
  SChannel.paCred = &FClientCertificate;
  CredHandle LNew{};
  if (Acquire(LNew) != SEC_E_OK) return false;
  if (Init & iCredentials) FTable->FreeCredentialsHandle(&Credentials);
  Credentials = LNew;
  Init |= iCredentials;
  return true;
}

bool TSSLInfo::HandshakeClient() {
  SChannel = {};
  SChannel.dwVersion = SCHANNEL_CRED_VERSION;
  switch (Version) {
    case tls1_0:
      SChannel.grbitEnabledProtocols = 0xF0;
      break;
    case tls1_1:
      SChannel.grbitEnabledProtocols = 0x300;
      break;
    case tls1_2:
      SChannel.grbitEnabledProtocols = 0xC00;
      break;
    case tls1_3:
      SChannel.grbitEnabledProtocols = 0x3000;
      break;
    default:
      SChannel.grbitEnabledProtocols = 0;
  }
  SChannel.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  FAlgorithms.clear();
  for (size_t LAt = 0; !CipherList.empty() && LAt <= CipherList.size();) {
    const size_t LEnd = std::min(CipherList.find(':', LAt), CipherList.size());
    if (const ALG_ID LId = GetCipherId(CipherList.substr(LAt, LEnd - LAt))) {
      FAlgorithms.push_back(LId);
    }
    LAt = LEnd + 1;
  }
  if (!FAlgorithms.empty()) {
    SChannel.cSupportedAlgs = static_cast<DWORD>(FAlgorithms.size());
    SChannel.palgSupportedAlgs = FAlgorithms.data();
  }

  // The application-protocol list, refused when it does not fit its area.
  uint8_t LALPN[CALPNArea] = {};
  int LList = 0;
  for (int I = 0; ALPNProtocols && I < ALPNProtocols->Count(); ++I) {
    const std::string& LName = ALPNProtocols->Strings(I);
    if (LName.empty()) continue;
    if (LName.size() > 255 || CALPNHead + LList + 1 + static_cast<int>(LName.size()) > CALPNArea) {
      Fail(static_cast<uint32_t>(SEC_E_INVALID_PARAMETER), RSSChannelALPNTooLong);
      return false;
    }
    LALPN[CALPNHead + LList] = static_cast<uint8_t>(LName.size());
    std::memcpy(LALPN + CALPNHead + LList + 1, LName.data(), LName.size());
    LList += 1 + static_cast<int>(LName.size());
  }
  LALPN[0] = static_cast<uint8_t>(LList + 6);
  LALPN[4] = static_cast<uint8_t>(SecApplicationProtocolNegotiationExt_ALPN);
  LALPN[8] = static_cast<uint8_t>(LList);

  if (Acquire(Credentials) != SEC_E_OK) return false;
  Init |= iCredentials;

  SecBuffer LIn[1] = {
      {static_cast<ULONG>(CALPNHead + LList), SECBUFFER_APPLICATION_PROTOCOLS, LALPN}};
  SecBufferDesc LInput = Describe(LIn, LList > 0 ? 1 : 0);
  SecBuffer LOut[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc LOutput = Describe(LOut, 1);
  ULONG LAttributes = 0;
  const SECURITY_STATUS LStatus = FTable->InitializeSecurityContextW(
      &Credentials, nullptr, FServernameW.c_str(), CContextRequest, 0, SECURITY_NATIVE_DREP,
      &LInput, 0, &Context, &LOutput, &LAttributes, nullptr);
  if (Context.dwLower) Init |= iContext;
  if (LStatus != SEC_I_CONTINUE_NEEDED) {
    if (LOut[0].pvBuffer) FTable->FreeContextBuffer(LOut[0].pvBuffer);
    Fail(static_cast<uint32_t>(LStatus),
         "First call to InitializeSecurityContext returns " + Hex8(static_cast<uint32_t>(LStatus)));
    return false;
  }
  {
    std::lock_guard<std::mutex> LGuard(FSendLock);
    if (!SendToken(LOut[0])) return false;
  }
  RecvBuffer.resize(65536);
  RecvCount = 0;
  if (ReadLoop() < 0) return false;
  if (CertVerify && !DoVerifyCertificate()) return false;
  if (!InitBuffer()) return false;
  FOpen = true;
  return true;
}

int32_t TSSLInfo::ReadLoop(bool AReadFirst) {
  bool LRead = AReadFirst;
  for (;;) {
    // A close by the peer before the handshake ends is a failure, not a finished loop.
    if (LRead) {
      LRead = false;
      const int32_t N = Read(FNoWait);
      if (N < 1) return N == 0 ? -1 : N;
    }
    SecBuffer LIn[2] = {{static_cast<ULONG>(RecvCount), SECBUFFER_TOKEN, RecvBuffer.data()},
                        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc LInput = Describe(LIn, 2);
    SecBuffer LOut[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc LOutput = Describe(LOut, 1);
    ULONG LAttributes = 0;
    SECURITY_STATUS LStatus;
    {
      std::lock_guard<std::mutex> LGuard(FSendLock);
      LStatus = FTable->InitializeSecurityContextW(&Credentials, &Context, nullptr, CContextRequest,
                                                   0, SECURITY_NATIVE_DREP, &LInput, 0, nullptr,
                                                   &LOutput, &LAttributes, nullptr);
      if (!SendToken(LOut[0])) return -1;
    }
    if (LIn[1].BufferType == SECBUFFER_EXTRA && LIn[1].cbBuffer > 0) {
      std::memmove(RecvBuffer.data(), RecvBuffer.data() + RecvCount - LIn[1].cbBuffer,
                   LIn[1].cbBuffer);
      RecvCount = static_cast<int32_t>(LIn[1].cbBuffer);
    } else if (LStatus != SEC_E_INCOMPLETE_MESSAGE) {
      RecvCount = 0;
    }
    if (LStatus == SEC_E_OK) return 0;
    if (LStatus == SEC_E_INCOMPLETE_MESSAGE || LStatus == SEC_I_CONTINUE_NEEDED) {
      LRead = true;
    } else if (LStatus == SEC_I_INCOMPLETE_CREDENTIALS) {
      if (!CertHash.empty()) {
        if (!DoGetCertificate()) return -1;
      } else if (!CertFile.empty()) {
        if (!DoImportCertPFX(CertFile, CertFilePassword)) return -1;
      } else {
        DoGetCertificateFromChainStore();
      }
    } else if (LStatus < 0) {
      Error = static_cast<uint32_t>(LStatus);
      Fail(Error, "InitializeSecurityContext returns " + Hex8(static_cast<uint32_t>(LStatus)));
      return -1;
    } else {
      LRead = true;
    }
  }
}

bool TSSLInfo::DoGetCertificate() {
  if (CertHash.empty()) return false;
  static const char16_t* const CStores[] = {u"MY", u"Root", u"Trust", u"CA"};
  static const char* const CStoreNames[] = {"MY", "Root", "Trust", "CA"};
  const DWORD LLocation = CertStorePath == scspStoreLocalMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE
                                                                 : CERT_SYSTEM_STORE_CURRENT_USER;
  HCERTSTORE LStore = QOR_CERT_CALL(
      CertOpenStore, nullptr, CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
      LLocation | CERT_STORE_OPEN_EXISTING_FLAG, CStores[CertStoreName]);
  if (!LStore) {
    Fail(GFailure.Status, "Cannot Open Certificate Store.");
    return false;
  }
  bool LResult = false;
  uint8_t LHash[20];
  DWORD LHashSize = sizeof LHash;
  const std::u16string LHashText = WidenUTF8(CertHash);
  if (CertHash.size() != 40) {
    Fail(GFailure.Status, "Invalid Certificate Hash Length, must be 40.");
  } else if (!QOR_CERT_CALL(CryptStringToBinaryW, 0, LHashText.c_str(), 40, CRYPT_STRING_HEX, LHash,
                            &LHashSize, nullptr, nullptr)) {
    Fail(GFailure.Status, "Error calling method CryptStringToBinary.");
  } else {
    CRYPT_HASH_BLOB LBlob{LHashSize, LHash};
    PCCERT_CONTEXT LCert =
        QOR_CERT_CALL(CertFindCertificateInStore, nullptr, LStore,
                      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_HASH, &LBlob, nullptr);
    if (!LCert) {
      Fail(GFailure.Status, std::string("Certificate not found in Store ") +
                                CStoreNames[CertStoreName] + " with Hash " + CertHash);
    } else {
      LResult = UseClientCertificate(LCert);
    }
  }
  QOR_CERT_CALL(CertCloseStore, 0, LStore, 0);
  return LResult;
}

bool TSSLInfo::DoImportCertPFX(const std::string& AFileName, const std::string& APassword) {
  TqorSChannelStream LFile;
  LFile.LoadFromFile(AFileName);
  CRYPT_DATA_BLOB LBlob{LFile.DataSize(), const_cast<uint8_t*>(LFile.Data())};
  const std::u16string LPassword = WidenUTF8(APassword);
  HCERTSTORE LStore = QOR_CERT_CALL(PFXImportCertStore, nullptr, &LBlob, LPassword.c_str(), 0);
  if (!LStore && APassword.empty()) {
    LStore = QOR_CERT_CALL(PFXImportCertStore, nullptr, &LBlob, nullptr, 0);
  }
  PCCERT_CONTEXT LCert = LStore ? QOR_CERT_CALL(CertFindCertificateInStore, nullptr, LStore,
                                                X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                CERT_FIND_ANY, nullptr, nullptr)
                                : nullptr;
  bool LResult = false;
  if (!LCert) {
    Fail(GFailure.Status, "Cannot import the certificate.");
  } else {
    LResult = UseClientCertificate(LCert);
  }
  if (LStore) QOR_CERT_CALL(CertCloseStore, 0, LStore, 0);
  return LResult;
}

bool TSSLInfo::DoGetCertificateFromChainStore() {
  if (CredentialsCallBack) CredentialsCallBack(this, UserData);
  SecPkgContext_IssuerListInfoEx LIssuers{};
  const SECURITY_STATUS LStatus =
      FTable->QueryContextAttributesW(&Context, SECPKG_ATTR_ISSUER_LIST_EX, &LIssuers);
  Error = static_cast<uint32_t>(LStatus);
  if (LStatus != SEC_E_OK) {
    Fail(Error, "QueryContextAttributes(SECPKG_ATTR_ISSUER_LIST_EX) returns " + Hex8(Error));
    return false;
  }
  DWORD LChainIndex = 0, LElementIndex = 0;
  CERT_CHAIN_FIND_BY_ISSUER_PARA LPara{};
  LPara.cbSize = sizeof LPara;
  LPara.pszUsageIdentifier = "1.3.6.1.5.5.7.3.2";
  LPara.cIssuer = LIssuers.cIssuers;
  LPara.rgIssuer = LIssuers.aIssuers;
  LPara.pdwIssuerChainIndex = &LChainIndex;
  LPara.pdwIssuerElementIndex = &LElementIndex;
  HCERTSTORE LPersonal;
  {
    std::lock_guard<std::mutex> LGuard(Provider().Lock);
    LPersonal = Provider().PersonalStore;
  }
  PCCERT_CHAIN_CONTEXT LChain = nullptr;
  bool LResult = false;
  for (;;) {
    LChain = QOR_CERT_CALL(CertFindChainInStore, nullptr, LPersonal, X509_ASN_ENCODING, 0,
                           CERT_CHAIN_FIND_BY_ISSUER, &LPara, LChain);
    if (!LChain) {
      Fail(0, "CertFindChainInStore returns nil");
      break;
    }
    PCCERT_CONTEXT LCert = QOR_CERT_CALL(CertDuplicateCertificateContext, nullptr,
                                         LChain->rgpChain[0]->rgpElement[0]->pCertContext);
    if (UseClientCertificate(LCert)) {
      QOR_CERT_CALL(CertFreeCertificateChain, , LChain);
      LResult = true;
      break;
    }
  }
  FTable->FreeContextBuffer(LIssuers.aIssuers);
  return LResult;
}

bool TSSLInfo::DoVerifyCertificate() {
  PCCERT_CONTEXT LCert = nullptr;
  const SECURITY_STATUS LStatus =
      FTable->QueryContextAttributesW(&Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &LCert);
  Error = static_cast<uint32_t>(LStatus);
  if (LStatus != SEC_E_OK) {
    Fail(Error, "QueryCredentialsAttributes returns " + Hex8(Error));
    return false;
  }
  char LServer[] = "1.3.6.1.5.5.7.3.1", LMicrosoft[] = "1.3.6.1.4.1.311.10.3.3",
       LNetscape[] = "2.16.840.1.113730.4.1";
  char* LUsages[] = {LServer, LMicrosoft, LNetscape};
  CERT_CHAIN_PARA LChainPara{};
  LChainPara.cbSize = sizeof LChainPara;
  LChainPara.RequestedUsage = {USAGE_MATCH_TYPE_OR, {3, LUsages}};
  PCCERT_CHAIN_CONTEXT LChain = nullptr;
  bool LResult = false;
  if (QOR_CERT_CALL(CertGetCertificateChain, 0, nullptr, LCert, nullptr, LCert->hCertStore,
                    &LChainPara, 0, nullptr, &LChain)) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA LExtra{sizeof LExtra, AUTHTYPE_SERVER, 0, FServernameW.data()};
    CERT_CHAIN_POLICY_PARA LPolicy{sizeof LPolicy, 0, &LExtra};
    CERT_CHAIN_POLICY_STATUS LPolicyStatus{};
    LPolicyStatus.cbSize = sizeof LPolicyStatus;
    if (QOR_CERT_CALL(CertVerifyCertificateChainPolicy, 0, CERT_CHAIN_POLICY_SSL, LChain, &LPolicy,
                      &LPolicyStatus)) {
      GFailure.CertStatus = LPolicyStatus.dwError;
      LResult = LPolicyStatus.dwError == 0;
      if (LPolicyStatus.dwError == CERT_E_UNTRUSTEDROOT) {
        for (auto* A : UntrustedRootAcceptors()) {
          if (A->Accept(LChain, LPolicyStatus)) LResult = true;
        }
      }
      if (!LResult) {
        Fail(LPolicyStatus.dwError,
             "CertVerifyCertificateChainPolicy.vStatus = " + Hex8(LPolicyStatus.dwError));
      }
    }
  }
  if (LChain) QOR_CERT_CALL(CertFreeCertificateChain, , LChain);
  QOR_CERT_CALL(CertFreeCertificateContext, 0, LCert);
  return LResult;
}

bool TSSLInfo::InitBuffer() {
  const SECURITY_STATUS LStatus =
      FTable->QueryContextAttributesW(&Context, SECPKG_ATTR_STREAM_SIZES, &BuffSizes);
  Error = static_cast<uint32_t>(LStatus);
  if (LStatus != SEC_E_OK) {
    Fail(Error, "QueryContextAttributes(SECPKG_ATTR_STREAM_SIZES) returns " + Hex8(Error));
    return false;
  }
  const size_t LSize = BuffSizes.cbHeader + BuffSizes.cbMaximumMessage + BuffSizes.cbTrailer;
  // Room for several records, so that one receive takes what a busy stream has brought; bytes
  // the handshake read beyond its end stay, however many there are.
  RecvBuffer.resize(std::max(4 * LSize, static_cast<size_t>(RecvCount)));
  SendBuffer.assign(LSize, 0);
  DataCount = DataStart = 0;
  return true;
}

// ---- records ----

bool TSSLInfo::HasBufferedData() const {
  if (DataCount - DataStart > 0) return true;
  if (RecvCount < 5) return false;
  const int32_t LRecord = 5 + (RecvBuffer[3] << 8 | RecvBuffer[4]);
  return RecvCount >= LRecord;
}

int32_t TSSLInfo::Readable(bool ANoWait) {
  if (DataCount - DataStart != 0) return DataCount - DataStart;
  DataCount = DataStart = 0;
  FReceiveTimedOut = false;
  // The handshake calls of a renegotiation or key update; a receive that had to wait for the
  // peer leaves them to be taken up by the next call.
  auto LHandshake = [&](bool AReadFirst) {
    FHandshaking = true;
    FNoWait = ANoWait;
    const int32_t N = ReadLoop(AReadFirst);
    FNoWait = false;
    if (N < 0 && FReceiveTimedOut) return false;
    FHandshaking = false;
    return N >= 0;
  };
  if (FHandshaking && !LHandshake(true)) return FPeerClosed ? 0 : -1;
  for (;;) {
    SECURITY_STATUS LStatus = SEC_E_OK;
    SecBuffer B[4];
    Error = 0;
    do {
      if (RecvCount == 0 || LStatus == SEC_E_INCOMPLETE_MESSAGE) {
        const int32_t N = Read(ANoWait);
        if (N < 1) return N;
      }
      B[0] = {static_cast<ULONG>(RecvCount), SECBUFFER_DATA, RecvBuffer.data()};
      B[1] = B[2] = B[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc LDesc = Describe(B, 4);
      LStatus = FTable->DecryptMessage(&Context, &LDesc, 0, nullptr);
      Error = static_cast<uint32_t>(LStatus);
    } while (LStatus == SEC_E_INCOMPLETE_MESSAGE);
    if (LStatus == SEC_I_CONTEXT_EXPIRED) {
      FClosedByPeer = true;
      Fail(Error, "DecryptMessage returns SEC_I_CONTEXT_EXPIRED");
      return -1;
    }
    if (LStatus == SEC_E_DECRYPT_FAILURE) {
      Fail(GFailure.Status, "DecryptMessage returns SEC_E_DECRYPT_FAILURE");
      return -1;
    }
    if (LStatus != SEC_E_OK && LStatus != SEC_I_RENEGOTIATE) return -1;
    RecvCount = 0;
    for (int I = 1; I < 4; ++I) {
      if (B[I].BufferType == SECBUFFER_DATA && B[I].cbBuffer > 0) {
        const size_t LNeeded = static_cast<size_t>(DataCount) + B[I].cbBuffer;
        if (DataBuffer.size() < LNeeded) DataBuffer.resize(LNeeded);
        std::memcpy(DataBuffer.data() + DataCount, B[I].pvBuffer, B[I].cbBuffer);
        DataCount += static_cast<int32_t>(B[I].cbBuffer);
      } else if (B[I].BufferType == SECBUFFER_EXTRA && B[I].cbBuffer > 0) {
        std::memmove(RecvBuffer.data(), B[I].pvBuffer, B[I].cbBuffer);
        RecvCount = static_cast<int32_t>(B[I].cbBuffer);
      }
    }
    // A renegotiation, or a TLS 1.3 key update that wants an answer: the handshake calls run
    // with what is held, and reading goes on once they are done.
    if (LStatus == SEC_I_RENEGOTIATE && !LHandshake(false)) {
      if (DataCount > 0) return DataCount;
      return FPeerClosed ? 0 : -1;
    }
    if (DataCount > 0) return DataCount;
  }
}

int32_t TSSLInfo::Decrypt(void* ADestination, int32_t ASize, bool ANoWait) {
  const int32_t N = Readable(ANoWait);
  if (N <= 0) return N;
  const int32_t LCount = std::min(N, ASize);
  std::memcpy(ADestination, DataBuffer.data() + DataStart, static_cast<size_t>(LCount));
  DataStart += LCount;
  return LCount;
}

int32_t TSSLInfo::Encrypt(const void* ASource, int32_t ASize) {
  int32_t LTotal = 0;
  const auto* LSource = static_cast<const uint8_t*>(ASource);
  while (ASize > 0) {
    const int32_t LChunk =
        std::min<int32_t>(ASize, static_cast<int32_t>(BuffSizes.cbMaximumMessage));
    uint8_t* LAt = SendBuffer.data();
    std::memcpy(LAt + BuffSizes.cbHeader, LSource + LTotal, static_cast<size_t>(LChunk));
    LTotal += LChunk;
    SecBuffer B[4] = {
        {BuffSizes.cbHeader, SECBUFFER_STREAM_HEADER, LAt},
        {static_cast<ULONG>(LChunk), SECBUFFER_DATA, LAt + BuffSizes.cbHeader},
        {BuffSizes.cbTrailer, SECBUFFER_STREAM_TRAILER, LAt + BuffSizes.cbHeader + LChunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc LDesc = Describe(B, 4);
    std::lock_guard<std::mutex> LGuard(FSendLock);
    const SECURITY_STATUS LStatus = FTable->EncryptMessage(&Context, 0, &LDesc, 0);
    Error = static_cast<uint32_t>(LStatus);
    if (LStatus < 0) {
      Fail(Error, "EncryptMessage returns " + Hex8(Error));
      return -1;
    }
    const int32_t N =
        SendAll(LAt, static_cast<int32_t>(B[0].cbBuffer + B[1].cbBuffer + B[2].cbBuffer));
    if (N <= 0) return N;
    ASize -= LChunk;
  }
  return LTotal;
}

std::string TSSLInfo::GetALPN() {
  std::memset(&alpn_result, 0, sizeof alpn_result);
  const SECURITY_STATUS LStatus =
      FTable->QueryContextAttributesW(&Context, SECPKG_ATTR_APPLICATION_PROTOCOL, &alpn_result);
  Error = static_cast<uint32_t>(LStatus);
  if (LStatus != SEC_E_OK) {
    Fail(GFailure.Status,
         "QueryContextAttributes(SECPKG_ATTR_APPLICATION_PROTOCOL) returns " + Hex8(Error));
    return {};
  }
  if (alpn_result.ProtoNegoStatus != SecApplicationProtocolNegotiationStatus_Success ||
      alpn_result.ProtoNegoExt != SecApplicationProtocolNegotiationExt_ALPN) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(alpn_result.ProtocolId),
                     alpn_result.ProtocolIdSize);
}

TqorSChannelConnectionInfo* TSSLInfo::GetConnectionInfo() {
  if (ConnectionInfo) return ConnectionInfo.get();
  SecPkgContext_ConnectionInfo LInfo{};
  if (FTable->QueryContextAttributesW(&Context, SECPKG_ATTR_CONNECTION_INFO, &LInfo) != SEC_E_OK) {
    return nullptr;
  }
  ConnectionInfo = std::make_unique<TqorSChannelConnectionInfo>();
  ConnectionInfo->SetProtocol(LInfo.dwProtocol);
  ConnectionInfo->SetCipher(LInfo.aiCipher);
  ConnectionInfo->SetHash(LInfo.aiHash);
  ConnectionInfo->SetExchange(LInfo.aiExch);
  ConnectionInfo->FCiperStrength = LInfo.dwCipherStrength;
  ConnectionInfo->FHashStrength = LInfo.dwHashStrength;
  ConnectionInfo->FExchangeStrength = LInfo.dwExchStrength;
  return ConnectionInfo.get();
}

void TSSLInfo::Shutdown() {
  if (!FOpen || FShutDown || !(Init & iContext)) return;
  FShutDown = true;
  DWORD LToken = SCHANNEL_SHUTDOWN;
  SecBuffer LIn[1] = {{sizeof LToken, SECBUFFER_TOKEN, &LToken}};
  SecBufferDesc LInput = Describe(LIn, 1);
  if (FTable->ApplyControlToken(&Context, &LInput) != SEC_E_OK) return;
  SecBuffer LOut[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc LOutput = Describe(LOut, 1);
  ULONG LAttributes = 0;
  std::lock_guard<std::mutex> LGuard(FSendLock);
  FTable->InitializeSecurityContextW(&Credentials, &Context, nullptr, CContextRequest, 0,
                                     SECURITY_NATIVE_DREP, nullptr, 0, nullptr, &LOutput,
                                     &LAttributes, nullptr);
  SendToken(LOut[0]);
}

// ---- engine entry points ----

TSSLInfo* OpenSChannelSession(int32_t ASocket, const TqorSChannelCertificate& ACertificate,
                              const std::string& AServerName, const std::string& ACipherList,
                              const TStringList* AALPNProtocols, TwsTLSVersions AVersion) {
  GFailure = {};
  if (!InitSChannelProvider()) return nullptr;
  auto LSession = std::make_unique<TSSLInfo>();
  {
    std::lock_guard<std::mutex> LGuard(Provider().Lock);
    LSession->FTable = Provider().Table;
  }
  LSession->Socket = ASocket;
  LSession->Servername = AServerName;
  LSession->FServernameW = WidenUTF8(AServerName);
  LSession->Version = AVersion;
  LSession->ALPNProtocols = AALPNProtocols;
  LSession->CertVerify = ACertificate.VerifyCertificate;
  LSession->CertHash = ACertificate.CertHash;
  LSession->CertFile = ACertificate.CertFile;
  LSession->CertFilePassword = ACertificate.CertFilePassword;
  LSession->CertStorePath = ACertificate.CertStorePath;
  LSession->CertStoreName = ACertificate.CertStoreName;
  LSession->CipherList = ACipherList;
  if (LSession->HandshakeClient()) return LSession.release();
  LSession->Clean();
  LSession.reset();
  const auto LStatus = static_cast<SECURITY_STATUS>(GFailure.Status);
  if (LStatus == SEC_E_ILLEGAL_MESSAGE || LStatus == SEC_E_INTERNAL_ERROR) UnloadSChannelProvider();
  return nullptr;
}

void FreeSChannelSession(TSSLInfo* ASession) {
  if (!ASession) return;
  ASession->Shutdown();
  ASession->Clean();
  delete ASession;
}

void SetSessionCredentialsCallback(TSSLInfo* ASession, TCredentialsCallBack ACallback,
                                   void* AUserData) {
  if (!ASession) return;
  ASession->CredentialsCallBack = ACallback;
  ASession->UserData = AUserData;
}

int32_t Decrypt(TSSLInfo* ASession, void* ADestination, int32_t ASize) {
  return ASession->Decrypt(ADestination, ASize);
}
int32_t Encrypt(TSSLInfo* ASession, const void* ASource, int32_t ASize) {
  return ASession->Encrypt(ASource, ASize);
}
std::string GetALPN(TSSLInfo* ASession) {
  return ASession->GetALPN();
}
TqorSChannelConnectionInfo* GetConnectionInfo(TSSLInfo* ASession) {
  return ASession->GetConnectionInfo();
}

// ---- the I/O handler ----

namespace {
TIdIOHandler* CreateSChannel(TComponent* AOwner) {
  return New<TqorIdSSLIOHandlerSocketSChannel>(AOwner);
}
const TIdIOHandlerClass CSSLBaseClass = {"TIdSSLIOHandlerSocketBase", &TIdIOHandlerStack::IdClass,
                                         nullptr};

// What ended the calling thread's last failed read or write of a session.
struct TTransportFailure {
  bool Provider = false;  // the provider refused a record; no socket error to report
  bool TimedOut = false;
  int SocketError = 0;
};
thread_local TTransportFailure tFailure;
// Set while ReceiveReady runs: the receive must not wait for the rest of a record.
thread_local bool tNoWait = false;
}  // namespace

const TIdIOHandlerClass TqorIdSSLIOHandlerSocketSChannel::IdClass = {
    "TqorIdSSLIOHandlerSocketSChannel", &CSSLBaseClass, &CreateSChannel};

TqorIdSSLIOHandlerSocketSChannel::TqorIdSSLIOHandlerSocketSChannel(TComponent* AOwner)
    : TIdSSLIOHandlerSocketBase(AOwner),
      FCertificate(std::make_unique<TqorSChannelCertificate>()) {}

TqorIdSSLIOHandlerSocketSChannel::~TqorIdSSLIOHandlerSocketSChannel() {
  DropSession();
}

TStringList& TqorIdSSLIOHandlerSocketSChannel::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

std::shared_ptr<TSSLInfo> TqorIdSSLIOHandlerSocketSChannel::Session() const {
  std::lock_guard<std::mutex> LGuard(FSessionLock);
  return FSession;
}

void TqorIdSSLIOHandlerSocketSChannel::DropSession() {
  std::shared_ptr<TSSLInfo> LSession;
  {
    std::lock_guard<std::mutex> LGuard(FSessionLock);
    LSession.swap(FSession);
  }
  if (!LSession) return;
  if (!FAborted && BindingAllocated()) {
    TIdSocketHandle::TUse LUse(*Binding());
    std::lock_guard<std::mutex> LRead(FReadLock);
    if (LUse.Handle() != Id_INVALID_SOCKET) LSession->Shutdown();
  }
}

void TqorIdSSLIOHandlerSocketSChannel::CredentialsCallback(TSSLInfo*, void* AUserData) {
  auto* LHandler = static_cast<TqorIdSSLIOHandlerSocketSChannel*>(AUserData);
  if (LHandler->FOnCredentials) LHandler->FOnCredentials(LHandler);
}

void TqorIdSSLIOHandlerSocketSChannel::SetOnCredentials(TCredentialsEvent AValue) {
  FOnCredentials = std::move(AValue);
  if (const std::shared_ptr<TSSLInfo> LSession = Session()) {
    SetSessionCredentialsCallback(LSession.get(), FOnCredentials ? &CredentialsCallback : nullptr,
                                  FOnCredentials ? this : nullptr);
  }
}

void TqorIdSSLIOHandlerSocketSChannel::ConnectToPeer() {
  ConnectPlain();
  StartSSLInConnect();
}

void TqorIdSSLIOHandlerSocketSChannel::StartSSL() {
  if (!FPassThrough) OpenTLSSession();
}

void TqorIdSSLIOHandlerSocketSChannel::OpenTLSSession() {
  if (!BindingAllocated()) throw EIdNotConnected(RSNotConnected);
  DropSession();
  FAborted = false;
  // Each wait of the handshake is bounded: by what is left of the connect time-out during a
  // connect, else by the session's read time-out. A silent server does not hold the thread.
  const uint64_t LStart = FInConnect ? FOpenedAt : GetTickCount64();
  const uint64_t LDeadline = ConnectDeadline(LStart, SessionTimeout());
  const uint64_t LNow = GetTickCount64();
  const int LWait = LDeadline > LNow ? static_cast<int>(LDeadline - LNow) : 1;
  FBinding->SetReceiveTimeout(LWait);
  FBinding->SetSendTimeout(LWait);
  TSSLInfo* LSession;
  {
    TIdSocketHandle::TUse LUse(*Binding());
    LSession = OpenSChannelSession(static_cast<int32_t>(LUse.Handle()), *FCertificate, ServerName(),
                                   FCipherList, FALPNProtocols.get(), FTLSVersion);
  }
  if (!LSession) {
    throw SChannelError("SChannel initialization error: " + SChannelLastError(),
                        SChannelCertStatus());
  }
  FBinding->SetReceiveTimeout(SessionTimeout());
  FBinding->SetSendTimeout(SessionTimeout());
  {
    std::lock_guard<std::mutex> LGuard(FSessionLock);
    FSession.reset(LSession, &FreeSChannelSession);
  }
  if (FOnCredentials) SetSessionCredentialsCallback(LSession, &CredentialsCallback, this);
}

void TqorIdSSLIOHandlerSocketSChannel::DoSetPassThrough(bool AValue) {
  if (AValue == FPassThrough) return;
  if (!AValue && BindingAllocated()) OpenTLSSession();
  FPassThrough = AValue;
}

void TqorIdSSLIOHandlerSocketSChannel::Close() {
  DropSession();
  TIdIOHandlerStack::Close();
}

bool TqorIdSSLIOHandlerSocketSChannel::Connected() {
  if (FPassThrough) return TIdIOHandlerStack::Connected();
  return Session() != nullptr;
}

bool TqorIdSSLIOHandlerSocketSChannel::HoldsApplicationBytes() {
  if (FPassThrough) return false;
  const std::shared_ptr<TSSLInfo> LSession = Session();
  if (!LSession) return false;
  std::lock_guard<std::mutex> LGuard(FReadLock);
  return LSession->HasBufferedData();
}

bool TqorIdSSLIOHandlerSocketSChannel::Readable(int AMSec) {
  const std::shared_ptr<TSSLInfo> LSession = Session();
  if (FPassThrough || !LSession) return TIdIOHandlerStack::Readable(AMSec);
  const uint64_t LDeadline = AMSec >= 0 ? GetTickCount64() + static_cast<uint64_t>(AMSec) : 0;
  for (;;) {
    if (HoldsApplicationBytes()) return true;
    int LWait = -1;
    if (AMSec >= 0) {
      const uint64_t LNow = GetTickCount64();
      LWait = LNow >= LDeadline ? 0 : static_cast<int>(LDeadline - LNow);
    }
    if (!TIdIOHandlerStack::Readable(LWait)) return false;
    if (FAborted || !BindingAllocated()) return true;
    {
      // Records without application data (tickets, key updates) and part of a record make
      // the socket readable too: they are taken in here, so that only data, a close or a
      // failure counts.
      TIdSocketHandle::TUse LUse(*Binding());
      if (LUse.Handle() == Id_INVALID_SOCKET) return true;
      std::lock_guard<std::mutex> LGuard(FReadLock);
      if (LSession->Readable(true) >= 0 || !LSession->ReceiveTimedOut()) return true;
    }
    if (AMSec >= 0 && GetTickCount64() >= LDeadline) return false;
  }
}

int TqorIdSSLIOHandlerSocketSChannel::ReceiveReady() {
  // The receive takes only what the socket holds; part of a record ends it as a time-out
  // would (-1, nothing closed), the rest goes the transport's usual way.
  tNoWait = true;
  try {
    const int N = TIdIOHandlerStack::ReceiveReady();
    tNoWait = false;
    return N;
  } catch (...) {
    tNoWait = false;
    throw;
  }
}

int TqorIdSSLIOHandlerSocketSChannel::ReceiveEncrypted(TIdBytes& VBuffer) {
  tFailure = {};
  const std::shared_ptr<TSSLInfo> LSession = Session();
  if (!LSession || FAborted || !BindingAllocated()) return 0;
  TIdSocketHandle::TUse LUse(*Binding());
  if (LUse.Handle() == Id_INVALID_SOCKET) return 0;
  std::lock_guard<std::mutex> LGuard(FReadLock);
  const int N = LSession->Decrypt(VBuffer.data(), static_cast<int32_t>(VBuffer.size()), tNoWait);
  if (N >= 0) return N;
  // The peer's close-notify ends the stream as a close does.
  if (LSession->ClosedByPeer()) return 0;
  tFailure.TimedOut = LSession->ReceiveTimedOut();
  tFailure.SocketError = LSession->LastReceiveSocketError();
  tFailure.Provider = !tFailure.TimedOut && tFailure.SocketError == 0;
  return N;
}

int TqorIdSSLIOHandlerSocketSChannel::SendEncrypted(const TIdBytes& ABuffer, int AOffset,
                                                    int ALength) {
  tFailure = {};
  const std::shared_ptr<TSSLInfo> LSession = Session();
  // TLS is on and nothing can carry it: as for a write on a closed connection.
  if (!LSession || FAborted || !BindingAllocated()) throw EIdNotConnected(RSNotConnected);
  TIdSocketHandle::TUse LUse(*Binding());
  if (LUse.Handle() == Id_INVALID_SOCKET) throw EIdNotConnected(RSNotConnected);
  int LTotal = 0;
  while (ALength > 0) {
    const int N = LSession->Encrypt(ABuffer.data() + AOffset, ALength);
    if (N <= 0) {
      tFailure.SocketError = LSession->LastSendSocketError();
      tFailure.TimedOut = tFailure.SocketError == Id_WSAETIMEDOUT;
      tFailure.Provider = N < 0 && tFailure.SocketError == 0;
      return N;
    }
    AOffset += N;
    ALength -= N;
    LTotal += N;
  }
  return LTotal;
}

int TqorIdSSLIOHandlerSocketSChannel::CheckTransportResult(int AResult) {
  if (FPassThrough) return TIdIOHandlerStack::CheckTransportResult(AResult);
  if (AResult >= 0) return 0;
  if (tFailure.TimedOut) return Id_WSAETIMEDOUT;
  // A record the provider refused leaves the stream unusable: it ends as an aborted one.
  if (tFailure.Provider) return Id_WSAECONNABORTED;
  errno = SocketErrorToErrno(tFailure.SocketError);
  return TIdIOHandlerStack::CheckTransportResult(AResult);
}

void TqorIdSSLIOHandlerSocketSChannel::AbortAfterFailure() {
  FAborted = true;
  TIdIOHandlerStack::AbortAfterFailure();
}

std::string TqorIdSSLIOHandlerSocketSChannel::GetALPNProtocol() {
  const std::shared_ptr<TSSLInfo> LSession = Session();
  return LSession ? LSession->GetALPN() : std::string();
}

TqorSChannelConnectionInfo* TqorIdSSLIOHandlerSocketSChannel::GetInfo() {
  const std::shared_ptr<TSSLInfo> LSession = Session();
  return LSession ? LSession->GetConnectionInfo() : nullptr;
}

TIdSSLIOHandlerSocketBase* TqorIdSSLIOHandlerSocketSChannel::Clone() {
  return New<TqorIdSSLIOHandlerSocketSChannel>(nullptr);
}
