#pragma once
// The project's own security provider: the SSPI function table with the SChannel package and
// the certificate-store and chain functions, with the platform's structures, constants and
// status codes at their published values. Linux has no such provider; this one runs real TLS
// through the OpenSSL binding (tls/IdSSLOpenSSLHeaders.h) on memory BIOs, so the caller's own
// socket reads and writes carry the records. Certificate stores are folders (docs/tls.md).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// ---- the platform's integer types, at their widths ----
using SECURITY_STATUS = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using ALG_ID = uint32_t;
using BOOL = int32_t;
using LPCWSTR = const char16_t*;

// ---- status codes ----
constexpr SECURITY_STATUS SecStatus(uint32_t AValue) {
  return static_cast<SECURITY_STATUS>(AValue);
}
constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = 0x00090317;
constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = 0x00090321;
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = SecStatus(0x80090300);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = SecStatus(0x80090301);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = SecStatus(0x80090302);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = SecStatus(0x80090304);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = SecStatus(0x80090305);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = SecStatus(0x80090308);
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = SecStatus(0x8009030D);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = SecStatus(0x8009030E);
constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = SecStatus(0x80090318);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = SecStatus(0x80090321);
constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = SecStatus(0x80090326);
constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = SecStatus(0x80090330);
constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = SecStatus(0x80090331);
constexpr SECURITY_STATUS SEC_E_INVALID_PARAMETER = SecStatus(0x8009035D);

// Chain policy errors.
constexpr uint32_t CERT_E_EXPIRED = 0x800B0101;
constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr uint32_t CERT_E_CHAINING = 0x800B010A;
constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010F;
constexpr uint32_t CERT_E_WRONG_USAGE = 0x800B0110;
constexpr uint32_t TRUST_E_CERT_SIGNATURE = 0x80096004;
constexpr uint32_t CRYPT_E_REVOKED = 0x80092010;

// ---- buffers ----
constexpr ULONG SECBUFFER_VERSION = 0;
constexpr ULONG SECBUFFER_EMPTY = 0;
constexpr ULONG SECBUFFER_DATA = 1;
constexpr ULONG SECBUFFER_TOKEN = 2;
constexpr ULONG SECBUFFER_MISSING = 4;
constexpr ULONG SECBUFFER_EXTRA = 5;
constexpr ULONG SECBUFFER_STREAM_TRAILER = 6;
constexpr ULONG SECBUFFER_STREAM_HEADER = 7;
constexpr ULONG SECBUFFER_ALERT = 17;
constexpr ULONG SECBUFFER_APPLICATION_PROTOCOLS = 18;

struct SecBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
};
struct SecBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  SecBuffer* pBuffers;
};

struct SecHandle {
  uintptr_t dwLower;
  uintptr_t dwUpper;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;
using PCredHandle = SecHandle*;
using PCtxtHandle = SecHandle*;
struct TimeStamp {
  uint32_t LowPart;
  int32_t HighPart;
};

// ---- credentials ----
constexpr ULONG SECPKG_CRED_OUTBOUND = 2;
constexpr ULONG SECURITY_NATIVE_DREP = 0x10;
constexpr DWORD SCHANNEL_CRED_VERSION = 4;
constexpr DWORD SCH_CRED_MANUAL_CRED_VALIDATION = 0x8;
constexpr DWORD SCH_CRED_NO_DEFAULT_CREDS = 0x10;
constexpr char16_t UNISP_NAME_W[] = u"Microsoft Unified Security Protocol Provider";

constexpr DWORD SP_PROT_SSL3_SERVER = 0x10;
constexpr DWORD SP_PROT_SSL3_CLIENT = 0x20;
constexpr DWORD SP_PROT_TLS1_0_SERVER = 0x40;
constexpr DWORD SP_PROT_TLS1_0_CLIENT = 0x80;
constexpr DWORD SP_PROT_TLS1_1_SERVER = 0x100;
constexpr DWORD SP_PROT_TLS1_1_CLIENT = 0x200;
constexpr DWORD SP_PROT_TLS1_2_SERVER = 0x400;
constexpr DWORD SP_PROT_TLS1_2_CLIENT = 0x800;
constexpr DWORD SP_PROT_TLS1_3_SERVER = 0x1000;
constexpr DWORD SP_PROT_TLS1_3_CLIENT = 0x2000;

struct CERT_CONTEXT;
using PCCERT_CONTEXT = const CERT_CONTEXT*;
using HCERTSTORE = void*;

struct SCHANNEL_CRED {
  DWORD dwVersion;
  DWORD cCreds;
  PCCERT_CONTEXT* paCred;
  HCERTSTORE hRootStore;
  DWORD cMappers;
  void** aphMappers;
  DWORD cSupportedAlgs;
  ALG_ID* palgSupportedAlgs;
  DWORD grbitEnabledProtocols;
  DWORD dwMinimumCipherStrength;
  DWORD dwMaximumCipherStrength;
  DWORD dwSessionLifespan;
  DWORD dwFlags;
  DWORD dwCredFormat;
};

// ---- context requests and attributes ----
constexpr ULONG ISC_REQ_REPLAY_DETECT = 0x4;
constexpr ULONG ISC_REQ_SEQUENCE_DETECT = 0x8;
constexpr ULONG ISC_REQ_CONFIDENTIALITY = 0x10;
constexpr ULONG ISC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr ULONG ISC_REQ_EXTENDED_ERROR = 0x4000;
constexpr ULONG ISC_REQ_STREAM = 0x8000;
constexpr ULONG ISC_RET_ALLOCATED_MEMORY = 0x100;

// ApplyControlToken: a token holding this value makes the next handshake call produce the
// close-notify alert.
constexpr DWORD SCHANNEL_SHUTDOWN = 1;

constexpr ULONG SECPKG_ATTR_STREAM_SIZES = 4;
constexpr ULONG SECPKG_ATTR_APPLICATION_PROTOCOL = 35;
constexpr ULONG SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
constexpr ULONG SECPKG_ATTR_ISSUER_LIST_EX = 0x59;
constexpr ULONG SECPKG_ATTR_CONNECTION_INFO = 0x5a;

struct SecPkgContext_StreamSizes {
  ULONG cbHeader;
  ULONG cbTrailer;
  ULONG cbMaximumMessage;
  ULONG cBuffers;
  ULONG cbBlockSize;
};

constexpr ULONG SecApplicationProtocolNegotiationStatus_None = 0;
constexpr ULONG SecApplicationProtocolNegotiationStatus_Success = 1;
constexpr ULONG SecApplicationProtocolNegotiationExt_ALPN = 2;
struct SecPkgContext_ApplicationProtocol {
  ULONG ProtoNegoStatus;
  ULONG ProtoNegoExt;
  uint8_t ProtocolIdSize;
  uint8_t ProtocolId[255];
};
static_assert(sizeof(SecPkgContext_ApplicationProtocol) == 264);

struct SecPkgContext_ConnectionInfo {
  DWORD dwProtocol;
  ALG_ID aiCipher;
  DWORD dwCipherStrength;
  ALG_ID aiHash;
  DWORD dwHashStrength;
  ALG_ID aiExch;
  DWORD dwExchStrength;
};

struct CERT_NAME_BLOB {
  DWORD cbData;
  uint8_t* pbData;
};
using CRYPT_HASH_BLOB = CERT_NAME_BLOB;
using CRYPT_DATA_BLOB = CERT_NAME_BLOB;
struct SecPkgContext_IssuerListInfoEx {
  CERT_NAME_BLOB* aIssuers;
  DWORD cIssuers;
};

// ---- the function table ----
using ACQUIRE_CREDENTIALS_HANDLE_FN_W =
    SECURITY_STATUS (*)(LPCWSTR pszPrincipal, LPCWSTR pszPackage, ULONG fCredentialUse,
                        void* pvLogonId, void* pAuthData, void* pGetKeyFn, void* pvGetKeyArgument,
                        PCredHandle phCredential, TimeStamp* ptsExpiry);
using FREE_CREDENTIALS_HANDLE_FN = SECURITY_STATUS (*)(PCredHandle phCredential);
using INITIALIZE_SECURITY_CONTEXT_FN_W = SECURITY_STATUS (*)(
    PCredHandle phCredential, PCtxtHandle phContext, const char16_t* pszTargetName,
    ULONG fContextReq, ULONG Reserved1, ULONG TargetDataRep, SecBufferDesc* pInput, ULONG Reserved2,
    PCtxtHandle phNewContext, SecBufferDesc* pOutput, ULONG* pfContextAttr, TimeStamp* ptsExpiry);
using DELETE_SECURITY_CONTEXT_FN = SECURITY_STATUS (*)(PCtxtHandle phContext);
using APPLY_CONTROL_TOKEN_FN = SECURITY_STATUS (*)(PCtxtHandle phContext, SecBufferDesc* pInput);
using QUERY_CONTEXT_ATTRIBUTES_FN_W = SECURITY_STATUS (*)(PCtxtHandle phContext, ULONG ulAttribute,
                                                          void* pBuffer);
using FREE_CONTEXT_BUFFER_FN = SECURITY_STATUS (*)(void* pvContextBuffer);
using ENCRYPT_MESSAGE_FN = SECURITY_STATUS (*)(PCtxtHandle phContext, ULONG fQOP,
                                               SecBufferDesc* pMessage, ULONG MessageSeqNo);
using DECRYPT_MESSAGE_FN = SECURITY_STATUS (*)(PCtxtHandle phContext, SecBufferDesc* pMessage,
                                               ULONG MessageSeqNo, ULONG* pfQOP);
using UNUSED_FN = void*;

// Slot order of the platform's table; the slots this provider does not offer stay empty.
struct SecurityFunctionTableW {
  ULONG dwVersion;
  UNUSED_FN EnumerateSecurityPackagesW;
  UNUSED_FN QueryCredentialsAttributesW;
  ACQUIRE_CREDENTIALS_HANDLE_FN_W AcquireCredentialsHandleW;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  UNUSED_FN Reserved2;
  INITIALIZE_SECURITY_CONTEXT_FN_W InitializeSecurityContextW;
  UNUSED_FN AcceptSecurityContext;
  UNUSED_FN CompleteAuthToken;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  APPLY_CONTROL_TOKEN_FN ApplyControlToken;
  QUERY_CONTEXT_ATTRIBUTES_FN_W QueryContextAttributesW;
  UNUSED_FN ImpersonateSecurityContext;
  UNUSED_FN RevertSecurityContext;
  UNUSED_FN MakeSignature;
  UNUSED_FN VerifySignature;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  UNUSED_FN QuerySecurityPackageInfoW;
  UNUSED_FN Reserved3;
  UNUSED_FN Reserved4;
  UNUSED_FN ExportSecurityContext;
  UNUSED_FN ImportSecurityContextW;
  UNUSED_FN AddCredentialsW;
  UNUSED_FN Reserved8;
  UNUSED_FN QuerySecurityContextToken;
  ENCRYPT_MESSAGE_FN EncryptMessage;
  DECRYPT_MESSAGE_FN DecryptMessage;
  UNUSED_FN SetContextAttributesW;
  UNUSED_FN SetCredentialsAttributesW;
  UNUSED_FN ChangeAccountPasswordW;
  UNUSED_FN QueryContextAttributesExW;
  UNUSED_FN QueryCredentialsAttributesExW;
};
using PSecurityFunctionTableW = SecurityFunctionTableW*;
using INIT_SECURITY_INTERFACE_W = PSecurityFunctionTableW (*)();

// "InitSecurityInterfaceW" of the security library: the table, or none when the OpenSSL
// binding cannot be loaded.
PSecurityFunctionTableW InitSecurityInterfaceW();

// ---- certificates ----
constexpr DWORD X509_ASN_ENCODING = 0x1;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x10000;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  uint8_t* pbCertEncoded;
  DWORD cbCertEncoded;
  void* pCertInfo;  // not decoded by this provider: always none
  HCERTSTORE hCertStore;
};

constexpr uintptr_t CERT_STORE_PROV_MEMORY = 2;
constexpr uintptr_t CERT_STORE_PROV_SYSTEM_W = 10;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x10000;
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x20000;
constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x4000;
constexpr DWORD CERT_FIND_ANY = 0;
constexpr DWORD CERT_FIND_HASH = 0x10000;
constexpr DWORD CRYPT_STRING_HEX = 0x4;

struct CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
};
constexpr DWORD CERT_TRUST_NO_ERROR = 0;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x1;
constexpr DWORD CERT_TRUST_IS_REVOKED = 0x4;
constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x8;
constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x10;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x20;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x10000;

struct CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
  void* pRevocationInfo;
  void* pIssuanceUsage;
  void* pApplicationUsage;
  LPCWSTR pwszExtendedErrorInfo;
};
struct CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  CERT_CHAIN_ELEMENT** rgpElement;
  void* pTrustListInfo;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
};
struct CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  CERT_SIMPLE_CHAIN** rgpChain;
  DWORD cLowerQualityChainContext;
  const CERT_CHAIN_CONTEXT** rgpLowerQualityChainContext;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
};
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

constexpr DWORD USAGE_MATCH_TYPE_AND = 0;
constexpr DWORD USAGE_MATCH_TYPE_OR = 1;
struct CERT_ENHKEY_USAGE {
  DWORD cUsageIdentifier;
  char** rgpszUsageIdentifier;
};
struct CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
};
struct CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
};

constexpr DWORD CERT_CHAIN_FIND_BY_ISSUER = 1;
struct CERT_CHAIN_FIND_BY_ISSUER_PARA {
  DWORD cbSize;
  const char* pszUsageIdentifier;
  DWORD dwKeySpec;
  DWORD dwAcquirePrivateKeyFlags;
  DWORD cIssuer;
  CERT_NAME_BLOB* rgIssuer;
  void* pfnFindCallback;
  void* pvFindArg;
  DWORD* pdwIssuerChainIndex;
  DWORD* pdwIssuerElementIndex;
};

constexpr uintptr_t CERT_CHAIN_POLICY_SSL = 4;
constexpr DWORD AUTHTYPE_SERVER = 2;
constexpr DWORD SECURITY_FLAG_IGNORE_REVOCATION = 0x80;
constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
constexpr DWORD SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x200;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;
struct SSL_EXTRA_CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwAuthType;
  DWORD fdwChecks;
  char16_t* pwszServerName;
};
struct CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwFlags;
  void* pvExtraPolicyPara;
};
struct CERT_CHAIN_POLICY_STATUS {
  DWORD cbSize;
  DWORD dwError;
  int32_t lChainIndex;
  int32_t lElementIndex;
  void* pvExtraPolicyStatus;
};

// Entry points of the certificate library ("crypt32.dll"), as the platform declares them.
HCERTSTORE CertOpenSystemStoreW(uintptr_t hProv, LPCWSTR szSubsystemProtocol);
HCERTSTORE CertOpenStore(uintptr_t lpszStoreProvider, DWORD dwEncodingType, uintptr_t hCryptProv,
                         DWORD dwFlags, const void* pvPara);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
PCCERT_CHAIN_CONTEXT CertFindChainInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara,
                                          PCCERT_CHAIN_CONTEXT pPrevChainContext);
BOOL CertGetCertificateChain(void* hChainEngine, PCCERT_CONTEXT pCertContext, void* pTime,
                             HCERTSTORE hAdditionalStore, CERT_CHAIN_PARA* pChainPara,
                             DWORD dwFlags, void* pvReserved, PCCERT_CHAIN_CONTEXT* ppChainContext);
BOOL CertVerifyCertificateChainPolicy(uintptr_t pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);
BOOL CryptStringToBinaryW(LPCWSTR pszString, DWORD cchString, DWORD dwFlags, uint8_t* pbBinary,
                          DWORD* pcbBinary, DWORD* pdwSkip, DWORD* pdwFlags);

// The folder behind a system store: the current user's under the data folder
// ($XDG_DATA_HOME/qorRCON/certificates/<name>), the local machine's under the first system data
// folder ($XDG_DATA_DIRS, /usr/local/share by default). The local machine's Root also holds
// the system's CA certificates.
std::string CertificateStoreFolder(DWORD ALocation, const std::string& AStoreName);

// ---- the libraries, reached by name ----
// Stands in for loading "secur32.dll" and "crypt32.dll" and looking their functions up. The
// registry starts with those two libraries; a test may replace or remove one to reach the
// roads of a missing library or entry point, and restore the defaults afterwards.
using HMODULE = void*;
HMODULE LoadSecurityLibrary(const std::string& AName);
void* GetSecurityProcAddress(HMODULE AModule, const std::string& AName);
void FreeSecurityLibrary(HMODULE AModule);
// The platform's text for the last failed load (at most 256 characters).
std::string SecurityLibraryLastErrorText();

using TSecurityLibraryEntries = std::vector<std::pair<std::string, void*>>;
void RegisterSecurityLibrary(const std::string& AName, TSecurityLibraryEntries AEntries);
void UnregisterSecurityLibrary(const std::string& AName);
void RestoreSecurityLibraries();

// UTF-16 text of the ...W calls and back.
std::u16string WidenUTF8(const std::string& AText);
std::string NarrowUTF16(const char16_t* AText);
