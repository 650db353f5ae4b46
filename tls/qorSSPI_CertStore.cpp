// The provider's certificate functions: system stores backed by folders, in-memory stores,
// PFX import, search by thumbprint and by issuer, chain building and the SSL chain policy.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "tls/qorSSPI_Internal.h"

struct TCertStore {
  int Refs = 1;
  std::vector<std::unique_ptr<TCertContext>> Certs;
};

namespace {

auto& G = GOpenSSL;

// One lock for every reference count of stores and contexts: they are taken and dropped
// together, and never for long.
std::mutex& RefLock() {
  static std::mutex LLock;
  return LLock;
}

void DestroyStore(TCertStore* AStore) {
  for (auto& LCert : AStore->Certs) {
    G.X509_free(LCert->X509);
    if (LCert->Key) G.EVP_PKEY_free(LCert->Key);
  }
  delete AStore;
}

// Drops one reference under the lock held by the caller; true when the store must go.
bool ReleaseLocked(TCertStore* AStore) {
  return --AStore->Refs == 0;
}

void ReleaseStore(TCertStore* AStore) {
  bool LDestroy;
  {
    std::lock_guard<std::mutex> LGuard(RefLock());
    LDestroy = ReleaseLocked(AStore);
  }
  if (LDestroy) DestroyStore(AStore);
}

class TBio {
 public:
  TBio(const void* AData, size_t ASize) : FBio(G.BIO_new_mem_buf(AData, static_cast<int>(ASize))) {}
  ~TBio() {
    if (FBio) G.BIO_free(FBio);
  }
  PBIO Get() const { return FBio; }

 private:
  PBIO FBio;
};

int NoPassword(char*, int, int, void*) {
  return 0;
}

std::string ReadFile(const std::string& AFileName) {
  std::ifstream LIn(AFileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(LIn), {});
}

// Every certificate of a PEM or DER file, with the file's private key attached to the
// certificate it belongs to.
void LoadCertificateFile(HCERTSTORE AStore, const std::string& AFileName) {
  const std::string LBytes = ReadFile(AFileName);
  if (LBytes.empty()) return;
  if (LBytes.find("-----BEGIN") == std::string::npos) {
    const unsigned char* P = reinterpret_cast<const unsigned char*>(LBytes.data());
    if (PX509 LX509 = G.d2i_X509(nullptr, &P, static_cast<long>(LBytes.size()))) {
      AddToStore(AStore, LX509, nullptr);
    }
    G.ERR_clear_error();
    return;
  }
  std::vector<PX509> LCerts;
  {
    TBio LBio(LBytes.data(), LBytes.size());
    if (PSTACK LInfos = G.PEM_X509_INFO_read_bio(LBio.Get(), nullptr, &NoPassword, nullptr)) {
      for (int I = 0; I < G.sk_num(LInfos); ++I) {
        auto* LInfo = static_cast<TX509_INFO_Head*>(G.sk_value(LInfos, I));
        if (LInfo->x509) {
          LCerts.push_back(LInfo->x509);
          LInfo->x509 = nullptr;
        }
      }
      G.sk_pop_free(LInfos, G.X509_INFO_free);
    }
  }
  PEVP_PKEY LKey = nullptr;
  if (LBytes.find("PRIVATE KEY-----") != std::string::npos) {
    TBio LBio(LBytes.data(), LBytes.size());
    LKey = G.PEM_read_bio_PrivateKey(LBio.Get(), nullptr, &NoPassword, nullptr);
  }
  for (PX509 LCert : LCerts) {
    PEVP_PKEY LOwnKey = nullptr;
    if (LKey && G.X509_check_private_key(LCert, LKey) == 1) std::swap(LOwnKey, LKey);
    AddToStore(AStore, LCert, LOwnKey);
  }
  if (LKey) G.EVP_PKEY_free(LKey);
  G.ERR_clear_error();
}

void LoadFolder(HCERTSTORE AStore, const std::string& AFolder) {
  std::error_code LError;
  std::vector<std::string> LFiles;
  for (const auto& LEntry : std::filesystem::directory_iterator(AFolder, LError)) {
    if (LEntry.is_regular_file(LError)) LFiles.push_back(LEntry.path().string());
  }
  std::sort(LFiles.begin(), LFiles.end());
  for (const std::string& LFile : LFiles) LoadCertificateFile(AStore, LFile);
}

std::string SystemCAFile() {
  const char* LEnv = G.X509_get_default_cert_file_env ? G.X509_get_default_cert_file_env() : "";
  if (const char* LValue = LEnv && *LEnv ? std::getenv(LEnv) : nullptr) return LValue;
  return G.X509_get_default_cert_file ? G.X509_get_default_cert_file()
                                      : "/etc/ssl/certs/ca-certificates.crt";
}

const char* const CSystemStores[] = {"MY", "Root", "Trust", "CA"};

// The store's own spelling, or empty for a name that is not a system store.
std::string SystemStoreName(const std::string& AName) {
  for (const char* LName : CSystemStores) {
    if (strcasecmp(LName, AName.c_str()) == 0) return LName;
  }
  return {};
}

HCERTSTORE OpenSystemStore(DWORD ALocation, const std::string& AName, bool AExisting) {
  if (!ProviderLibraryReady()) return nullptr;
  const std::string LName = SystemStoreName(AName);
  if (LName.empty() && AExisting) return nullptr;
  HCERTSTORE LStore = NewMemoryStore();
  LoadFolder(LStore, CertificateStoreFolder(ALocation, LName.empty() ? AName : LName));
  if (LName == "Root" && ALocation == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    LoadCertificateFile(LStore, SystemCAFile());
  }
  return LStore;
}

bool HasExtendedUsage(PX509 AX509, uint32_t AUsageBits) {
  if (!G.X509_get_extension_flags || !G.X509_get_extended_key_usage) return true;
  constexpr uint32_t EXFLAG_XKUSAGE = 0x4;
  if (!(G.X509_get_extension_flags(AX509) & EXFLAG_XKUSAGE)) return true;
  return (G.X509_get_extended_key_usage(AX509) & AUsageBits) != 0;
}

// The extended-key-usage bits the library gives for the identifiers it knows.
uint32_t UsageBits(const char* AOid) {
  const std::string LOid = AOid ? AOid : "";
  if (LOid == "1.3.6.1.5.5.7.3.1") return 0x1;  // server authentication
  if (LOid == "1.3.6.1.5.5.7.3.2") return 0x2;  // client authentication
  if (LOid == "1.3.6.1.4.1.311.10.3.3" || LOid == "2.16.840.1.113730.4.1") return 0x10;  // SGC
  return 0;
}

std::vector<uint8_t> NameDer(PX509_NAME AName) {
  unsigned char* LOut = nullptr;
  const int N = G.i2d_X509_NAME(AName, &LOut);
  std::vector<uint8_t> LDer;
  if (N > 0) LDer.assign(LOut, LOut + N);
  TLSFree(LOut);
  return LDer;
}

struct TChain {
  CERT_CHAIN_CONTEXT Public;  // first: a PCCERT_CHAIN_CONTEXT points here
  CERT_SIMPLE_CHAIN Simple{};
  CERT_SIMPLE_CHAIN* SimplePtr = &Simple;
  std::vector<CERT_CHAIN_ELEMENT> Elements;
  std::vector<CERT_CHAIN_ELEMENT*> ElementPtrs;
  size_t FindNext = 0;  // CertFindChainInStore: the next certificate of the store to try
};

struct TVerifyState {
  std::vector<DWORD> ErrorsByDepth;
};

int CollectErrors(int AOk, PX509_STORE_CTX ACtx) {
  if (AOk) return 1;
  auto* LState = static_cast<TVerifyState*>(G.X509_STORE_CTX_get_ex_data(ACtx, 0));
  const auto LDepth = static_cast<size_t>(std::max(0, G.X509_STORE_CTX_get_error_depth(ACtx)));
  DWORD LBit;
  switch (G.X509_STORE_CTX_get_error(ACtx)) {
    case 9:
    case 10:
    case 13:
    case 14:  // not yet valid, expired, bad time fields
      LBit = CERT_TRUST_IS_NOT_TIME_VALID;
      break;
    case 18:
    case 19:  // self-signed, not among the trusted roots
      LBit = CERT_TRUST_IS_UNTRUSTED_ROOT;
      break;
    case 2:
    case 20:
    case 21:  // issuer not found
      LBit = CERT_TRUST_IS_PARTIAL_CHAIN;
      break;
    case 23:
      LBit = CERT_TRUST_IS_REVOKED;
      break;
    case 26:
      LBit = CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
      break;
    default:
      LBit = CERT_TRUST_IS_NOT_SIGNATURE_VALID;
  }
  if (LState->ErrorsByDepth.size() <= LDepth) LState->ErrorsByDepth.resize(LDepth + 1, 0);
  LState->ErrorsByDepth[LDepth] |= LBit;
  return 1;
}

void AddStoreCerts(PX509_STORE ATrusted, PSTACK AUntrusted, HCERTSTORE AStore) {
  if (!AStore) return;
  for (auto& LCert : static_cast<TCertStore*>(AStore)->Certs) {
    if (ATrusted) {
      G.X509_STORE_add_cert(ATrusted, LCert->X509);
    } else {
      G.X509_up_ref(LCert->X509);
      G.sk_push(AUntrusted, LCert->X509);
    }
  }
}

// Builds the chain of ALeaf from the Root stores (trusted) and the CA stores and AAdditional
// (intermediates). AUsage: extended-key-usage bits of which one must be allowed (0: any).
TChain* BuildChain(TCertContext* ALeaf, HCERTSTORE AAdditional, uint32_t AUsage) {
  PX509_STORE LTrusted = G.X509_STORE_new();
  PSTACK LUntrusted = G.sk_new_null();
  for (DWORD LLocation : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
    HCERTSTORE LRoot = OpenSystemStore(LLocation, "Root", true);
    HCERTSTORE LCA = OpenSystemStore(LLocation, "CA", true);
    AddStoreCerts(LTrusted, nullptr, LRoot);
    AddStoreCerts(nullptr, LUntrusted, LCA);
    CertCloseStore(LRoot, 0);
    CertCloseStore(LCA, 0);
  }
  AddStoreCerts(nullptr, LUntrusted, AAdditional);
  G.ERR_clear_error();  // duplicates refused by the trusted store

  TVerifyState LState;
  PX509_STORE_CTX LCtx = G.X509_STORE_CTX_new();
  G.X509_STORE_CTX_init(LCtx, LTrusted, ALeaf->X509, LUntrusted);
  G.X509_STORE_CTX_set_ex_data(LCtx, 0, &LState);
  G.X509_STORE_CTX_set_verify_cb(LCtx, &CollectErrors);
  G.X509_verify_cert(LCtx);
  PSTACK LBuilt = G.X509_STORE_CTX_get1_chain(LCtx);
  G.X509_STORE_CTX_free(LCtx);
  G.X509_STORE_free(LTrusted);
  G.sk_pop_free(LUntrusted, reinterpret_cast<void (*)(void*)>(G.X509_free));
  G.ERR_clear_error();

  auto* LChain = new TChain{};
  const int LCount = LBuilt ? std::max(1, G.sk_num(LBuilt)) : 1;
  LChain->Elements.resize(static_cast<size_t>(LCount));
  HCERTSTORE LIssuers = NewMemoryStore();
  for (int I = 0; I < LCount; ++I) {
    CERT_CHAIN_ELEMENT& E = LChain->Elements[static_cast<size_t>(I)];
    E.cbSize = sizeof E;
    if (I == 0) {
      E.pCertContext = ReferenceCert(ALeaf);
    } else {
      auto* LX509 = static_cast<PX509>(G.sk_value(LBuilt, I));
      G.X509_up_ref(LX509);
      E.pCertContext = ReferenceCert(AddToStore(LIssuers, LX509, nullptr));
    }
    if (static_cast<size_t>(I) < LState.ErrorsByDepth.size()) {
      E.TrustStatus.dwErrorStatus = LState.ErrorsByDepth[static_cast<size_t>(I)];
    }
    LChain->Simple.TrustStatus.dwErrorStatus |= E.TrustStatus.dwErrorStatus;
    LChain->ElementPtrs.push_back(&E);
  }
  CertCloseStore(LIssuers, 0);
  if (LBuilt) G.sk_pop_free(LBuilt, reinterpret_cast<void (*)(void*)>(G.X509_free));
  if (AUsage && !HasExtendedUsage(ALeaf->X509, AUsage)) {
    LChain->Elements[0].TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    LChain->Simple.TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  }
  LChain->Simple.cbSize = sizeof LChain->Simple;
  LChain->Simple.cElement = static_cast<DWORD>(LCount);
  LChain->Simple.rgpElement = LChain->ElementPtrs.data();
  LChain->Public.cbSize = sizeof LChain->Public;
  LChain->Public.TrustStatus = LChain->Simple.TrustStatus;
  LChain->Public.cChain = 1;
  LChain->Public.rgpChain = &LChain->SimplePtr;
  return LChain;
}

bool IssuerMatches(const TChain& AChain, const CERT_CHAIN_FIND_BY_ISSUER_PARA& APara,
                   DWORD& VElement) {
  if (APara.cIssuer == 0) return true;
  for (size_t I = 0; I < AChain.Elements.size(); ++I) {
    const std::vector<uint8_t> LIssuer =
        NameDer(G.X509_get_issuer_name(CertImpl(AChain.Elements[I].pCertContext)->X509));
    for (DWORD J = 0; J < APara.cIssuer; ++J) {
      const CERT_NAME_BLOB& B = APara.rgIssuer[J];
      if (B.cbData == LIssuer.size() &&
          std::equal(B.pbData, B.pbData + B.cbData, LIssuer.begin())) {
        VElement = static_cast<DWORD>(I);
        return true;
      }
    }
  }
  return false;
}

bool IsIPLiteral(const std::string& AName) {
  return !AName.empty() && (AName.find(':') != std::string::npos ||
                            AName.find_first_not_of("0123456789.") == std::string::npos);
}

bool NameMatches(PX509 AX509, const std::string& AName) {
  if (IsIPLiteral(AName)) {
    return G.X509_check_ip_asc && G.X509_check_ip_asc(AX509, AName.c_str(), 0) == 1;
  }
  return G.X509_check_host && G.X509_check_host(AX509, AName.data(), AName.size(), 0, nullptr) == 1;
}

}  // namespace

// ---- shared with the TLS half ----

TCertContext* CertImpl(PCCERT_CONTEXT AContext) {
  return reinterpret_cast<TCertContext*>(const_cast<CERT_CONTEXT*>(AContext));
}

HCERTSTORE NewMemoryStore() {
  return new TCertStore;
}

TCertContext* AddToStore(HCERTSTORE AStore, PX509 AX509, PEVP_PKEY AKey) {
  auto* LStore = static_cast<TCertStore*>(AStore);
  auto LCert = std::make_unique<TCertContext>();
  unsigned char* LOut = nullptr;
  const int N = G.i2d_X509(AX509, &LOut);
  if (N > 0) LCert->Der.assign(LOut, LOut + N);
  TLSFree(LOut);
  LCert->X509 = AX509;
  LCert->Key = AKey;
  LCert->Store = LStore;
  LCert->Public = {X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, LCert->Der.data(),
                   static_cast<DWORD>(LCert->Der.size()), nullptr, LStore};
  std::lock_guard<std::mutex> LGuard(RefLock());
  LStore->Certs.push_back(std::move(LCert));
  return LStore->Certs.back().get();
}

PCCERT_CONTEXT ReferenceCert(TCertContext* AContext) {
  std::lock_guard<std::mutex> LGuard(RefLock());
  ++AContext->Refs;
  ++AContext->Store->Refs;
  return &AContext->Public;
}

std::vector<uint8_t> Thumbprint(PX509 AX509) {
  std::vector<uint8_t> LHash(20);
  unsigned LSize = 0;
  G.X509_digest(AX509, G.EVP_sha1(), LHash.data(), &LSize);
  LHash.resize(LSize);
  return LHash;
}

std::string CertificateStoreFolder(DWORD ALocation, const std::string& AStoreName) {
  std::string LBase;
  if (ALocation == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    const char* LDirs = std::getenv("XDG_DATA_DIRS");
    LBase = LDirs && *LDirs ? std::string(LDirs).substr(0, std::string(LDirs).find(':'))
                            : "/usr/local/share";
  } else if (const char* LHome = std::getenv("XDG_DATA_HOME"); LHome && *LHome) {
    LBase = LHome;
  } else {
    const char* LUser = std::getenv("HOME");
    LBase = std::string(LUser ? LUser : "") + "/.local/share";
  }
  return LBase + "/qorRCON/certificates/" + AStoreName;
}

// ---- the entry points ----

HCERTSTORE CertOpenSystemStoreW(uintptr_t, LPCWSTR szSubsystemProtocol) {
  return OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, NarrowUTF16(szSubsystemProtocol), false);
}

HCERTSTORE CertOpenStore(uintptr_t lpszStoreProvider, DWORD, uintptr_t, DWORD dwFlags,
                         const void* pvPara) {
  if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
    return ProviderLibraryReady() ? NewMemoryStore() : nullptr;
  }
  if (lpszStoreProvider != CERT_STORE_PROV_SYSTEM_W || !pvPara) return nullptr;
  const DWORD LLocation =
      dwFlags & (CERT_SYSTEM_STORE_CURRENT_USER | CERT_SYSTEM_STORE_LOCAL_MACHINE);
  if (LLocation != CERT_SYSTEM_STORE_CURRENT_USER && LLocation != CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    return nullptr;
  }
  return OpenSystemStore(LLocation, NarrowUTF16(static_cast<LPCWSTR>(pvPara)),
                         (dwFlags & CERT_STORE_OPEN_EXISTING_FLAG) != 0);
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD) {
  if (!hCertStore) return 0;
  ReleaseStore(static_cast<TCertStore*>(hCertStore));
  return 1;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  return pCertContext ? ReferenceCert(CertImpl(pCertContext)) : nullptr;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (!pCertContext) return 1;
  TCertContext* LCert = CertImpl(pCertContext);
  bool LDestroy;
  {
    std::lock_guard<std::mutex> LGuard(RefLock());
    --LCert->Refs;
    LDestroy = ReleaseLocked(LCert->Store);
  }
  if (LDestroy) DestroyStore(LCert->Store);
  return 1;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
  auto* LStore = static_cast<TCertStore*>(hCertStore);
  if (!LStore) return nullptr;
  size_t LStart = 0;
  if (pPrevCertContext) {
    for (size_t I = 0; I < LStore->Certs.size(); ++I) {
      if (&LStore->Certs[I]->Public == pPrevCertContext) LStart = I + 1;
    }
    CertFreeCertificateContext(pPrevCertContext);
  }
  for (size_t I = LStart; I < LStore->Certs.size(); ++I) {
    TCertContext* LCert = LStore->Certs[I].get();
    if (dwFindType == CERT_FIND_HASH) {
      const auto* LHash = static_cast<const CRYPT_HASH_BLOB*>(pvFindPara);
      const std::vector<uint8_t> LPrint = Thumbprint(LCert->X509);
      if (!LHash || LHash->cbData != LPrint.size() ||
          !std::equal(LPrint.begin(), LPrint.end(), LHash->pbData)) {
        continue;
      }
    } else if (dwFindType != CERT_FIND_ANY) {
      return nullptr;
    }
    return ReferenceCert(LCert);
  }
  return nullptr;
}

PCCERT_CHAIN_CONTEXT CertFindChainInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                          const void* pvFindPara,
                                          PCCERT_CHAIN_CONTEXT pPrevChainContext) {
  auto* LStore = static_cast<TCertStore*>(hCertStore);
  size_t LStart = 0;
  if (pPrevChainContext) {
    LStart = reinterpret_cast<const TChain*>(pPrevChainContext)->FindNext;
    CertFreeCertificateChain(pPrevChainContext);
  }
  const auto* LPara = static_cast<const CERT_CHAIN_FIND_BY_ISSUER_PARA*>(pvFindPara);
  if (!LStore || dwFindType != CERT_CHAIN_FIND_BY_ISSUER || !LPara) return nullptr;
  const uint32_t LUsage = UsageBits(LPara->pszUsageIdentifier);
  for (size_t I = LStart; I < LStore->Certs.size(); ++I) {
    TCertContext* LCert = LStore->Certs[I].get();
    if (!LCert->Key || !HasExtendedUsage(LCert->X509, LUsage ? LUsage : ~0u)) continue;
    TChain* LChain = BuildChain(LCert, hCertStore, 0);
    LChain->FindNext = I + 1;
    DWORD LElement = 0;
    if (IssuerMatches(*LChain, *LPara, LElement)) {
      if (LPara->pdwIssuerChainIndex) *LPara->pdwIssuerChainIndex = 0;
      if (LPara->pdwIssuerElementIndex) *LPara->pdwIssuerElementIndex = LElement;
      return &LChain->Public;
    }
    CertFreeCertificateChain(&LChain->Public);
  }
  return nullptr;
}

BOOL CertGetCertificateChain(void*, PCCERT_CONTEXT pCertContext, void*, HCERTSTORE hAdditionalStore,
                             CERT_CHAIN_PARA* pChainPara, DWORD, void*,
                             PCCERT_CHAIN_CONTEXT* ppChainContext) {
  if (!pCertContext || !ppChainContext || !ProviderLibraryReady()) return 0;
  uint32_t LUsage = 0;
  if (pChainPara) {
    const CERT_ENHKEY_USAGE& U = pChainPara->RequestedUsage.Usage;
    for (DWORD I = 0; I < U.cUsageIdentifier; ++I) LUsage |= UsageBits(U.rgpszUsageIdentifier[I]);
  }
  *ppChainContext = &BuildChain(CertImpl(pCertContext), hAdditionalStore, LUsage)->Public;
  return 1;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  if (!pChainContext) return;
  auto* LChain = reinterpret_cast<TChain*>(const_cast<CERT_CHAIN_CONTEXT*>(pChainContext));
  for (CERT_CHAIN_ELEMENT& E : LChain->Elements) CertFreeCertificateContext(E.pCertContext);
  delete LChain;
}

BOOL CertVerifyCertificateChainPolicy(uintptr_t pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                      CERT_CHAIN_POLICY_PARA* pPolicyPara,
                                      CERT_CHAIN_POLICY_STATUS* pPolicyStatus) {
  if (pszPolicyOID != CERT_CHAIN_POLICY_SSL || !pChainContext || !pPolicyStatus) return 0;
  const auto* LExtra =
      pPolicyPara
          ? static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(pPolicyPara->pvExtraPolicyPara)
          : nullptr;
  const DWORD LIgnore = LExtra ? LExtra->fdwChecks : 0;
  const auto* LChain = reinterpret_cast<const TChain*>(pChainContext);
  pPolicyStatus->dwError = 0;
  pPolicyStatus->lChainIndex = -1;
  pPolicyStatus->lElementIndex = -1;
  // The chain's errors in the order the platform reports them, each with what waives it.
  const struct {
    DWORD Trust;
    DWORD Ignore;
    uint32_t Error;
  } CChecks[] = {
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID, 0, TRUST_E_CERT_SIGNATURE},
      {CERT_TRUST_IS_REVOKED, SECURITY_FLAG_IGNORE_REVOCATION, CRYPT_E_REVOKED},
      {CERT_TRUST_IS_UNTRUSTED_ROOT, SECURITY_FLAG_IGNORE_UNKNOWN_CA, CERT_E_UNTRUSTEDROOT},
      {CERT_TRUST_IS_PARTIAL_CHAIN, SECURITY_FLAG_IGNORE_UNKNOWN_CA, CERT_E_CHAINING},
      {CERT_TRUST_IS_NOT_TIME_VALID, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID, CERT_E_EXPIRED},
      {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, SECURITY_FLAG_IGNORE_WRONG_USAGE, CERT_E_WRONG_USAGE}};
  for (const auto& C : CChecks) {
    if (LIgnore & C.Ignore) continue;
    for (size_t I = 0; I < LChain->Elements.size(); ++I) {
      if (LChain->Elements[I].TrustStatus.dwErrorStatus & C.Trust) {
        pPolicyStatus->dwError = C.Error;
        pPolicyStatus->lChainIndex = 0;
        pPolicyStatus->lElementIndex = static_cast<int32_t>(I);
        return 1;
      }
    }
  }
  const std::string LName = LExtra ? NarrowUTF16(LExtra->pwszServerName) : "";
  if (!LName.empty() && !(LIgnore & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) &&
      !NameMatches(CertImpl(LChain->Elements[0].pCertContext)->X509, LName)) {
    pPolicyStatus->dwError = CERT_E_CN_NO_MATCH;
    pPolicyStatus->lChainIndex = 0;
    pPolicyStatus->lElementIndex = 0;
  }
  return 1;
}

HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD) {
  if (!pPFX || !pPFX->pbData || !ProviderLibraryReady()) return nullptr;
  TBio LBio(pPFX->pbData, pPFX->cbData);
  PPKCS12 LP12 = G.d2i_PKCS12_bio(LBio.Get(), nullptr);
  if (!LP12) {
    G.ERR_clear_error();
    return nullptr;
  }
  // The platform tells an empty password from none; the library would try both.
  const std::string LPassword = NarrowUTF16(szPassword);
  const char* LPass = szPassword ? LPassword.c_str() : nullptr;
  HCERTSTORE LStore = nullptr;
  PEVP_PKEY LKey = nullptr;
  PX509 LCert = nullptr;
  PSTACK LCAs = nullptr;
  if (G.PKCS12_verify_mac(LP12, LPass, szPassword ? -1 : 0) == 1 &&
      G.PKCS12_parse(LP12, LPass, &LKey, &LCert, &LCAs) == 1) {
    LStore = NewMemoryStore();
    if (LCert)
      AddToStore(LStore, LCert, LKey);
    else if (LKey)
      G.EVP_PKEY_free(LKey);
    for (int I = 0; LCAs && I < G.sk_num(LCAs); ++I) {
      auto* LCA = static_cast<PX509>(G.sk_value(LCAs, I));
      G.X509_up_ref(LCA);
      AddToStore(LStore, LCA, nullptr);
    }
    if (LCAs) G.sk_pop_free(LCAs, reinterpret_cast<void (*)(void*)>(G.X509_free));
  }
  G.PKCS12_free(LP12);
  G.ERR_clear_error();
  return LStore;
}

BOOL CryptStringToBinaryW(LPCWSTR pszString, DWORD cchString, DWORD dwFlags, uint8_t* pbBinary,
                          DWORD* pcbBinary, DWORD* pdwSkip, DWORD* pdwFlags) {
  if (!pszString || !pcbBinary || dwFlags != CRYPT_STRING_HEX) return 0;
  std::vector<uint8_t> LBytes;
  int LHigh = -1;
  for (DWORD I = 0; cchString ? I < cchString : pszString[I] != 0; ++I) {
    const char16_t C = pszString[I];
    if (C == u' ' || C == u'\t' || C == u'\r' || C == u'\n') continue;
    int V;
    if (C >= u'0' && C <= u'9')
      V = C - u'0';
    else if (C >= u'a' && C <= u'f')
      V = C - u'a' + 10;
    else if (C >= u'A' && C <= u'F')
      V = C - u'A' + 10;
    else
      return 0;
    if (LHigh < 0) {
      LHigh = V;
    } else {
      LBytes.push_back(static_cast<uint8_t>(LHigh << 4 | V));
      LHigh = -1;
    }
  }
  if (LHigh >= 0) return 0;
  if (pbBinary) {
    if (*pcbBinary < LBytes.size()) {
      *pcbBinary = static_cast<DWORD>(LBytes.size());
      return 0;
    }
    std::copy(LBytes.begin(), LBytes.end(), pbBinary);
  }
  *pcbBinary = static_cast<DWORD>(LBytes.size());
  if (pdwSkip) *pdwSkip = 0;
  if (pdwFlags) *pdwFlags = CRYPT_STRING_HEX;
  return 1;
}
