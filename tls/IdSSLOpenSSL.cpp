#include "tls/IdSSLOpenSSL.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "base/qorWebSocket_Classes_SyncObjs.h"
#include "platform/SysUtils.h"
#include "transport/IdIPAddress.h"
#include "transport/IdStack.h"

namespace {

// Library and reason numbers of the entries pushed when a loader fails on its own.
constexpr int ERR_LIB_X509 = 11;
constexpr int ERR_LIB_SSL = 20;
constexpr int SSL_F_USE_PRIVATEKEY_FILE = 176;
constexpr int SSL_F_USE_CERTIFICATE_FILE = 173;
constexpr int SSL_F_USE_CERTIFICATE_CHAIN_FILE = 220;
constexpr int SSL_F_ADD_FILE_CERT_SUBJECTS = 185;
constexpr int SSL_F_SET_DH_PARAMS_FILE = 213;
constexpr int X509_F_LOAD_CERT_CRL_FILE = 132;
constexpr int ERR_LIB_SYS = 2;
constexpr int R_PEM_LIB = 9;
constexpr int R_PKCS12_LIB = 35;
constexpr int R_DH_LIB = 5;
// OpenSSL 3's reason for a peer's close without close-notify.
constexpr int SSL_R_UNEXPECTED_EOF_WHILE_READING = 294;

int ErrLib(unsigned long AError) {
  return static_cast<int>((AError >> 23) & 0xFF);
}
int ErrReason(unsigned long AError) {
  return static_cast<int>(AError & 0x7FFFFF);
}

thread_local TIdSSLSocket::TFailure tLastFailure;

// The library's socket BIO writes with write(), which raises SIGPIPE on a connection the peer
// has reset. A thread that drives a session keeps SIGPIPE blocked and drops a pending one after
// a failed call, so a dead peer is an error code and never the end of the process.
void BlockSigPipe() {
  thread_local bool tBlocked = false;
  if (tBlocked) return;
  sigset_t LSet;
  sigemptyset(&LSet);
  sigaddset(&LSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &LSet, nullptr);
  tBlocked = true;
}

void DropPendingSigPipe() {
  sigset_t LPending;
  if (sigpending(&LPending) != 0 || !sigismember(&LPending, SIGPIPE)) return;
  sigset_t LSet;
  sigemptyset(&LSet);
  sigaddset(&LSet, SIGPIPE);
  const timespec LZero{0, 0};
  const int LErrno = errno;
  sigtimedwait(&LSet, nullptr, &LZero);
  errno = LErrno;
}

bool ReadWholeFile(const std::string& AFile, std::string& VData) {
  std::ifstream LIn(AFile, std::ios::binary);
  if (!LIn) return false;
  VData.assign(std::istreambuf_iterator<char>(LIn), std::istreambuf_iterator<char>());
  return !LIn.bad();
}

// A read-only memory BIO over a whole file; null (with an entry on the error queue) when the
// file cannot be read.
class TFileBIO {
 public:
  TFileBIO(const std::string& AFile, int AFunc) {
    if (!ReadWholeFile(AFile, FData)) {
      // The system's reason (errno) under the system library, as the library's own file
      // loaders report it.
      TLSPutError(ERR_LIB_SYS, AFunc, errno ? errno : EIO);
      return;
    }
    FBIO = GOpenSSL.BIO_new_mem_buf(FData.data(), static_cast<int>(FData.size()));
  }
  // The bytes may be a private key: wiped, not just freed.
  ~TFileBIO() {
    if (FBIO) GOpenSSL.BIO_free(FBIO);
    if (GOpenSSL.OPENSSL_cleanse)
      GOpenSSL.OPENSSL_cleanse(FData.data(), FData.size());
    else
      std::fill(FData.begin(), FData.end(), '\0');
  }
  TFileBIO(const TFileBIO&) = delete;
  TFileBIO& operator=(const TFileBIO&) = delete;
  PBIO Get() const { return FBIO; }

 private:
  std::string FData;
  PBIO FBIO = nullptr;
};

bool IsPKCS12File(const std::string& AFile) {
  const size_t LDot = AFile.rfind('.');
  if (LDot == std::string::npos) return false;
  const std::string LExt = LowerCase(AFile.substr(LDot));
  return LExt == ".p12" || LExt == ".pfx";
}

TIdSSLSocket* SocketOfSession(const TOpaqueSSL* ASSL) {
  return ASSL ? static_cast<TIdSSLSocket*>(GOpenSSL.SSL_get_ex_data(ASSL, 0)) : nullptr;
}

IIdSSLOpenSSLCallbackHelper* HelperOf(TComponent* AParent) {
  return dynamic_cast<IIdSSLOpenSSLCallbackHelper*>(AParent);
}

int PasswordCallback(char* ABuf, int ASize, int ARWFlag, void* AUserData) {
  std::lock_guard<TqorCriticalSection> LGuard(TLSPasswordLock());
  const int LErrno = errno;
  std::memset(ABuf, 0, static_cast<size_t>(ASize));
  int LCount = 0;
  try {
    auto* LContext = static_cast<TIdSSLContext*>(AUserData);
    if (IIdSSLOpenSSLCallbackHelper* LHelper = LContext ? LContext->CallbackHelper() : nullptr) {
      const std::string LPassword = LHelper->QueryPassword(ARWFlag > 0);
      LCount = static_cast<int>(
          std::min<size_t>(LPassword.size(), ASize > 0 ? static_cast<size_t>(ASize - 1) : 0));
      std::memcpy(ABuf, LPassword.data(), static_cast<size_t>(LCount));
    }
  } catch (...) {
    // An exception must not cross the library; no password is the answer.
    LCount = 0;
  }
  errno = LErrno;
  return LCount;
}

int VerifyCallback(int APreverifyOk, PX509_STORE_CTX AStore) {
  std::lock_guard<TqorCriticalSection> LGuard(TLSVerifyLock());
  try {
    const int LIndex =
        TLSApiGeneration() == tlsApi1_1 ? GOpenSSL.SSL_get_ex_data_X509_STORE_CTX_idx() : 0;
    auto* LSSL =
        static_cast<const TOpaqueSSL*>(GOpenSSL.X509_STORE_CTX_get_ex_data(AStore, LIndex));
    if (!LSSL) return APreverifyOk;
    TIdX509 LCert(GOpenSSL.X509_STORE_CTX_get_current_cert(AStore), false);
    TIdSSLSocket* LSocket = SocketOfSession(LSSL);
    if (!LSocket) return APreverifyOk;
    const int LError = GOpenSSL.X509_STORE_CTX_get_error(AStore);
    const int LDepth = GOpenSSL.X509_STORE_CTX_get_error_depth(AStore);
    const bool LOk =
        APreverifyOk == 1 && LSocket->Context() && LDepth <= LSocket->Context()->VerifyDepth;
    if (IIdSSLOpenSSLCallbackHelper* LHelper = HelperOf(LSocket->Parent())) {
      return LHelper->CheckPeer(&LCert, LOk, LDepth, LError) ? 1 : 0;
    }
    return 1;
  } catch (...) {
    return 0;
  }
}

void InfoCallback(const TOpaqueSSL* ASSL, int AWhere, int ARet) {
  std::lock_guard<TqorCriticalSection> LGuard(TLSInfoLock());
  const int LErrno = errno;
  try {
    TIdSSLSocket* LSocket = SocketOfSession(ASSL);
    if (IIdSSLOpenSSLCallbackHelper* LHelper = LSocket ? HelperOf(LSocket->Parent()) : nullptr) {
      LHelper->ReportStatus(const_cast<PSSL>(ASSL), AWhere, ARet,
                            Format("SSL status: \"%s\"", GOpenSSL.SSL_state_string_long(ASSL)));
    }
  } catch (...) {
    // A status handler's failure must not cross the library.
  }
  errno = LErrno;
}

std::string HexBytes(const uint8_t* AData, size_t ALength, const char* ASeparator) {
  std::string LResult;
  for (size_t I = 0; I < ALength; ++I) {
    if (I > 0) LResult += ASeparator;
    LResult += Format("%.2x", AData[I]);
  }
  return LResult;
}

// An IPv4 or IPv6 address rather than a host name.
bool IsIPLiteral(const std::string& AHost) {
  in6_addr L6;
  in_addr L4;
  return inet_pton(AF_INET, AHost.c_str(), &L4) == 1 ||
         inet_pton(AF_INET6, AHost.c_str(), &L6) == 1;
}

void SetNonBlocking(int AHandle, bool AValue) {
  const int LFlags = fcntl(AHandle, F_GETFL);
  if (LFlags < 0) return;
  fcntl(AHandle, F_SETFL, AValue ? (LFlags | O_NONBLOCK) : (LFlags & ~O_NONBLOCK));
}

// The socket's own time-out for one direction in ms; -1 when it has none.
int SocketTimeout(int AHandle, bool AForWrite) {
  timeval LTime{};
  socklen_t LSize = sizeof LTime;
  if (getsockopt(AHandle, SOL_SOCKET, AForWrite ? SO_SNDTIMEO : SO_RCVTIMEO, &LTime, &LSize) != 0) {
    return -1;
  }
  const int64_t LMs = static_cast<int64_t>(LTime.tv_sec) * 1000 + LTime.tv_usec / 1000;
  return LMs > 0 ? static_cast<int>(std::min<int64_t>(LMs, INT32_MAX)) : -1;
}

// Waits for the socket; false on a time-out. A negative AMs waits without limit.
bool WaitSocket(int AHandle, bool AForWrite, int AMs) {
  pollfd LPoll{AHandle, static_cast<short>(AForWrite ? POLLOUT : POLLIN), 0};
  const uint64_t LStart = GetTickCount64();
  for (;;) {
    int LWait = AMs;
    if (AMs >= 0) {
      const uint64_t LSpent = GetTickCount64() - LStart;
      LWait = LSpent >= static_cast<uint64_t>(AMs) ? 0 : AMs - static_cast<int>(LSpent);
    }
    const int LResult = poll(&LPoll, 1, LWait);
    if (LResult >= 0) return LResult > 0;
    if (errno != EINTR) return true;  // the next call into the library reports the failure
  }
}

}  // namespace

std::string TLSErrorDescription(unsigned long AError) {
  char LBuffer[160] = {};
  GOpenSSL.ERR_error_string_n(AError, LBuffer, sizeof(LBuffer));
  return LBuffer;
}

namespace {

// The crypto-error form: AText, "\r\n" and the description of the first queued error (the
// description alone without text); the code goes into ErrorCode.
template <class E>
[[noreturn]] void RaiseCryptoError(const std::string& AText) {
  const unsigned long LError = GOpenSSL.ERR_get_error();
  const std::string LDescription = TLSErrorDescription(LError);
  throw E(AText.empty() ? LDescription : AText + "\r\n" + LDescription, LError);
}

// The session-error form: the text prefix, then what the SSL error code says.
template <class E>
[[noreturn]] void RaiseSessionFailure(int AError, int ARet, int AErrno, const std::string& AText,
                                      const std::string& ADetail = {}) {
  const std::string LPrefix = AText.empty() ? std::string() : AText + "\r\n";
  if (AError == SSL_ERROR_SSL) {
    const unsigned long LFirst = GOpenSSL.ERR_peek_error();
    // OpenSSL 3 reports a close without close-notify here; 1.1 as a system error with
    // result 0. Callers see one behaviour.
    if (ErrLib(LFirst) == ERR_LIB_SSL && ErrReason(LFirst) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      GOpenSSL.ERR_clear_error();
      throw E(LPrefix + RSOSSLEOFViolation, SSL_ERROR_SYSCALL, 0);
    }
    const unsigned long LError = GOpenSSL.ERR_get_error();
    throw EIdOSSLUnderlyingCryptoError(LPrefix + TLSErrorDescription(LError) + ADetail, LError);
  }
  if (AError == SSL_ERROR_SYSCALL) {
    if (const unsigned long LError = GOpenSSL.ERR_get_error()) {
      throw EIdOSSLUnderlyingCryptoError(LPrefix + TLSErrorDescription(LError) + ADetail, LError);
    }
    if (ARet == 0) throw E(LPrefix + RSOSSLEOFViolation, SSL_ERROR_SYSCALL, 0);
    if (ARet == -1) {
      errno = AErrno;
      GStack()->RaiseLastSocketError();
    }
  }
  throw E(LPrefix + TLSErrorDescription(static_cast<unsigned long>(AError)), AError, ARet);
}

}  // namespace

// ---- TIdSSLOptions ----

void TIdSSLOptions::SetMethod(TIdSSLVersion AValue) {
  FMethod = AValue;
  FSSLVersions = AValue == sslvSSLv23 ? CAllSSLVersions : SSLVersionBit(AValue);
}

void TIdSSLOptions::SetSSLVersions(TIdSSLVersions AValue) {
  FSSLVersions = AValue;
  for (TIdSSLVersion V : {sslvSSLv2, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3}) {
    if (AValue == SSLVersionBit(V)) {
      FMethod = V;
      return;
    }
  }
  FMethod = sslvSSLv23;
  if (FSSLVersions & SSLVersionBit(sslvSSLv23)) {
    FSSLVersions &= static_cast<TIdSSLVersions>(~SSLVersionBit(sslvSSLv23));
    if (FSSLVersions == 0) FSSLVersions = CAllSSLVersions;
  }
}

void TIdSSLOptions::Assign(const TPersistent& Source) {
  const auto* LSource = dynamic_cast<const TIdSSLOptions*>(&Source);
  if (!LSource) {
    TPersistent::Assign(Source);
    return;
  }
  FRootCertFile = LSource->FRootCertFile;
  FCertFile = LSource->FCertFile;
  FKeyFile = LSource->FKeyFile;
  FDHParamsFile = LSource->FDHParamsFile;
  SetMethod(LSource->FMethod);
  SetSSLVersions(LSource->FSSLVersions);
  FMode = LSource->FMode;
  FVerifyMode = LSource->FVerifyMode;
  FVerifyDepth = LSource->FVerifyDepth;
  FVerifyDirs = LSource->FVerifyDirs;
  FCipherList = LSource->FCipherList;
}

// ---- certificate views ----

std::string TIdX509Name::OneLine() const {
  char LBuffer[2049] = {};
  if (FName) GOpenSSL.X509_NAME_oneline(FName, LBuffer, sizeof(LBuffer));
  return LBuffer;
}

unsigned long TIdX509Name::Hash() const {
  if (!FName) return 0;
  if (GOpenSSL.X509_NAME_hash_ex)
    return GOpenSSL.X509_NAME_hash_ex(FName, nullptr, nullptr, nullptr);
  return GOpenSSL.X509_NAME_hash ? GOpenSSL.X509_NAME_hash(FName) : 0;
}

std::string TIdX509Name::HashAsString() const {
  return Format("%.8lx", Hash());
}

TIdX509Fingerprints::TDigest TIdX509Fingerprints::Digest(PEVP_MD (*AMD)(), size_t ALength) const {
  TDigest LResult(ALength, 0);
  if (!AMD || !FCert) return LResult;
  unsigned char LBuffer[64];
  unsigned LSize = 0;
  if (GOpenSSL.X509_digest(FCert, AMD(), LBuffer, &LSize) == 1) {
    LResult.assign(LBuffer, LBuffer + std::min<unsigned>(LSize, sizeof(LBuffer)));
  }
  return LResult;
}

std::string TIdX509Fingerprints::AsString(PEVP_MD (*AMD)(), size_t ALength) const {
  if (!AMD) return {};
  const TDigest LDigest = Digest(AMD, ALength);
  return HexBytes(LDigest.data(), LDigest.size(), ":");
}

TIdX509::TIdX509(PX509 ACert, bool AOwnsCert)
    : FCert(ACert),
      FOwnsCert(AOwnsCert),
      FSubject(ACert ? GOpenSSL.X509_get_subject_name(ACert) : nullptr),
      FIssuer(ACert ? GOpenSSL.X509_get_issuer_name(ACert) : nullptr),
      FFingerprints(ACert) {}

TIdX509::~TIdX509() {
  if (FOwnsCert && FCert) GOpenSSL.X509_free(FCert);
}

long TIdX509::Version() const {
  return FCert && GOpenSSL.X509_get_version ? GOpenSSL.X509_get_version(FCert) : 0;
}

TIdX509SigInfo TIdX509::SigInfo() const {
  TIdX509SigInfo LInfo;
  if (!FCert) return LInfo;
  if (GOpenSSL.X509_get0_signature && GOpenSSL.ASN1_STRING_length &&
      GOpenSSL.ASN1_STRING_get0_data) {
    const void* LSignature = nullptr;
    const void* LAlgorithm = nullptr;
    GOpenSSL.X509_get0_signature(&LSignature, &LAlgorithm, FCert);
    if (LSignature) {
      LInfo.Signature = HexBytes(GOpenSSL.ASN1_STRING_get0_data(LSignature),
                                 static_cast<size_t>(GOpenSSL.ASN1_STRING_length(LSignature)), ":");
    }
  }
  if (GOpenSSL.X509_get_signature_nid) {
    LInfo.SigType = GOpenSSL.X509_get_signature_nid(FCert);
    if (const char* LName = GOpenSSL.OBJ_nid2ln(LInfo.SigType)) LInfo.SigTypeAsString = LName;
  }
  return LInfo;
}

namespace {
std::time_t TimeOf(PASN1_TIME ATime) {
  struct tm LTm {};
  if (!ATime || !GOpenSSL.ASN1_TIME_to_tm || GOpenSSL.ASN1_TIME_to_tm(ATime, &LTm) != 1) return 0;
  return timegm(&LTm);
}
}  // namespace

std::time_t TIdX509::notBefore() const {
  return FCert && GOpenSSL.X509_get0_notBefore ? TimeOf(GOpenSSL.X509_get0_notBefore(FCert)) : 0;
}

std::time_t TIdX509::notAfter() const {
  return FCert && GOpenSSL.X509_get0_notAfter ? TimeOf(GOpenSSL.X509_get0_notAfter(FCert)) : 0;
}

std::string TIdX509::SerialNumber() const {
  if (!FCert) return {};
  PBIGNUM LNumber = GOpenSSL.ASN1_INTEGER_to_BN(GOpenSSL.X509_get_serialNumber(FCert), nullptr);
  if (!LNumber) return {};
  char* LHex = GOpenSSL.BN_bn2hex(LNumber);
  std::string LResult = LHex ? LHex : "";
  TLSFree(LHex);
  GOpenSSL.BN_free(LNumber);
  return LResult;
}

TStringList TIdX509::DisplayInfo() const {
  TStringList LLines;
  if (!FCert) return LLines;
  PBIO LBIO = GOpenSSL.BIO_new(GOpenSSL.BIO_s_mem());
  if (!LBIO) return LLines;
  if (GOpenSSL.X509_print(LBIO, FCert) == 1) {
    char* LData = nullptr;
    const long LSize = GOpenSSL.BIO_ctrl(LBIO, BIO_CTRL_INFO, 0, &LData);
    if (LData && LSize > 0) LLines.SetText(std::string(LData, static_cast<size_t>(LSize)));
  }
  GOpenSSL.BIO_free(LBIO);
  return LLines;
}

// ---- TIdSSLContext ----

TIdSSLContext::TIdSSLContext() {
  if (!LoadTLSLibrary()) throw EIdOSSLCouldNotLoadSSLLibrary(RSOSSLCouldNotLoadSSLLibrary);
}

TIdSSLContext::~TIdSSLContext() {
  FALPNProtocols.reset();
  if (FContext) GOpenSSL.SSL_CTX_free(FContext);
}

IIdSSLOpenSSLCallbackHelper* TIdSSLContext::CallbackHelper() const {
  return HelperOf(Parent);
}

TStringList& TIdSSLContext::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

void TIdSSLContext::SetALPNProtocols(const TStringList& AValue) {
  ALPNProtocols() = AValue;
}

std::unique_ptr<TIdSSLContext> TIdSSLContext::Clone() const {
  auto LClone = std::make_unique<TIdSSLContext>();
  LClone->StatusInfoOn = StatusInfoOn;
  LClone->VerifyOn = VerifyOn;
  LClone->Method = Method;
  LClone->SSLVersions = SSLVersions;
  LClone->Mode = Mode;
  LClone->RootCertFile = RootCertFile;
  LClone->CertFile = CertFile;
  LClone->KeyFile = KeyFile;
  LClone->VerifyMode = VerifyMode;
  LClone->VerifyDepth = VerifyDepth;
  return LClone;
}

PSSL_METHOD TIdSSLContext::SelectMethod() {
  if (Mode == sslmUnassigned) throw EIdOSSLModeNotSet(RSOSSLModeNotSet);
  const bool L11 = TLSApiGeneration() == tlsApi1_1;
  // SSLv2 and SSLv3 are gone from the 1.1 generation; the any-version method survives there
  // under the name TLS_method.
  if (L11 && (Method == sslvSSLv2 || Method == sslvSSLv3)) Method = sslvTLSv1_2;
  using TMethodFn = PSSL_METHOD (*)();
  using TCell = std::array<TMethodFn, 2>;  // first choice, fallback
  struct TRow {
    TCell Client, Server, Both;
  };
  const auto& G = GOpenSSL;
  const TRow LRow = [&]() -> TRow {
    switch (Method) {
      case sslvSSLv2:
        return {{G.SSLv2_client_method}, {G.SSLv2_server_method}, {G.SSLv2_method}};
      case sslvSSLv23:
        if (L11)
          return {{G.TLS_client_method, G.TLS_method},
                  {G.TLS_server_method, G.TLS_method},
                  {G.TLS_method}};
        return {{G.SSLv23_client_method}, {G.SSLv23_server_method}, {G.SSLv23_method}};
      case sslvSSLv3:
        return {{G.SSLv3_client_method}, {G.SSLv3_server_method}, {G.SSLv3_method}};
      case sslvTLSv1:
        return {{G.TLSv1_client_method}, {G.TLSv1_server_method}, {G.TLSv1_method}};
      case sslvTLSv1_1:
        return {{G.TLSv1_1_client_method, G.TLSv1_client_method},
                {G.TLSv1_1_server_method, G.TLSv1_server_method},
                {G.TLSv1_1_method, G.TLSv1_method}};
      case sslvTLSv1_2:
        return {{G.TLSv1_2_client_method, G.TLSv1_client_method},
                {G.TLSv1_2_server_method, G.TLSv1_server_method},
                {G.TLSv1_2_method, G.TLSv1_method}};
      case sslvTLSv1_3:
        return {{G.TLS_method, G.TLSv1_client_method},
                {G.TLS_method, G.TLSv1_server_method},
                {G.TLS_method, G.TLSv1_method}};
    }
    return {{}, {}, {}};
  }();
  const auto& LCell = Mode == sslmClient   ? LRow.Client
                      : Mode == sslmServer ? LRow.Server
                                           : LRow.Both;
  for (TMethodFn F : LCell) {
    if (F) return F();
  }
  throw EIdOSSLGetMethodError(RSOSSLGetMethodError);
}

void TIdSSLContext::ApplyProtocolVersions() {
  const auto& G = GOpenSSL;
  const bool L11 = TLSApiGeneration() == tlsApi1_1;
  // OpenSSL 3 dropped the options control code (32/77 do nothing there); 1.1 exports the
  // functions too.
  auto LSetOption = [&](uint64_t AOption) {
    if (G.SSL_CTX_set_options) {
      G.SSL_CTX_set_options(FContext, AOption);
    } else {
      G.SSL_CTX_ctrl(FContext, SSL_CTRL_OPTIONS, static_cast<long>(AOption), nullptr);
    }
  };
  auto LClearOption = [&](uint64_t AOption) {
    if (G.SSL_CTX_clear_options) {
      G.SSL_CTX_clear_options(FContext, AOption);
    } else {
      G.SSL_CTX_ctrl(FContext, SSL_CTRL_CLEAR_OPTIONS, static_cast<long>(AOption), nullptr);
    }
  };
  struct TExclusion {
    TIdSSLVersion Version;
    uint64_t Option;
    bool Present;
  };
  const TExclusion LExclusions[] = {
      {sslvSSLv2, SSL_OP_NO_SSLv2,
       G.SSLv2_method && G.SSLv2_client_method && G.SSLv2_server_method},
      {sslvSSLv3, SSL_OP_NO_SSLv3,
       G.SSLv3_method && G.SSLv3_client_method && G.SSLv3_server_method},
      {sslvTLSv1, SSL_OP_NO_TLSv1,
       G.TLSv1_method && G.TLSv1_client_method && G.TLSv1_server_method},
      {sslvTLSv1_1, SSL_OP_NO_TLSv1_1,
       G.TLSv1_1_method && G.TLSv1_1_client_method && G.TLSv1_1_server_method},
      {sslvTLSv1_2, SSL_OP_NO_TLSv1_2,
       G.TLSv1_2_method && G.TLSv1_2_client_method && G.TLSv1_2_server_method},
      {sslvTLSv1_3, SSL_OP_NO_TLSv1_3, L11},
  };
  for (const TExclusion& E : LExclusions) {
    if (!E.Present) continue;
    if (!(SSLVersions & SSLVersionBit(E.Version))) {
      LSetOption(E.Option);
    } else if (Method == sslvSSLv23) {
      LClearOption(E.Option);
    }
  }
  if (!L11) return;
  long LMin = 0x0301;
  if (SSLVersions & (SSLVersionBit(sslvTLSv1_3) | SSLVersionBit(sslvTLSv1_2))) {
    LMin = 0x0303;
  } else if (SSLVersions & SSLVersionBit(sslvTLSv1_1)) {
    LMin = 0x0302;
  }
  const long LMax = TLSLibraryVersion() >= 0x1010100FUL ? 0x0304 : 0x0303;
  G.SSL_CTX_ctrl(FContext, SSL_CTRL_SET_MIN_PROTO_VERSION, LMin, nullptr);
  G.SSL_CTX_ctrl(FContext, SSL_CTRL_SET_MAX_PROTO_VERSION, LMax, nullptr);
}

void TIdSSLContext::PrepareContext(TIdSSLCtxMode AKind) {
  const auto& G = GOpenSSL;
  if (FContext) {
    G.SSL_CTX_free(FContext);
    FContext = nullptr;
  }
  if (Mode == sslmUnassigned) Mode = AKind == sslCtxServer ? sslmServer : sslmClient;
  FContext = G.SSL_CTX_new(SelectMethod());
  if (!FContext) RaiseCryptoError<EIdOSSLCreatingContextError>(RSOSSLCreatingContextError);
  ApplyProtocolVersions();
  G.SSL_CTX_ctrl(FContext, SSL_CTRL_MODE, SSL_MODE_AUTO_RETRY, nullptr);
  // Whole socket reads instead of a header read and a body read per record; Readable then
  // looks into the library's buffer as well as at the socket.
  if (G.SSL_has_pending) G.SSL_CTX_ctrl(FContext, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
  G.SSL_CTX_set_default_passwd_cb(FContext, &PasswordCallback);
  G.SSL_CTX_set_default_passwd_cb_userdata(FContext, this);
  G.SSL_CTX_set_default_verify_paths(FContext);
  if ((!RootCertFile.empty() || !VerifyDirs.empty()) && !LoadRootCert()) {
    RaiseCryptoError<EIdOSSLLoadingRootCertError>(RSOSSLLoadingRootCertError);
  }
  if (!CertFile.empty() && !LoadCert()) {
    RaiseCryptoError<EIdOSSLLoadingCertError>(RSOSSLLoadingCertError);
  }
  if (!KeyFile.empty() && !LoadKey()) {
    RaiseCryptoError<EIdOSSLLoadingKeyError>(RSOSSLLoadingKeyError);
  }
  if (!DHParamsFile.empty() && !LoadDHParams()) {
    RaiseCryptoError<EIdOSSLLoadingDHParamsError>(RSOSSLLoadingDHParamsError);
  }
  if (StatusInfoOn) G.SSL_CTX_set_info_callback(FContext, &InfoCallback);
  if (!CipherList.empty() && G.SSL_CTX_set_cipher_list(FContext, CipherList.c_str()) < 1) {
    G.ERR_clear_error();
    throw EIdOSSLSettingCipherError(RSOSSLSettingCipherError);
  }
  if (VerifyMode != 0) ApplyVerifyMode();
  if (AKind == sslCtxServer) {
    unsigned char LId[4];
    std::memcpy(LId, &SessionId, sizeof(LId));
    G.SSL_CTX_set_session_id_context(FContext, LId, sizeof(LId));
  }
  if (!RootCertFile.empty()) ApplyClientCAList();
  if (AKind == sslCtxClient) ApplyALPNList();
}

void TIdSSLContext::ApplyVerifyMode() {
  GOpenSSL.SSL_CTX_set_verify(FContext, VerifyMode, VerifyOn ? &VerifyCallback : nullptr);
  // A depth of 0 would refuse every chain with an intermediate certificate, which is what
  // real servers present; 0 (the TCP client's value) keeps the library's limit.
  if (VerifyDepth > 0) GOpenSSL.SSL_CTX_set_verify_depth(FContext, VerifyDepth);
}

bool TIdSSLContext::LoadRootCert() {
  const auto& G = GOpenSSL;
  PX509_STORE LStore = G.SSL_CTX_get_cert_store(FContext);
  if (!LStore) return false;
  if (!RootCertFile.empty()) {
    TFileBIO LBIO(RootCertFile, X509_F_LOAD_CERT_CRL_FILE);
    if (!LBIO.Get()) return false;
    PSTACK LInfos = G.PEM_X509_INFO_read_bio(LBIO.Get(), nullptr, nullptr, nullptr);
    if (!LInfos) return false;
    // Records holding only a key do not count.
    int LCount = 0;
    for (int I = 0; I < G.sk_num(LInfos); ++I) {
      auto* LInfo = static_cast<TX509_INFO_Head*>(G.sk_value(LInfos, I));
      if (LInfo->x509) LCount += G.X509_STORE_add_cert(LStore, LInfo->x509) == 1;
      if (LInfo->crl) LCount += G.X509_STORE_add_crl(LStore, LInfo->crl) == 1;
    }
    G.sk_pop_free(LInfos, G.X509_INFO_free);
    if (LCount == 0) {
      TLSPutError(ERR_LIB_X509, X509_F_LOAD_CERT_CRL_FILE, R_PEM_LIB);
      return false;
    }
  }
  if (!VerifyDirs.empty() &&
      G.X509_STORE_load_locations(LStore, nullptr, VerifyDirs.c_str()) != 1) {
    return false;
  }
  return true;
}

bool TIdSSLContext::LoadPKCS12(const std::string& AFile, PX509* VCert, PEVP_PKEY* VKey, int AFunc) {
  const auto& G = GOpenSSL;
  TFileBIO LBIO(AFile, AFunc);
  if (!LBIO.Get()) return false;
  PPKCS12 LP12 = G.d2i_PKCS12_bio(LBIO.Get(), nullptr);
  if (!LP12) {
    TLSPutError(ERR_LIB_SSL, AFunc, R_PKCS12_LIB);
    return false;
  }
  char LPassword[128];
  PasswordCallback(LPassword, sizeof(LPassword), 0, this);
  PSTACK LCAs = nullptr;
  const int LParsed = G.PKCS12_parse(LP12, LPassword, VKey, VCert, &LCAs);
  std::memset(LPassword, 0, sizeof(LPassword));
  G.PKCS12_free(LP12);
  if (LCAs) G.sk_pop_free(LCAs, reinterpret_cast<void (*)(void*)>(G.X509_free));
  if (LParsed != 1) {
    TLSPutError(ERR_LIB_SSL, AFunc, R_PKCS12_LIB);
    return false;
  }
  return true;
}

bool TIdSSLContext::LoadCert() {
  const auto& G = GOpenSSL;
  if (IsPKCS12File(CertFile)) {
    PX509 LCert = nullptr;
    PEVP_PKEY LKey = nullptr;
    if (!LoadPKCS12(CertFile, &LCert, &LKey, SSL_F_USE_CERTIFICATE_FILE)) return false;
    const int LResult = LCert ? G.SSL_CTX_use_certificate(FContext, LCert) : 0;
    if (LCert) G.X509_free(LCert);
    if (LKey) G.EVP_PKEY_free(LKey);
    return LResult > 0;
  }
  const bool LChain = G.SSL_CTX_use_certificate_chain_file != nullptr;
  TFileBIO LBIO(CertFile, LChain ? SSL_F_USE_CERTIFICATE_CHAIN_FILE : SSL_F_USE_CERTIFICATE_FILE);
  if (!LBIO.Get()) return false;
  if (!LChain) {
    PX509 LCert = G.PEM_read_bio_X509(LBIO.Get(), nullptr, &PasswordCallback, this);
    if (!LCert) return false;
    const int LResult = G.SSL_CTX_use_certificate(FContext, LCert);
    G.X509_free(LCert);
    return LResult > 0;
  }
  G.ERR_clear_error();
  PX509 LCert = G.PEM_read_bio_X509_AUX(LBIO.Get(), nullptr, &PasswordCallback, this);
  if (!LCert) return false;
  int LResult = G.SSL_CTX_use_certificate(FContext, LCert);
  G.X509_free(LCert);
  if (G.ERR_peek_error() != 0) LResult = 0;
  if (LResult <= 0) return false;
  G.SSL_CTX_ctrl(FContext, SSL_CTRL_CHAIN, 0, nullptr);
  while (PX509 LChainCert = G.PEM_read_bio_X509(LBIO.Get(), nullptr, &PasswordCallback, this)) {
    if (G.SSL_CTX_ctrl(FContext, SSL_CTRL_CHAIN_CERT, 0, LChainCert) <= 0) {
      G.X509_free(LChainCert);
      return false;
    }
  }
  // The read that found no further certificate queued "no start line": the normal end of the
  // chain, not a failure a later exception should report.
  G.ERR_clear_error();
  return true;
}

bool TIdSSLContext::LoadKey() {
  const auto& G = GOpenSSL;
  PEVP_PKEY LKey = nullptr;
  if (IsPKCS12File(KeyFile)) {
    PX509 LCert = nullptr;
    if (!LoadPKCS12(KeyFile, &LCert, &LKey, SSL_F_USE_PRIVATEKEY_FILE)) return false;
    if (LCert) G.X509_free(LCert);
  } else {
    TFileBIO LBIO(KeyFile, SSL_F_USE_PRIVATEKEY_FILE);
    if (!LBIO.Get()) return false;
    LKey = G.PEM_read_bio_PrivateKey(LBIO.Get(), nullptr, &PasswordCallback, this);
  }
  if (!LKey) return false;
  const int LResult = G.SSL_CTX_use_PrivateKey(FContext, LKey);
  G.EVP_PKEY_free(LKey);
  return LResult > 0 && G.SSL_CTX_check_private_key(FContext) > 0;
}

bool TIdSSLContext::LoadDHParams() {
  const auto& G = GOpenSSL;
  TFileBIO LBIO(DHParamsFile, SSL_F_SET_DH_PARAMS_FILE);
  if (!LBIO.Get()) return false;
  if (G.PEM_read_bio_Parameters && G.SSL_CTX_set0_tmp_dh_pkey) {
    PEVP_PKEY LParams = G.PEM_read_bio_Parameters(LBIO.Get(), nullptr);
    if (LParams && G.SSL_CTX_set0_tmp_dh_pkey(FContext, LParams) == 1) return true;
    if (LParams) G.EVP_PKEY_free(LParams);
  } else if (G.PEM_read_bio_DHparams && G.DH_free) {
    if (PDH LDH = G.PEM_read_bio_DHparams(LBIO.Get(), nullptr, nullptr, nullptr)) {
      const long LResult = G.SSL_CTX_ctrl(FContext, SSL_CTRL_SET_TMP_DH, 0, LDH);
      G.DH_free(LDH);
      return LResult > 0;
    }
  }
  TLSPutError(ERR_LIB_SSL, SSL_F_SET_DH_PARAMS_FILE, R_DH_LIB);
  return false;
}

void TIdSSLContext::ApplyClientCAList() {
  const auto& G = GOpenSSL;
  TFileBIO LBIO(RootCertFile, SSL_F_ADD_FILE_CERT_SUBJECTS);
  if (!LBIO.Get()) return;
  PSTACK LNames = G.sk_new_null();
  if (!LNames) return;
  while (PX509 LCert = G.PEM_read_bio_X509(LBIO.Get(), nullptr, nullptr, nullptr)) {
    PX509_NAME LName = G.X509_get_subject_name(LCert);
    bool LKnown = false;
    for (int I = 0; I < G.sk_num(LNames) && !LKnown; ++I) {
      LKnown = G.X509_NAME_cmp(static_cast<PX509_NAME>(G.sk_value(LNames, I)), LName) == 0;
    }
    if (!LKnown) G.sk_push(LNames, G.X509_NAME_dup(LName));
    G.X509_free(LCert);
  }
  G.ERR_clear_error();
  G.SSL_CTX_set_client_CA_list(FContext, LNames);
}

TIdBytes TIdSSLContext::ALPNWireList() {
  TIdBytes LWire;
  if (!FALPNProtocols) return LWire;
  for (int I = 0; I < FALPNProtocols->Count(); ++I) {
    const std::string& LEntry = FALPNProtocols->Strings(I);
    // A protocol name is 1 to 255 bytes on the wire.
    if (LEntry.empty() || LEntry.size() > 255) continue;
    LWire.push_back(static_cast<uint8_t>(LEntry.size()));
    LWire.insert(LWire.end(), LEntry.begin(), LEntry.end());
  }
  return LWire;
}

void TIdSSLContext::ApplyALPNList() {
  const TIdBytes LWire = ALPNWireList();
  // Without the entry point the list cannot be offered; the handshake goes on without ALPN.
  if (!FContext || LWire.empty() || !GOpenSSL.SSL_CTX_set_alpn_protos) return;
  if (GOpenSSL.SSL_CTX_set_alpn_protos(FContext, LWire.data(),
                                       static_cast<unsigned>(LWire.size())) != 0) {
    throw EIdException(RSOSSLUpdatingALPN);
  }
}

// ---- TIdSSLSocket ----

TIdSSLSocket::~TIdSSLSocket() {
  if (!FSSL) return;
  Close();
  GOpenSSL.SSL_free(FSSL);
}

void TIdSSLSocket::Close() {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (!FSSL || FClosed) return;
  FClosed = true;
  BlockSigPipe();
  // One close-notify, without waiting; a session that failed sends nothing.
  if (GOpenSSL.SSL_shutdown(FSSL) < 0) GOpenSSL.ERR_clear_error();
  DropPendingSigPipe();
}

void TIdSSLSocket::CreateSession(int AHandle, TIdSSLIOHandlerSocketOpenSSL*& VOwner) {
  const auto& G = GOpenSSL;
  IIdSSLOpenSSLCallbackHelper* LHelper = HelperOf(FParent);
  VOwner = LHelper ? LHelper->OwnerHandler() : nullptr;
  FSSL = G.SSL_new(FContext->Context());
  if (!FSSL) throw EIdOSSLCreatingSessionError(RSOSSLCreatingSessionError);
  int LResult = G.SSL_set_ex_data(FSSL, 0, this);
  if (LResult < 1) {
    RaiseSessionFailure<EIdOSSLDataBindingError>(G.SSL_get_error(FSSL, LResult), LResult, errno,
                                                 RSOSSLDataBindingError);
  }
  LResult = G.SSL_set_fd(FSSL, AHandle);
  if (LResult < 1) {
    RaiseSessionFailure<EIdOSSLFDSetError>(G.SSL_get_error(FSSL, LResult), LResult, errno,
                                           RSOSSLFDSetError);
  }
  FHandle = AHandle;
  if (VOwner && VOwner->SSLSocket() && VOwner->SSLSocket() != this &&
      VOwner->SSLSocket()->Session()) {
    G.SSL_copy_session_id(FSSL, VOwner->SSLSocket()->Session());
  }
}

int TIdSSLSocket::Drive(const std::function<int()>& AOp, int& VError, uint64_t ADeadlineMs) {
  BlockSigPipe();
  for (;;) {
    int LResult;
    int LErrno;
    {
      std::lock_guard<std::mutex> LGuard(FLock);
      if (!FSSL || FClosed) {
        // Closed by another thread: the socket is gone too.
        VError = SSL_ERROR_SYSCALL;
        errno = EBADF;
        return -1;
      }
      GOpenSSL.ERR_clear_error();
      errno = 0;
      LResult = AOp();
      VError = LResult > 0 ? SSL_ERROR_NONE : GOpenSSL.SSL_get_error(FSSL, LResult);
      LErrno = errno;
    }
    if (VError != SSL_ERROR_WANT_READ && VError != SSL_ERROR_WANT_WRITE) {
      if (LResult <= 0) DropPendingSigPipe();
      errno = LErrno;
      return LResult;
    }
    int LWait = SocketTimeout(FHandle, VError == SSL_ERROR_WANT_WRITE);
    if (ADeadlineMs != 0) {
      const uint64_t LNow = GetTickCount64();
      if (LNow >= ADeadlineMs) return LResult;
      const int LLeft = static_cast<int>(std::min<uint64_t>(ADeadlineMs - LNow, INT32_MAX));
      LWait = LWait < 0 ? LLeft : std::min(LWait, LLeft);
    }
    if (!WaitSocket(FHandle, VError == SSL_ERROR_WANT_WRITE, LWait)) return LResult;
  }
}

void TIdSSLSocket::Connect(int AHandle, uint64_t ADeadlineMs) {
  const auto& G = GOpenSSL;
  TIdSSLIOHandlerSocketOpenSSL* LOwner = nullptr;
  CreateSession(AHandle, LOwner);
  const bool LLiteral = IsIPLiteral(FHostName);
  // Server name indication carries host names only (RFC 6066).
  if (!FHostName.empty() && !LLiteral) {
    G.SSL_ctrl(FSSL, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char*>(FHostName.c_str()));
  }
  // A chain from a trusted CA proves nothing unless the certificate names the host.
  if ((FContext->VerifyMode & sslvrfPeer) && !FHostName.empty()) {
    PX509_VERIFY_PARAM LParam = G.SSL_get0_param ? G.SSL_get0_param(FSSL) : nullptr;
    const bool LSet =
        LParam && (LLiteral ? G.X509_VERIFY_PARAM_set1_ip_asc &&
                                  G.X509_VERIFY_PARAM_set1_ip_asc(LParam, FHostName.c_str()) == 1
                            : G.X509_VERIFY_PARAM_set1_host &&
                                  G.X509_VERIFY_PARAM_set1_host(LParam, FHostName.c_str(), 0) == 1);
    if (!LSet) {
      throw EIdOSSLConnectError(std::string(RSOSSLConnectError) +
                                    "\r\nthe host name cannot be checked against the certificate",
                                SSL_ERROR_SSL, 0);
    }
  }
  SetNonBlocking(AHandle, true);
  int LError;
  const int LResult = Drive([this] { return GOpenSSL.SSL_connect(FSSL); }, LError, ADeadlineMs);
  if (LResult < 1) {
    if (LError == SSL_ERROR_WANT_READ || LError == SSL_ERROR_WANT_WRITE) {
      throw EIdConnectTimeout(RSConnectTimeout);
    }
    std::string LDetail;
    // Without verification a chain's verdict is no reason for a failure.
    const long LVerify =
        (FContext->VerifyMode & sslvrfPeer) ? G.SSL_get_verify_result(FSSL) : X509_V_OK;
    if (LVerify != X509_V_OK)
      LDetail = std::string(": ") + G.X509_verify_cert_error_string(LVerify);
    RaiseSessionFailure<EIdOSSLConnectError>(LError, LResult, errno, RSOSSLConnectError, LDetail);
  }
  if (LOwner) {
    const TIdSSLCipher* LCipher = Cipher();
    LOwner->NotifyStatusInfo(
        "Cipher: name = " + LCipher->Name + "; " + "description = " + LCipher->Description + "; " +
        "bits = " + IntToStr(LCipher->Bits) + "; " + "version = " + LCipher->Version + "; ");
  }
}

void TIdSSLSocket::Accept(int AHandle) {
  TIdSSLIOHandlerSocketOpenSSL* LOwner = nullptr;
  CreateSession(AHandle, LOwner);
  SetNonBlocking(AHandle, true);
  int LError;
  const int LResult = Drive([this] { return GOpenSSL.SSL_accept(FSSL); }, LError, 0);
  if (LResult < 1)
    RaiseSessionFailure<EIdOSSLAcceptError>(LError, LResult, errno, RSOSSLAcceptError);
}

int TIdSSLSocket::PeekLocked() {
  uint8_t LByte;
  GOpenSSL.ERR_clear_error();
  const int LResult = GOpenSSL.SSL_peek(FSSL, &LByte, 1);
  if (LResult > 0) return 1;
  const int LError = GOpenSSL.SSL_get_error(FSSL, LResult);
  if (LError == SSL_ERROR_WANT_READ) return 0;
  // A session answers only once with its failure: keep it (and the thread's error queue) for
  // the read that follows.
  FPending = {LError, LResult, errno};
  FHasPending = true;
  return -1;
}

bool TIdSSLSocket::Readable(int AMSec) {
  const uint64_t LDeadline = AMSec >= 0 ? GetTickCount64() + static_cast<uint64_t>(AMSec) : 0;
  for (;;) {
    if (HoldsApplicationBytes()) return true;
    {
      std::lock_guard<std::mutex> LGuard(FLock);
      // A read reports a missing or closed session.
      if (!FSSL || FClosed) return true;
    }
    int LWait = -1;
    if (AMSec >= 0) {
      const uint64_t LNow = GetTickCount64();
      LWait = LNow >= LDeadline ? 0 : static_cast<int>(LDeadline - LNow);
    }
    if (!WaitSocket(FHandle, false, LWait)) return false;
    if (!GOpenSSL.SSL_peek) return true;
    {
      // Records that carry no application data (session tickets, key updates) make the socket
      // readable too; they are consumed here, so that only data, a close or a failure counts.
      std::lock_guard<std::mutex> LGuard(FLock);
      if (FClosed || PeekLocked() != 0) return true;
    }
    if (AMSec >= 0 && GetTickCount64() >= LDeadline) return false;
  }
}

bool TIdSSLSocket::HoldsApplicationBytes() {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (!FSSL || FClosed || FHasPending) return FHasPending;
  const auto& G = GOpenSSL;
  if (G.SSL_pending && G.SSL_pending(FSSL) > 0) return true;
  // Read ahead may hold a whole record or only part of one; a peek tells them apart.
  return G.SSL_has_pending && G.SSL_has_pending(FSSL) && G.SSL_peek && PeekLocked() != 0;
}

int TIdSSLSocket::Recv(TIdBytes& VBuffer) {
  {
    std::lock_guard<std::mutex> LGuard(FLock);
    if (FHasPending) {
      FHasPending = false;
      if (FPending.Error == SSL_ERROR_ZERO_RETURN) return 0;
      tLastFailure = FPending;
      return -1;
    }
  }
  int LError;
  const int LSize = static_cast<int>(VBuffer.size());
  const int LResult =
      Drive([&] { return GOpenSSL.SSL_read(FSSL, VBuffer.data(), LSize); }, LError, 0);
  if (LResult > 0) return LResult;
  if (LError == SSL_ERROR_ZERO_RETURN) return 0;
  tLastFailure = {LError, LResult, errno};
  return -1;
}

int TIdSSLSocket::Send(const TIdBytes& ABuffer, int AOffset, int ALength) {
  int LTotal = 0;
  while (ALength > 0) {
    int LError;
    const uint8_t* LData = ABuffer.data() + AOffset;
    const int LResult = Drive([&] { return GOpenSSL.SSL_write(FSSL, LData, ALength); }, LError, 0);
    if (LResult > 0) {
      AOffset += LResult;
      ALength -= LResult;
      LTotal += LResult;
      continue;
    }
    if (LError == SSL_ERROR_ZERO_RETURN) return 0;
    tLastFailure = {LError, LResult, errno};
    return -1;
  }
  return LTotal;
}

void TIdSSLSocket::Shutdown() {
  if (!FSSL) return;
  int LError;
  if (Drive([this] { return GOpenSSL.SSL_shutdown(FSSL); }, LError, 0) == 0) {
    Drive([this] { return GOpenSSL.SSL_shutdown(FSSL); }, LError, 0);
  }
  GOpenSSL.ERR_clear_error();
}

TIdBytes TIdSSLSocket::GetSessionID() const {
  const auto& G = GOpenSSL;
  if (!FSSL || !G.SSL_get_session || !G.SSL_SESSION_get_id) return {};
  std::lock_guard<std::mutex> LGuard(FLock);
  PSSL_SESSION LSession = G.SSL_get_session(FSSL);
  if (!LSession) return {};
  unsigned LLength = 0;
  const unsigned char* LId = G.SSL_SESSION_get_id(LSession, &LLength);
  return LId ? TIdBytes(LId, LId + LLength) : TIdBytes();
}

std::string TIdSSLSocket::GetSessionIDAsString() const {
  const TIdBytes LId = GetSessionID();
  return HexBytes(LId.data(), LId.size(), "");
}

TIdX509* TIdSSLSocket::PeerCert() {
  if (!FPeerCert && FSSL) {
    std::lock_guard<std::mutex> LGuard(FLock);
    if (PX509 LCert = GOpenSSL.SSL_get_peer_certificate(FSSL)) {
      FPeerCert = std::make_unique<TIdX509>(LCert, true);
    }
  }
  return FPeerCert.get();
}

const TIdSSLCipher* TIdSSLSocket::Cipher() {
  if (!FCipher && FSSL) {
    std::lock_guard<std::mutex> LGuard(FLock);
    const auto& G = GOpenSSL;
    auto LCipher = std::make_unique<TIdSSLCipher>();
    if (PSSL_CIPHER C = G.SSL_get_current_cipher(FSSL)) {
      LCipher->Name = G.SSL_CIPHER_get_name(C);
      char LBuffer[128] = {};
      G.SSL_CIPHER_description(C, LBuffer, sizeof(LBuffer));
      LCipher->Description = Trim(LBuffer);
      G.SSL_CIPHER_get_bits(C, &LCipher->Bits);
      LCipher->Version = G.SSL_CIPHER_get_version(C);
    }
    FCipher = std::move(LCipher);
  }
  return FCipher.get();
}

std::string TIdSSLSocket::GetALPNProtocol() const {
  if (!FSSL || !GOpenSSL.SSL_get0_alpn_selected) return {};
  std::lock_guard<std::mutex> LGuard(FLock);
  const unsigned char* LData = nullptr;
  unsigned LLength = 0;
  GOpenSSL.SSL_get0_alpn_selected(FSSL, &LData, &LLength);
  return LData && LLength ? std::string(reinterpret_cast<const char*>(LData), LLength)
                          : std::string();
}

std::string TIdSSLSocket::GetSSLVersion() const {
  if (!FSSL || !GOpenSSL.SSL_get_version) return {};
  std::lock_guard<std::mutex> LGuard(FLock);
  return GOpenSSL.SSL_get_version(FSSL);
}

// ---- TIdSSLIOHandlerSocketOpenSSL ----

namespace {
TIdIOHandler* CreateOpenSSL(TComponent* AOwner) {
  return New<TIdSSLIOHandlerSocketOpenSSL>(AOwner);
}
TIdIOHandler* CreateQorOpenSSL(TComponent* AOwner) {
  return New<TqorIdSSLIOHandlerSocketOpenSSL>(AOwner);
}
const TIdIOHandlerClass CSSLBaseClass = {"TIdSSLIOHandlerSocketBase", &TIdIOHandlerStack::IdClass,
                                         nullptr};
}  // namespace

const TIdIOHandlerClass TIdSSLIOHandlerSocketOpenSSL::IdClass = {"TIdSSLIOHandlerSocketOpenSSL",
                                                                 &CSSLBaseClass, &CreateOpenSSL};
const TIdIOHandlerClass TqorIdSSLIOHandlerSocketOpenSSL::IdClass = {
    "TqorIdSSLIOHandlerSocketOpenSSL", &TIdSSLIOHandlerSocketOpenSSL::IdClass, &CreateQorOpenSSL};

TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner)
    : TIdSSLIOHandlerSocketBase(AOwner) {
  FIsPeer = false;
  auto* LOptions = new TIdSSLOptions_Internal();
  LOptions->Parent = this;
  FSSLOptions = LOptions;
}

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() {
  Destroying();
  DropSession();
  FreeContext();
  auto* LInternal = dynamic_cast<TIdSSLOptions_Internal*>(FSSLOptions);
  if (LInternal && LInternal->Parent == this) delete LInternal;
}

void TIdSSLIOHandlerSocketOpenSSL::SetSSLOptions(TIdSSLOptions* AValue) {
  if (!AValue || AValue == FSSLOptions) return;
  auto* LInternal = dynamic_cast<TIdSSLOptions_Internal*>(FSSLOptions);
  if (LInternal && LInternal->Parent == this) delete LInternal;
  FSSLOptions = AValue;
}

std::shared_ptr<TIdSSLSocket> TIdSSLIOHandlerSocketOpenSSL::Session() const {
  std::lock_guard<std::mutex> LGuard(FSessionLock);
  return FSSLSocket;
}

void TIdSSLIOHandlerSocketOpenSSL::SetSession(std::shared_ptr<TIdSSLSocket> AValue) {
  std::shared_ptr<TIdSSLSocket> LOld;
  {
    std::lock_guard<std::mutex> LGuard(FSessionLock);
    LOld = std::move(FSSLSocket);
    FSSLSocket = std::move(AValue);
  }
  if (LOld) LOld->Close();
}

void TIdSSLIOHandlerSocketOpenSSL::DropSession() {
  SetSession(nullptr);
}

TStringList& TIdSSLIOHandlerSocketOpenSSL::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

void TIdSSLIOHandlerSocketOpenSSL::FreeContext() {
  if (FSSLContext && FSSLContext->Parent == this) delete FSSLContext;
  FSSLContext = nullptr;
}

void TIdSSLIOHandlerSocketOpenSSL::BuildContext() {
  if (FSSLContext) return;
  auto LContext = std::make_unique<TIdSSLContext>();
  LContext->Parent = this;
  const TIdSSLOptions& O = *FSSLOptions;
  LContext->RootCertFile = O.RootCertFile();
  LContext->CertFile = O.CertFile();
  LContext->KeyFile = O.KeyFile();
  LContext->DHParamsFile = O.DHParamsFile();
  LContext->VerifyDepth = O.VerifyDepth();
  LContext->VerifyMode = O.VerifyMode();
  LContext->VerifyDirs = O.VerifyDirs();
  LContext->CipherList = O.CipherList();
  LContext->VerifyOn = static_cast<bool>(FOnVerifyPeer);
  LContext->StatusInfoOn = FOnStatusInfo || FOnStatusInfoEx;
  LContext->Method = O.Method();
  LContext->SSLVersions = O.SSLVersions();
  LContext->Mode = O.Mode();
  if (FALPNProtocols) LContext->SetALPNProtocols(*FALPNProtocols);
  // Owned from here on: a failed preparation is freed at the next Close.
  FSSLContext = LContext.release();
  FSSLContext->PrepareContext(sslCtxClient);
}

void TIdSSLIOHandlerSocketOpenSSL::ConnectToPeer() {
  try {
    BuildContext();
  } catch (const EIdOSSLCouldNotLoadSSLLibrary&) {
    if (!FPassThrough) throw;
  }
  ConnectPlain();
  NotifyBeforeConnect();
  StartSSLInConnect();
}

void TIdSSLIOHandlerSocketOpenSSL::StartSSL() {
  if (!FPassThrough) OpenTLSSession();
}

void TIdSSLIOHandlerSocketOpenSSL::SetSocketTimeouts(int AMs) {
  if (!BindingAllocated()) return;
  timeval LTime{AMs / 1000, (AMs % 1000) * 1000};
  setsockopt(FBinding->Handle(), SOL_SOCKET, SO_RCVTIMEO, &LTime, sizeof(LTime));
  setsockopt(FBinding->Handle(), SOL_SOCKET, SO_SNDTIMEO, &LTime, sizeof(LTime));
}

void TIdSSLIOHandlerSocketOpenSSL::OpenTLSSession() {
  if (!BindingAllocated()) throw EIdNotConnected(RSNotConnected);
  if (!FSSLContext) throw EIdOSSLCouldNotLoadSSLLibrary(RSOSSLCouldNotLoadSSLLibrary);
  auto LSocket = std::make_shared<TIdSSLSocket>(this);
  LSocket->SetContext(FSSLContext);
  SetSocketTimeouts(SessionTimeout());
  const TIdSSLMode LMode = FSSLContext->Mode;
  const bool LServer = LMode == sslmServer || (LMode != sslmClient && FIsPeer);
  // Stored before the handshake: a failed session stays until Close.
  TIdSSLSocket* LRaw = LSocket.get();
  SetSession(std::move(LSocket));
  if (LServer) {
    LRaw->SetHostName({});
    LRaw->Accept(FBinding->Handle());
  } else {
    LRaw->SetHostName(ServerName());
    // Part of a connect, the handshake shares ConnectTimeout with the TCP connect and any
    // proxy; a later one (PassThrough switched off) counts from its own start. Without a
    // connect time-out the session's read time-out bounds the whole handshake: a server
    // that trickles bytes must not hold the connecting thread for ever.
    LRaw->Connect(FBinding->Handle(),
                  ConnectDeadline(FInConnect ? FOpenedAt : GetTickCount64(), SessionTimeout()));
  }
  FPassThrough = false;
}

void TIdSSLIOHandlerSocketOpenSSL::DoSetPassThrough(bool AValue) {
  if (AValue == FPassThrough) return;
  if (AValue) {
    if (std::shared_ptr<TIdSSLSocket> LSession = Session()) {
      LSession->Shutdown();
      DropSession();
    }
    if (BindingAllocated()) {
      SetSocketTimeouts(0);
      SetNonBlocking(FBinding->Handle(), false);
    }
  } else if (BindingAllocated()) {
    if (!FSSLContext) throw EIdOSSLCouldNotLoadSSLLibrary(RSOSSLCouldNotLoadSSLLibrary);
    OpenTLSSession();
  }
  FPassThrough = AValue;
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
  DropSession();
  FreeContext();
  TIdIOHandlerStack::Close();
}

// The session uses the descriptor itself: each of its calls holds it (TIdSocketHandle::TUse),
// so that a close from another thread cannot release the number under it.
bool TIdSSLIOHandlerSocketOpenSSL::Readable(int AMSec) {
  if (FPassThrough) return TIdIOHandlerStack::Readable(AMSec);
  const std::shared_ptr<TIdSSLSocket> LSession = Session();
  if (!LSession || !BindingAllocated()) return false;
  TIdSocketHandle::TUse LUse(*Binding());
  return LUse.Handle() != Id_INVALID_SOCKET && LSession->Readable(AMSec < 0 ? -1 : AMSec);
}

bool TIdSSLIOHandlerSocketOpenSSL::HoldsApplicationBytes() {
  if (FPassThrough) return false;
  const std::shared_ptr<TIdSSLSocket> LSession = Session();
  if (!LSession || !BindingAllocated()) return false;
  TIdSocketHandle::TUse LUse(*Binding());
  return LUse.Handle() != Id_INVALID_SOCKET && LSession->HoldsApplicationBytes();
}

int TIdSSLIOHandlerSocketOpenSSL::ReceiveReady() {
  if (!FPassThrough && !Readable(0)) return -1;
  return TIdIOHandlerStack::ReceiveReady();
}

void TIdSSLIOHandlerSocketOpenSSL::AbortAfterFailure() {
  if (const std::shared_ptr<TIdSSLSocket> LSession = Session()) LSession->Close();
  TIdIOHandlerStack::AbortAfterFailure();
}

int TIdSSLIOHandlerSocketOpenSSL::ReceiveEncrypted(TIdBytes& VBuffer) {
  const std::shared_ptr<TIdSSLSocket> LSession = Session();
  if (!LSession || !BindingAllocated()) return 0;
  TIdSocketHandle::TUse LUse(*Binding());
  return LUse.Handle() != Id_INVALID_SOCKET ? LSession->Recv(VBuffer) : 0;
}

int TIdSSLIOHandlerSocketOpenSSL::SendEncrypted(const TIdBytes& ABuffer, int AOffset, int ALength) {
  const std::shared_ptr<TIdSSLSocket> LSession = Session();
  if (!LSession || !BindingAllocated()) throw EIdNotConnected(RSNotConnected);
  TIdSocketHandle::TUse LUse(*Binding());
  if (LUse.Handle() == Id_INVALID_SOCKET) throw EIdNotConnected(RSNotConnected);
  return LSession->Send(ABuffer, AOffset, ALength);
}

int TIdSSLIOHandlerSocketOpenSSL::CheckTransportResult(int AResult) {
  if (FPassThrough) return TIdIOHandlerStack::CheckTransportResult(AResult);
  const TIdSSLSocket::TFailure LFailure = tLastFailure;
  switch (LFailure.Error) {
    case SSL_ERROR_NONE:
      return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      // A wait inside the session outlasted its socket time-out.
      return Id_WSAETIMEDOUT;
    case SSL_ERROR_SYSCALL:
      if (GOpenSSL.ERR_peek_error() == 0 && LFailure.Ret == -1) {
        errno = LFailure.Errno;
        return TIdIOHandlerStack::CheckTransportResult(-1);
      }
      break;
    default:
      break;
  }
  RaiseSessionError(LFailure.Ret, LFailure.Error);
}

void TIdSSLIOHandlerSocketOpenSSL::RaiseSessionError(int ARet, int AError) {
  RaiseSessionFailure<EIdOpenSSLAPISSLError>(AError, ARet, tLastFailure.Errno, {});
}

void TIdSSLIOHandlerSocketOpenSSL::RaiseTransportError(int AErr) {
  if (!FPassThrough && Session() && AErr != Id_WSAECONNABORTED && AErr != Id_WSAECONNRESET &&
      AErr != Id_WSAESHUTDOWN && AErr != Id_WSAETIMEDOUT) {
    RaiseSessionError(tLastFailure.Ret, tLastFailure.Error);
  }
  GStack()->RaiseSocketError(AErr);
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetALPNProtocol() const {
  const std::shared_ptr<TIdSSLSocket> LSession = Session();
  return LSession ? LSession->GetALPNProtocol() : std::string();
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetSSLVersion() const {
  const std::shared_ptr<TIdSSLSocket> LSession = Session();
  return LSession ? LSession->GetSSLVersion() : std::string();
}

TIdSSLIOHandlerSocketBase* TIdSSLIOHandlerSocketOpenSSL::Clone() {
  auto* LClone = New<TIdSSLIOHandlerSocketOpenSSL>(nullptr);
  try {
    LClone->SSLOptions().Assign(*FSSLOptions);
    LClone->SetOnStatusInfo([this](const std::string& AMsg) { NotifyStatusInfo(AMsg); });
    LClone->SetOnGetPassword([this](std::string& VPassword) { AskPassword(VPassword); });
    LClone->SetOnVerifyPeer([this](TIdX509* ACert, bool AOk, int ADepth, int AError) {
      return AskVerifyPeer(ACert, AOk, ADepth, AError);
    });
    LClone->SetOnGetPasswordEx(FOnGetPasswordEx);
    LClone->SetSession(std::make_shared<TIdSSLSocket>(this));
  } catch (...) {
    delete LClone;
    throw;
  }
  return LClone;
}

void TIdSSLIOHandlerSocketOpenSSL::NotifyBeforeConnect() {
  if (FOnBeforeConnect) FOnBeforeConnect(this);
}

void TIdSSLIOHandlerSocketOpenSSL::NotifyStatusInfo(const std::string& AMsg) {
  if (FOnStatusInfo) FOnStatusInfo(AMsg);
}

void TIdSSLIOHandlerSocketOpenSSL::AskPassword(std::string& VPassword) {
  if (FOnGetPassword) FOnGetPassword(VPassword);
}

void TIdSSLIOHandlerSocketOpenSSL::AskPasswordEx(std::string& VPassword, bool AIsWrite) {
  if (FOnGetPasswordEx) FOnGetPasswordEx(this, VPassword, AIsWrite);
}

bool TIdSSLIOHandlerSocketOpenSSL::AskVerifyPeer(TIdX509* ACertificate, bool AOk, int ADepth,
                                                 int AError) {
  return FOnVerifyPeer ? FOnVerifyPeer(ACertificate, AOk, ADepth, AError) : true;
}

std::string TIdSSLIOHandlerSocketOpenSSL::QueryPassword(bool AIsWrite) {
  std::string LPassword;
  AskPasswordEx(LPassword, AIsWrite);
  if (LPassword.empty()) AskPassword(LPassword);
  return LPassword;
}

void TIdSSLIOHandlerSocketOpenSSL::ReportStatus(PSSL ASSLSocket, int AWhere, int ARet,
                                                const std::string& AMsg) {
  // The close-notify sent while the handler is destroyed reaches no one.
  if (ComponentState() & csDestroying) return;
  NotifyStatusInfo(AMsg);
  if (!FOnStatusInfoEx) return;
  const auto& G = GOpenSSL;
  std::string LType, LText;
  auto LState = [&] { return std::string(G.SSL_state_string_long(ASSLSocket)); };
  auto LResultType = [&](const char* ABase) {
    return std::string(ABase) + (ARet < 0 ? " Error" : ARet > 0 ? " Exit" : " Failed");
  };
  switch (AWhere) {
    case 16:
      LType = "Handshake Start";
      LText = LState();
      break;
    case 32:
      LType = "Handshake Done";
      LText = LState();
      break;
    case 4097:
      LType = "Connect Loop";
      LText = LState();
      break;
    case 4098:
      LType = LResultType("Connect");
      LText = LState();
      break;
    case 8193:
      LType = "Accept Loop";
      LText = LState();
      break;
    case 8194:
      LType = LResultType("Accept");
      LText = LState();
      break;
    case 16384:
      LType = Format("%s Alert", G.SSL_alert_type_string_long(ARet));
      LText = G.SSL_alert_type_string_long(ARet);
      break;
    case 16388:
      LType = Format("%s Read Alert", G.SSL_alert_type_string_long(ARet));
      LText = G.SSL_alert_desc_string_long(ARet);
      break;
    case 16392:
      LType = Format("%s Write Alert", G.SSL_alert_type_string_long(ARet));
      LText = G.SSL_alert_desc_string_long(ARet);
      break;
    default:
      break;
  }
  FOnStatusInfoEx(this, ASSLSocket, AWhere, ARet, LType, LText);
}

bool TIdSSLIOHandlerSocketOpenSSL::CheckPeer(TIdX509* ACertificate, bool AOk, int ADepth,
                                             int AError) {
  return AskVerifyPeer(ACertificate, AOk, ADepth, AError);
}

// ---- TqorIdSSLIOHandlerSocketOpenSSL ----

int TqorIdSSLIOHandlerSocketOpenSSL::CheckTransportResult(int AResult) {
  if (!Session()) return AResult;
  return TIdSSLIOHandlerSocketOpenSSL::CheckTransportResult(AResult);
}

int TqorIdSSLIOHandlerSocketOpenSSL::ReceiveEncrypted(TIdBytes& VBuffer) {
  if (!Session()) return -1;
  return TIdSSLIOHandlerSocketOpenSSL::ReceiveEncrypted(VBuffer);
}

bool TqorIdSSLIOHandlerSocketOpenSSL::Readable(int AMSec) {
  if (!Session()) return FPassThrough && TIdIOHandlerStack::Readable(AMSec);
  return TIdSSLIOHandlerSocketOpenSSL::Readable(AMSec);
}
