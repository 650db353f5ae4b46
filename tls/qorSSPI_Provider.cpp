// The provider's TLS half: credentials, security contexts and the record calls over OpenSSL on
// memory BIOs. The caller moves the bytes: tokens and records go in and out through the
// buffer descriptions, whole records only, as the platform's provider does.
#include "tls/qorSSPI_Provider.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tls/qorSSPI_Internal.h"

namespace {

auto& G = GOpenSSL;

constexpr uintptr_t CCredentialsTag = 0x43524544;  // "CRED"
constexpr uintptr_t CContextTag = 0x43545854;      // "CTXT"
constexpr int CRecordHeader = 5;
constexpr ULONG CMaximumMessage = 16384;
// Room behind a record for a key-update record the library queued before it.
constexpr ULONG CKeyUpdateRoom = 64;
constexpr unsigned long SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS = 0x800;
constexpr int SSL_ERROR_WANT_X509_LOOKUP = 4;
constexpr int SSL_CTRL_GET_PEER_TMP_KEY = 109;
constexpr int BIO_CTRL_RESET = 1;
constexpr int BIO_CTRL_PENDING = 10;

struct TCredentials {
  PSSL_CTX Ctx = nullptr;
  PCCERT_CONTEXT Cert = nullptr;
};

struct TContext {
  std::mutex Lock;
  PSSL Ssl = nullptr;
  PBIO In = nullptr;              // records received, for the library
  PBIO Out = nullptr;             // records the library made, for the caller
  PCCERT_CONTEXT Cert = nullptr;  // the client certificate of the last call's credentials
  bool AskedForCertificate = false;
  std::vector<uint8_t> PendingOut;  // made while decrypting (renegotiation, key update)
};

template <typename T>
T* FromHandle(const SecHandle* AHandle, uintptr_t ATag) {
  if (!AHandle || AHandle->dwUpper != ATag || !AHandle->dwLower) return nullptr;
  return reinterpret_cast<T*>(AHandle->dwLower);
}

void Drain(PBIO ABio, std::vector<uint8_t>& VTo) {
  const long N = G.BIO_ctrl(ABio, BIO_CTRL_PENDING, 0, nullptr);
  if (N <= 0) return;
  const size_t LAt = VTo.size();
  VTo.resize(LAt + static_cast<size_t>(N));
  G.BIO_read(ABio, VTo.data() + LAt, static_cast<int>(N));
}

long Pending(PBIO ABio) {
  return G.BIO_ctrl(ABio, BIO_CTRL_PENDING, 0, nullptr);
}

// Bytes of the complete records at the front of AData (0: not even one).
size_t CompleteRecords(const uint8_t* AData, size_t ASize, size_t* VMissing = nullptr) {
  size_t LAt = 0;
  for (;;) {
    if (ASize - LAt < CRecordHeader) {
      if (VMissing) *VMissing = CRecordHeader - (ASize - LAt);
      return LAt;
    }
    const size_t LLength = CRecordHeader + (size_t(AData[LAt + 3]) << 8 | AData[LAt + 4]);
    if (ASize - LAt < LLength) {
      if (VMissing) *VMissing = LLength - (ASize - LAt);
      return LAt;
    }
    LAt += LLength;
  }
}

SecBuffer* FindBuffer(SecBufferDesc* ADesc, ULONG AType) {
  if (!ADesc || !ADesc->pBuffers) return nullptr;
  for (ULONG I = 0; I < ADesc->cBuffers; ++I) {
    if (ADesc->pBuffers[I].BufferType == AType) return &ADesc->pBuffers[I];
  }
  return nullptr;
}

SECURITY_STATUS HandshakeFailure() {
  const unsigned long LError = G.ERR_peek_error();
  G.ERR_clear_error();
  switch (LError & 0xFFF) {
    case 181:   // no ciphers available
    case 191:   // no protocols available
    case 258:   // unsupported protocol
    case 1040:  // handshake failure alert
    case 1070:  // protocol version alert
      return SEC_E_ALGORITHM_MISMATCH;
    default:
      return SEC_E_ILLEGAL_MESSAGE;
  }
}

int ClientCertificate(PSSL ASsl, PX509* VX509, PEVP_PKEY* VKey) {
  auto* C = static_cast<TContext*>(G.SSL_get_ex_data(ASsl, 0));
  if (C->Cert) {
    TCertContext* LCert = CertImpl(C->Cert);
    if (!LCert->Key) return 0;
    G.X509_up_ref(LCert->X509);
    G.EVP_PKEY_up_ref(LCert->Key);
    *VX509 = LCert->X509;
    *VKey = LCert->Key;
    return 1;
  }
  // The first request goes back to the caller as incomplete credentials; asked again with
  // the same (certificate-less) credentials, the handshake goes on without a certificate.
  if (!C->AskedForCertificate) {
    C->AskedForCertificate = true;
    return -1;
  }
  return 0;
}

int VersionOf(DWORD AProtocols, DWORD ABit) {
  switch (ABit) {
    case SP_PROT_SSL3_CLIENT:
      return 0x300;
    case SP_PROT_TLS1_0_CLIENT:
      return 0x301;
    case SP_PROT_TLS1_1_CLIENT:
      return 0x302;
    case SP_PROT_TLS1_2_CLIENT:
      return 0x303;
    default:
      return AProtocols ? 0x304 : 0;
  }
}

// The library's cipher list and TLS 1.3 suites for a list of bulk algorithms; empty when the
// list names none.
std::pair<std::string, std::string> CipherStrings(const ALG_ID* AAlgs, DWORD ACount) {
  std::string LList, LSuites;
  auto LAdd = [](std::string& S, const char* A) {
    if (S.find(A) == std::string::npos) S += (S.empty() ? "" : ":") + std::string(A);
  };
  for (DWORD I = 0; I < ACount; ++I) {
    switch (AAlgs[I]) {
      case 0x660E:
        LAdd(LList, "AES128");
        LAdd(LSuites, "TLS_AES_128_GCM_SHA256");
        break;
      case 0x6610:
        LAdd(LList, "AES256");
        LAdd(LSuites, "TLS_AES_256_GCM_SHA384");
        break;
      case 0x6611:
        LAdd(LList, "AES");
        LAdd(LSuites, "TLS_AES_128_GCM_SHA256");
        LAdd(LSuites, "TLS_AES_256_GCM_SHA384");
        break;
      case 0x6603:
        LAdd(LList, "3DES");
        break;
      case 0x6801:
        LAdd(LList, "RC4");
        break;
      case 0x6601:
        LAdd(LList, "DES");
        break;
      default:
        break;
    }
  }
  return {LList, LSuites};
}

SECURITY_STATUS AcquireCredentialsHandleW(LPCWSTR, LPCWSTR pszPackage, ULONG fCredentialUse, void*,
                                          void* pAuthData, void*, void*, PCredHandle phCredential,
                                          TimeStamp* ptsExpiry) {
  if (!pszPackage || std::u16string(pszPackage) != UNISP_NAME_W) return SEC_E_SECPKG_NOT_FOUND;
  if (fCredentialUse != SECPKG_CRED_OUTBOUND) return SEC_E_UNSUPPORTED_FUNCTION;
  const auto* LCred = static_cast<const SCHANNEL_CRED*>(pAuthData);
  if (!phCredential || !LCred || LCred->dwVersion != SCHANNEL_CRED_VERSION) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (!ProviderLibraryReady()) return SEC_E_INTERNAL_ERROR;
  auto LOut = std::make_unique<TCredentials>();
  LOut->Ctx = G.SSL_CTX_new(G.TLS_client_method());
  if (!LOut->Ctx) return SEC_E_INSUFFICIENT_MEMORY;
  auto LFail = [&](SECURITY_STATUS AStatus) {
    G.SSL_CTX_free(LOut->Ctx);
    G.ERR_clear_error();
    return AStatus;
  };
  // Protocols: the client or server bit of a version enables it; none enabled means the
  // provider's choice, TLS 1.2 and 1.3.
  int LMin = 0, LMax = 0;
  const DWORD LBits[][2] = {{SP_PROT_SSL3_CLIENT, SP_PROT_SSL3_SERVER},
                            {SP_PROT_TLS1_0_CLIENT, SP_PROT_TLS1_0_SERVER},
                            {SP_PROT_TLS1_1_CLIENT, SP_PROT_TLS1_1_SERVER},
                            {SP_PROT_TLS1_2_CLIENT, SP_PROT_TLS1_2_SERVER},
                            {SP_PROT_TLS1_3_CLIENT, SP_PROT_TLS1_3_SERVER}};
  for (const auto& B : LBits) {
    if (!(LCred->grbitEnabledProtocols & (B[0] | B[1]))) continue;
    const int V = VersionOf(1, B[0]);
    if (!LMin) LMin = V;
    LMax = V;
  }
  if (!LMin) LMin = 0x303, LMax = 0x304;
  G.SSL_CTX_ctrl(LOut->Ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, LMin, nullptr);
  G.SSL_CTX_ctrl(LOut->Ctx, SSL_CTRL_SET_MAX_PROTO_VERSION, LMax, nullptr);
  G.SSL_CTX_set_options(LOut->Ctx, SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS);
  // Versions before TLS 1.2 need the signatures the library's default level refuses.
  std::string LCipherList = LMin < 0x303 ? "DEFAULT:@SECLEVEL=0" : "";
  const auto [LList, LSuites] = CipherStrings(LCred->palgSupportedAlgs, LCred->cSupportedAlgs);
  if (!LList.empty()) {
    LCipherList = LList + (LMin < 0x303 ? ":@SECLEVEL=0" : "");
    if (G.SSL_CTX_set_ciphersuites) G.SSL_CTX_set_ciphersuites(LOut->Ctx, LSuites.c_str());
  }
  if (!LCipherList.empty() && G.SSL_CTX_set_cipher_list(LOut->Ctx, LCipherList.c_str()) != 1 &&
      LMin < 0x304) {
    return LFail(SEC_E_ALGORITHM_MISMATCH);
  }
  if (LCred->cCreds > 0 && LCred->paCred && LCred->paCred[0]) {
    TCertContext* LCert = CertImpl(LCred->paCred[0]);
    if (!LCert->Key) return LFail(SEC_E_NO_CREDENTIALS);
    if (G.SSL_CTX_use_certificate(LOut->Ctx, LCert->X509) != 1 ||
        G.SSL_CTX_use_PrivateKey(LOut->Ctx, LCert->Key) != 1) {
      return LFail(SEC_E_NO_CREDENTIALS);
    }
    LOut->Cert = CertDuplicateCertificateContext(LCred->paCred[0]);
  }
  G.SSL_CTX_set_client_cert_cb(LOut->Ctx, &ClientCertificate);
  phCredential->dwLower = reinterpret_cast<uintptr_t>(LOut.release());
  phCredential->dwUpper = CCredentialsTag;
  if (ptsExpiry) *ptsExpiry = {0xFFFFFFFF, 0x7FFFFFFF};
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandle(PCredHandle phCredential) {
  auto* LCred = FromHandle<TCredentials>(phCredential, CCredentialsTag);
  if (!LCred) return SEC_E_INVALID_HANDLE;
  G.SSL_CTX_free(LCred->Ctx);
  CertFreeCertificateContext(LCred->Cert);
  delete LCred;
  phCredential->dwLower = phCredential->dwUpper = 0;
  return SEC_E_OK;
}

bool IsIPLiteral(const std::string& AName) {
  return AName.find(':') != std::string::npos ||
         AName.find_first_not_of("0123456789.") == std::string::npos;
}

// SEC_APPLICATION_PROTOCOLS: lists size (32 bits), then per list: extension (32 bits), list
// size (16 bits) and the list in the wire format.
void OfferProtocols(PSSL ASsl, SecBufferDesc* AInput) {
  const SecBuffer* B = FindBuffer(AInput, SECBUFFER_APPLICATION_PROTOCOLS);
  if (!B || !B->pvBuffer || B->cbBuffer < 10 || !G.SSL_set_alpn_protos) return;
  const auto* P = static_cast<const uint8_t*>(B->pvBuffer);
  uint32_t LListsSize;
  std::memcpy(&LListsSize, P, 4);
  size_t LAt = 4;
  const size_t LEnd = std::min<size_t>(B->cbBuffer, 4 + size_t(LListsSize));
  while (LAt + 6 <= LEnd) {
    uint32_t LExt;
    uint16_t LSize;
    std::memcpy(&LExt, P + LAt, 4);
    std::memcpy(&LSize, P + LAt + 4, 2);
    LAt += 6;
    if (LAt + LSize > LEnd) return;
    if (LExt == SecApplicationProtocolNegotiationExt_ALPN && LSize > 0) {
      G.SSL_set_alpn_protos(ASsl, P + LAt, LSize);
    }
    LAt += LSize;
  }
}

TContext* NewContext(TCredentials* ACred, const char16_t* ATarget, SecBufferDesc* AInput) {
  auto* C = new TContext;
  C->Ssl = G.SSL_new(ACred->Ctx);
  C->In = G.BIO_new(G.BIO_s_mem());
  C->Out = G.BIO_new(G.BIO_s_mem());
  G.SSL_set_bio(C->Ssl, C->In, C->Out);
  G.SSL_set_connect_state(C->Ssl);
  G.SSL_set_ex_data(C->Ssl, 0, C);
  const std::string LName = NarrowUTF16(ATarget);
  // Server name indication carries host names only.
  if (!LName.empty() && !IsIPLiteral(LName)) {
    G.SSL_ctrl(C->Ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char*>(LName.c_str()));
  }
  OfferProtocols(C->Ssl, AInput);
  return C;
}

// Hands bytes to the caller in its token buffer, allocated when it asked for that.
SECURITY_STATUS PutToken(SecBufferDesc* AOutput, ULONG AReq, std::vector<uint8_t>& ABytes) {
  SecBuffer* B = FindBuffer(AOutput, SECBUFFER_TOKEN);
  if (!B) return ABytes.empty() ? SEC_E_OK : SEC_E_INVALID_PARAMETER;
  if (ABytes.empty()) {
    B->cbBuffer = 0;
    if (AReq & ISC_REQ_ALLOCATE_MEMORY) B->pvBuffer = nullptr;
    return SEC_E_OK;
  }
  if (AReq & ISC_REQ_ALLOCATE_MEMORY) {
    B->pvBuffer = std::malloc(ABytes.size());
    if (!B->pvBuffer) return SEC_E_INSUFFICIENT_MEMORY;
  } else if (!B->pvBuffer || B->cbBuffer < ABytes.size()) {
    return SEC_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(B->pvBuffer, ABytes.data(), ABytes.size());
  B->cbBuffer = static_cast<ULONG>(ABytes.size());
  return SEC_E_OK;
}

SECURITY_STATUS InitializeSecurityContextW(PCredHandle phCredential, PCtxtHandle phContext,
                                           const char16_t* pszTargetName, ULONG fContextReq, ULONG,
                                           ULONG, SecBufferDesc* pInput, ULONG,
                                           PCtxtHandle phNewContext, SecBufferDesc* pOutput,
                                           ULONG* pfContextAttr, TimeStamp* ptsExpiry) {
  auto* LCred = FromHandle<TCredentials>(phCredential, CCredentialsTag);
  TContext* C;
  if (!phContext) {
    if (!LCred || !phNewContext) return SEC_E_INVALID_HANDLE;
    C = NewContext(LCred, pszTargetName, pInput);
    phNewContext->dwLower = reinterpret_cast<uintptr_t>(C);
    phNewContext->dwUpper = CContextTag;
  } else {
    C = FromHandle<TContext>(phContext, CContextTag);
    if (!C) return SEC_E_INVALID_HANDLE;
  }
  if (pfContextAttr) *pfContextAttr = fContextReq | ISC_RET_ALLOCATED_MEMORY;
  if (ptsExpiry) *ptsExpiry = {0xFFFFFFFF, 0x7FFFFFFF};
  std::lock_guard<std::mutex> LGuard(C->Lock);
  if (LCred && LCred->Cert != C->Cert) {
    CertFreeCertificateContext(C->Cert);
    C->Cert = CertDuplicateCertificateContext(LCred->Cert);
  }
  // Whole records only; the rest stays with the caller.
  SecBuffer* LToken = phContext ? FindBuffer(pInput, SECBUFFER_TOKEN) : nullptr;
  const auto* LData = LToken ? static_cast<const uint8_t*>(LToken->pvBuffer) : nullptr;
  const size_t LSize = LData ? LToken->cbBuffer : 0;
  size_t LMissing = 0;
  const size_t LWhole = CompleteRecords(LData, LSize, &LMissing);
  if (phContext && LWhole == 0 && C->PendingOut.empty() && !C->AskedForCertificate) {
    if (pInput && pInput->cBuffers > 1) {
      pInput->pBuffers[1] = {static_cast<ULONG>(LMissing), SECBUFFER_MISSING, nullptr};
    }
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  if (LWhole > 0) G.BIO_write(C->In, LData, static_cast<int>(LWhole));
  const int LResult = G.SSL_do_handshake(C->Ssl);
  const int LError = LResult == 1 ? SSL_ERROR_NONE : G.SSL_get_error(C->Ssl, LResult);
  std::vector<uint8_t> LOut = std::move(C->PendingOut);
  C->PendingOut.clear();
  Drain(C->Out, LOut);
  const size_t LExtra = static_cast<size_t>(std::max(0L, Pending(C->In))) + (LSize - LWhole);
  G.BIO_ctrl(C->In, BIO_CTRL_RESET, 0, nullptr);
  if (LExtra > 0 && pInput && pInput->cBuffers > 1) {
    pInput->pBuffers[1] = {static_cast<ULONG>(LExtra), SECBUFFER_EXTRA, nullptr};
  }
  SECURITY_STATUS LStatus;
  switch (LError) {
    case SSL_ERROR_NONE:
      LStatus = SEC_E_OK;
      break;
    case SSL_ERROR_WANT_READ:
      LStatus = SEC_I_CONTINUE_NEEDED;
      break;
    case SSL_ERROR_WANT_X509_LOOKUP:
      LStatus = SEC_I_INCOMPLETE_CREDENTIALS;
      break;
    default:
      LStatus = HandshakeFailure();
  }
  if (LError == SSL_ERROR_NONE || LError == SSL_ERROR_WANT_READ) C->AskedForCertificate = false;
  const SECURITY_STATUS LPut = PutToken(pOutput, fContextReq, LOut);
  return LPut != SEC_E_OK ? LPut : LStatus;
}

SECURITY_STATUS DeleteSecurityContext(PCtxtHandle phContext) {
  auto* C = FromHandle<TContext>(phContext, CContextTag);
  if (!C) return SEC_E_INVALID_HANDLE;
  G.SSL_free(C->Ssl);  // frees both BIOs
  CertFreeCertificateContext(C->Cert);
  delete C;
  phContext->dwLower = phContext->dwUpper = 0;
  return SEC_E_OK;
}

SECURITY_STATUS ApplyControlToken(PCtxtHandle phContext, SecBufferDesc* pInput) {
  auto* C = FromHandle<TContext>(phContext, CContextTag);
  if (!C) return SEC_E_INVALID_HANDLE;
  const SecBuffer* B = FindBuffer(pInput, SECBUFFER_TOKEN);
  DWORD LToken = 0;
  if (!B || !B->pvBuffer || B->cbBuffer < sizeof LToken) return SEC_E_INVALID_TOKEN;
  std::memcpy(&LToken, B->pvBuffer, sizeof LToken);
  if (LToken != SCHANNEL_SHUTDOWN) return SEC_E_UNSUPPORTED_FUNCTION;
  std::lock_guard<std::mutex> LGuard(C->Lock);
  G.SSL_shutdown(C->Ssl);
  G.ERR_clear_error();
  Drain(C->Out, C->PendingOut);
  return SEC_E_OK;
}

SECURITY_STATUS FreeContextBuffer(void* pvContextBuffer) {
  std::free(pvContextBuffer);
  return SEC_E_OK;
}

// Header and trailer of the negotiated suite: the record header and explicit nonce or IV in
// front; tag or MAC and padding behind, plus room for a queued key update.
SecPkgContext_StreamSizes StreamSizes(PSSL ASsl) {
  const std::string LName = G.SSL_CIPHER_get_name(G.SSL_get_current_cipher(ASsl));
  const int LVersion = G.SSL_version(ASsl);
  ULONG LHeader = CRecordHeader, LTrailer = 16, LBlock = 1;
  auto LHas = [&](const char* A) { return LName.find(A) != std::string::npos; };
  if (LVersion >= 0x304) {
    LTrailer = 17;  // content type and tag
  } else if (LHas("GCM") || LHas("CCM")) {
    LHeader += 8;
  } else if (!LHas("CHACHA20")) {
    LBlock = LHas("RC4") ? 1 : (LHas("DES") || LHas("CBC3") || LHas("IDEA")) ? 8 : 16;
    if (LVersion >= 0x302 && LBlock > 1) LHeader += LBlock;
    LTrailer = (LHas("SHA384") ? 48 : LHas("SHA256") ? 32 : LHas("MD5") ? 16 : 20) + LBlock;
  }
  return {LHeader, LTrailer + CKeyUpdateRoom, CMaximumMessage, 4, LBlock};
}

ALG_ID CipherAlg(const std::string& AName) {
  if (AName.find("AES128") != std::string::npos || AName.find("AES_128") != std::string::npos) {
    return 0x660E;
  }
  if (AName.find("AES256") != std::string::npos || AName.find("AES_256") != std::string::npos) {
    return 0x6610;
  }
  if (AName.find("CBC3") != std::string::npos) return 0x6603;
  if (AName.find("RC4") != std::string::npos) return 0x6801;
  return 0;
}

ALG_ID HashAlg(const std::string& AName, ULONG& VBits) {
  if (AName.find("SHA384") != std::string::npos) return VBits = 384, 0x800D;
  if (AName.find("SHA256") != std::string::npos) return VBits = 256, 0x800C;
  if (AName.find("SHA") != std::string::npos) return VBits = 160, 0x8004;
  if (AName.find("MD5") != std::string::npos) return VBits = 128, 0x8003;
  return VBits = 0, 0;
}

ALG_ID ExchangeAlg(const std::string& AName, int AVersion) {
  if (AVersion >= 0x304 || AName.rfind("ECDHE", 0) == 0) return 0xAE06;  // CALG_ECDH_EPHEM
  if (AName.rfind("DHE", 0) == 0) return 0xAA02;                         // CALG_DH_EPHEM
  return 0xA400;                                                         // CALG_RSA_KEYX
}

SECURITY_STATUS QueryContextAttributesW(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer) {
  auto* C = FromHandle<TContext>(phContext, CContextTag);
  if (!C) return SEC_E_INVALID_HANDLE;
  if (!pBuffer) return SEC_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> LGuard(C->Lock);
  switch (ulAttribute) {
    case SECPKG_ATTR_STREAM_SIZES:
      if (!G.SSL_get_current_cipher(C->Ssl)) return SEC_E_INVALID_HANDLE;
      *static_cast<SecPkgContext_StreamSizes*>(pBuffer) = StreamSizes(C->Ssl);
      return SEC_E_OK;
    case SECPKG_ATTR_APPLICATION_PROTOCOL: {
      auto* A = static_cast<SecPkgContext_ApplicationProtocol*>(pBuffer);
      std::memset(A, 0, sizeof *A);
      const unsigned char* LProto = nullptr;
      unsigned LSize = 0;
      if (G.SSL_get0_alpn_selected) G.SSL_get0_alpn_selected(C->Ssl, &LProto, &LSize);
      A->ProtoNegoExt = SecApplicationProtocolNegotiationExt_ALPN;
      if (LProto && LSize > 0) {
        A->ProtoNegoStatus = SecApplicationProtocolNegotiationStatus_Success;
        A->ProtocolIdSize = static_cast<uint8_t>(std::min(LSize, 255u));
        std::memcpy(A->ProtocolId, LProto, A->ProtocolIdSize);
      }
      return SEC_E_OK;
    }
    case SECPKG_ATTR_CONNECTION_INFO: {
      PSSL_CIPHER LCipher = G.SSL_get_current_cipher(C->Ssl);
      if (!LCipher) return SEC_E_INVALID_HANDLE;
      auto* I = static_cast<SecPkgContext_ConnectionInfo*>(pBuffer);
      const std::string LName = G.SSL_CIPHER_get_name(LCipher);
      const int LVersion = G.SSL_version(C->Ssl);
      const DWORD LProtocols[] = {SP_PROT_SSL3_CLIENT, SP_PROT_TLS1_0_CLIENT, SP_PROT_TLS1_1_CLIENT,
                                  SP_PROT_TLS1_2_CLIENT, SP_PROT_TLS1_3_CLIENT};
      I->dwProtocol = LVersion >= 0x300 && LVersion <= 0x304 ? LProtocols[LVersion - 0x300] : 0;
      I->aiCipher = CipherAlg(LName);
      I->dwCipherStrength = static_cast<DWORD>(G.SSL_CIPHER_get_bits(LCipher, nullptr));
      I->aiHash = HashAlg(LName, I->dwHashStrength);
      I->aiExch = ExchangeAlg(LName, LVersion);
      I->dwExchStrength = 0;
      PEVP_PKEY LKey = nullptr;
      if (G.SSL_ctrl(C->Ssl, SSL_CTRL_GET_PEER_TMP_KEY, 0, &LKey) == 1 && LKey) {
        I->dwExchStrength = static_cast<DWORD>(G.EVP_PKEY_bits(LKey));
        G.EVP_PKEY_free(LKey);
      }
      return SEC_E_OK;
    }
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
      PX509 LPeer = G.SSL_get_peer_certificate(C->Ssl);
      if (!LPeer) return SEC_E_NO_CREDENTIALS;
      // The context's store holds what the server sent, for building its chain.
      HCERTSTORE LStore = NewMemoryStore();
      TCertContext* LLeaf = AddToStore(LStore, LPeer, nullptr);
      PSTACK LSent = G.SSL_get_peer_cert_chain(C->Ssl);
      for (int I = 0; LSent && I < G.sk_num(LSent); ++I) {
        auto* LX509 = static_cast<PX509>(G.sk_value(LSent, I));
        if (Thumbprint(LX509) == Thumbprint(LPeer)) continue;
        G.X509_up_ref(LX509);
        AddToStore(LStore, LX509, nullptr);
      }
      *static_cast<PCCERT_CONTEXT*>(pBuffer) = ReferenceCert(LLeaf);
      CertCloseStore(LStore, 0);
      return SEC_E_OK;
    }
    case SECPKG_ATTR_ISSUER_LIST_EX: {
      auto* L = static_cast<SecPkgContext_IssuerListInfoEx*>(pBuffer);
      std::vector<std::vector<uint8_t>> LNames;
      PSTACK LList = G.SSL_get_client_CA_list(C->Ssl);
      for (int I = 0; LList && I < G.sk_num(LList); ++I) {
        unsigned char* LDer = nullptr;
        const int N = G.i2d_X509_NAME(static_cast<PX509_NAME>(G.sk_value(LList, I)), &LDer);
        if (N > 0) LNames.emplace_back(LDer, LDer + N);
        TLSFree(LDer);
      }
      L->cIssuers = static_cast<DWORD>(LNames.size());
      L->aIssuers = nullptr;
      if (LNames.empty()) return SEC_E_OK;
      // One block, freed with FreeContextBuffer: the blobs, then the names they point at.
      size_t LTotal = LNames.size() * sizeof(CERT_NAME_BLOB);
      for (const auto& N : LNames) LTotal += N.size();
      auto* LBlobs = static_cast<CERT_NAME_BLOB*>(std::malloc(LTotal));
      if (!LBlobs) return SEC_E_INSUFFICIENT_MEMORY;
      auto* LAt = reinterpret_cast<uint8_t*>(LBlobs + LNames.size());
      for (size_t I = 0; I < LNames.size(); ++I) {
        std::memcpy(LAt, LNames[I].data(), LNames[I].size());
        LBlobs[I] = {static_cast<DWORD>(LNames[I].size()), LAt};
        LAt += LNames[I].size();
      }
      L->aIssuers = LBlobs;
      return SEC_E_OK;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS EncryptMessage(PCtxtHandle phContext, ULONG, SecBufferDesc* pMessage, ULONG) {
  auto* C = FromHandle<TContext>(phContext, CContextTag);
  if (!C) return SEC_E_INVALID_HANDLE;
  SecBuffer* LHeader = FindBuffer(pMessage, SECBUFFER_STREAM_HEADER);
  SecBuffer* LData = FindBuffer(pMessage, SECBUFFER_DATA);
  SecBuffer* LTrailer = FindBuffer(pMessage, SECBUFFER_STREAM_TRAILER);
  if (!LHeader || !LData || !LTrailer || !LHeader->pvBuffer || !LTrailer->pvBuffer ||
      (LData->cbBuffer && !LData->pvBuffer) || LData->cbBuffer > CMaximumMessage) {
    return SEC_E_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> LGuard(C->Lock);
  if (LHeader->cbBuffer < StreamSizes(C->Ssl).cbHeader) return SEC_E_BUFFER_TOO_SMALL;
  // What the library owes the peer before this record (a key update) goes first.
  std::vector<uint8_t> LRecord = std::move(C->PendingOut);
  C->PendingOut.clear();
  Drain(C->Out, LRecord);
  const size_t LBefore = LRecord.size();
  if (LData->cbBuffer > 0 &&
      G.SSL_write(C->Ssl, LData->pvBuffer, static_cast<int>(LData->cbBuffer)) <= 0) {
    G.ERR_clear_error();
    C->PendingOut = std::move(LRecord);
    return SEC_E_INTERNAL_ERROR;
  }
  Drain(C->Out, LRecord);
  const size_t LHead = LHeader->cbBuffer, LBody = LData->cbBuffer;
  if (LRecord.size() < LBefore + LHead + LBody ||
      LRecord.size() > LHead + LBody + LTrailer->cbBuffer) {
    C->PendingOut.assign(LRecord.begin(), LRecord.end());
    return SEC_E_BUFFER_TOO_SMALL;
  }
  // The record laid over the three buffers: the caller sends them one after the other.
  std::memcpy(LHeader->pvBuffer, LRecord.data(), LHead);
  if (LBody) std::memcpy(LData->pvBuffer, LRecord.data() + LHead, LBody);
  std::memcpy(LTrailer->pvBuffer, LRecord.data() + LHead + LBody, LRecord.size() - LHead - LBody);
  LTrailer->cbBuffer = static_cast<ULONG>(LRecord.size() - LHead - LBody);
  return SEC_E_OK;
}

SECURITY_STATUS DecryptMessage(PCtxtHandle phContext, SecBufferDesc* pMessage, ULONG,
                               ULONG* pfQOP) {
  auto* C = FromHandle<TContext>(phContext, CContextTag);
  if (!C) return SEC_E_INVALID_HANDLE;
  if (!pMessage || pMessage->cBuffers < 4 || pMessage->pBuffers[0].BufferType != SECBUFFER_DATA) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (pfQOP) *pfQOP = 0;
  SecBuffer* B = pMessage->pBuffers;
  auto* LData = static_cast<uint8_t*>(B[0].pvBuffer);
  const size_t LSize = LData ? B[0].cbBuffer : 0;
  size_t LMissing = 0;
  const size_t LWhole = CompleteRecords(LData, LSize, &LMissing);
  if (LWhole == 0) {
    B[1] = {static_cast<ULONG>(LMissing), SECBUFFER_MISSING, nullptr};
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  // One record per call; what follows it comes back as extra.
  const size_t LLength = CRecordHeader + (size_t(LData[3]) << 8 | LData[4]);
  std::lock_guard<std::mutex> LGuard(C->Lock);
  G.BIO_write(C->In, LData, static_cast<int>(LLength));
  const int LBody = static_cast<int>(LLength) - CRecordHeader;
  int N = LBody > 0 ? G.SSL_read(C->Ssl, LData + CRecordHeader, LBody) : 0;
  const int LError = N > 0 ? SSL_ERROR_NONE : G.SSL_get_error(C->Ssl, N);
  Drain(C->Out, C->PendingOut);
  G.BIO_ctrl(C->In, BIO_CTRL_RESET, 0, nullptr);
  N = std::max(N, 0);
  B[0] = {CRecordHeader, SECBUFFER_STREAM_HEADER, LData};
  B[1] = {static_cast<ULONG>(N), SECBUFFER_DATA, LData + CRecordHeader};
  B[2] = {static_cast<ULONG>(LBody - N), SECBUFFER_STREAM_TRAILER, LData + CRecordHeader + N};
  B[3] = LSize > LLength
             ? SecBuffer{static_cast<ULONG>(LSize - LLength), SECBUFFER_EXTRA, LData + LLength}
             : SecBuffer{0, SECBUFFER_EMPTY, nullptr};
  switch (LError) {
    case SSL_ERROR_NONE:
      return SEC_E_OK;
    case SSL_ERROR_WANT_READ:
      // A record without application data. One that started a handshake, or left an answer
      // to send, asks the caller for the handshake call.
      return !C->PendingOut.empty() || (G.SSL_in_init && G.SSL_in_init(C->Ssl)) ? SEC_I_RENEGOTIATE
                                                                                : SEC_E_OK;
    case SSL_ERROR_ZERO_RETURN:
      return SEC_I_CONTEXT_EXPIRED;
    default: {
      const unsigned long LReason = G.ERR_peek_error() & 0xFFF;
      G.ERR_clear_error();
      return LReason == 281 || LReason == 1020 ? SEC_E_DECRYPT_FAILURE : SEC_E_ILLEGAL_MESSAGE;
    }
  }
}

SecurityFunctionTableW& Table() {
  static SecurityFunctionTableW LTable = [] {
    SecurityFunctionTableW T{};
    T.dwVersion = 1;
    T.AcquireCredentialsHandleW = &AcquireCredentialsHandleW;
    T.FreeCredentialsHandle = &FreeCredentialsHandle;
    T.InitializeSecurityContextW = &InitializeSecurityContextW;
    T.DeleteSecurityContext = &DeleteSecurityContext;
    T.ApplyControlToken = &ApplyControlToken;
    T.QueryContextAttributesW = &QueryContextAttributesW;
    T.FreeContextBuffer = &FreeContextBuffer;
    T.EncryptMessage = &EncryptMessage;
    T.DecryptMessage = &DecryptMessage;
    return T;
  }();
  return LTable;
}

}  // namespace

bool ProviderLibraryReady() {
  return LoadTLSLibrary() && TLSLibraryVersion() >= 0x10100000UL && G.TLS_client_method &&
         G.X509_up_ref && G.EVP_PKEY_up_ref && G.SSL_in_init && G.X509_check_host &&
         G.X509_check_ip_asc;
}

PSecurityFunctionTableW InitSecurityInterfaceW() {
  return ProviderLibraryReady() ? &Table() : nullptr;
}
