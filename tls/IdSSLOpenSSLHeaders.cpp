#include "tls/IdSSLOpenSSLHeaders.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "base/qorWebSocket_Classes_SyncObjs.h"
#include "platform/SysUtils.h"

TIdOpenSSLApi GOpenSSL;

namespace {

enum TLib { crypto, ssl };
enum TRequirement { Req, Opt, Req10, Req11 };

struct TEntry {
  TLib Lib;
  TRequirement Requirement;
  const char* Name;
  void** Slot;
};

const std::vector<TEntry>& Entries() {
  static const std::vector<TEntry> LEntries = {
#define QOR_OPENSSL_ENTRY(lib, req, ret, name, params) \
  {lib, req, #name, reinterpret_cast<void**>(&GOpenSSL.name)},
      QOR_OPENSSL_ENTRY_POINTS(QOR_OPENSSL_ENTRY)
#undef QOR_OPENSSL_ENTRY
  };
  return LEntries;
}

struct TLibraryState {
  std::mutex Lock;  // the loaded flag's own lock
  std::atomic<bool> Loaded{false};
  std::atomic<TIdTLSApiGeneration> Requested{tlsApi1_0};
  TIdTLSApiGeneration Bound = tlsApi1_0;
  std::string Folder;
  THandleLib CryptoLib = nullptr;
  THandleLib SSLLib = nullptr;
  TIdTLSApiGeneration ModulesGeneration = tlsApi1_0;
  unsigned long Version = 0;
  std::unique_ptr<TqorCriticalSection> InfoLock, PasswordLock, VerifyLock;
  std::vector<std::unique_ptr<TqorCriticalSection>> LockTable;
};

TLibraryState& State() {
  static TLibraryState LState;
  return LState;
}

void LockCallback(int AMode, int AN, const char*, int) {
  auto& LTable = State().LockTable;
  if (AN < 0 || AN >= static_cast<int>(LTable.size())) return;
  if (AMode & CRYPTO_LOCK) {
    LTable[static_cast<size_t>(AN)]->Acquire();
  } else {
    LTable[static_cast<size_t>(AN)]->Release();
  }
}

// Names that OpenSSL 3 or the 1.1 generation export differently from the 1.0 name.
std::vector<std::string> ExportNames(const char* AName, TIdTLSApiGeneration AGen) {
  const std::string LName = AName;
  if (AGen == tlsApi1_0) return {LName};
  if (LName.rfind("sk_", 0) == 0) return {"OPENSSL_" + LName};
  if (LName == "SSL_get_peer_certificate") return {"SSL_get1_peer_certificate", LName};
  if (LName == "EVP_PKEY_bits") return {"EVP_PKEY_get_bits", LName};
  return {LName};
}

void ForgetEntryPoints() {
  for (const TEntry& E : Entries()) *E.Slot = nullptr;
}

bool LoadModules(TLibraryState& S, TIdTLSApiGeneration AGen) {
  for (const TIdTLSLibraryFiles& F : TLSLibraryFiles(AGen)) {
    THandleLib LCrypto = LoadLibrary(S.Folder + F.Crypto);
    if (!LCrypto) continue;
    THandleLib LSSL = LoadLibrary(S.Folder + F.SSL);
    if (!LSSL) {
      FreeLibrary(LCrypto);
      continue;
    }
    S.CryptoLib = LCrypto;
    S.SSLLib = LSSL;
    S.ModulesGeneration = AGen;
    return true;
  }
  return false;
}

bool ResolveEntryPoints(TLibraryState& S) {
  const TIdTLSApiGeneration LGen = S.ModulesGeneration;
  bool LComplete = true;
  for (const TEntry& E : Entries()) {
    *E.Slot = nullptr;
    if ((E.Requirement == Req10 && LGen != tlsApi1_0) ||
        (E.Requirement == Req11 && LGen != tlsApi1_1)) {
      continue;
    }
    THandleLib LLib = E.Lib == ssl ? S.SSLLib : S.CryptoLib;
    for (const std::string& LName : ExportNames(E.Name, LGen)) {
      if ((*E.Slot = GetProcAddress(LLib, LName))) break;
    }
    if (!*E.Slot && E.Requirement != Opt) LComplete = false;
  }
  return LComplete;
}

bool Bind(TLibraryState& S) {
  if (!S.CryptoLib || !S.SSLLib) {
    // The requested generation first; today's systems only have the 1.1 generation's files
    // (OpenSSL 3 serves that API), while the default asks for 1.0.
    const TIdTLSApiGeneration LWanted = S.Requested;
    const TIdTLSApiGeneration LOther = LWanted == tlsApi1_0 ? tlsApi1_1 : tlsApi1_0;
    if (!LoadModules(S, LWanted) && !LoadModules(S, LOther)) return false;
  }
  return ResolveEntryPoints(S);
}

}  // namespace

std::vector<TIdTLSLibraryFiles> TLSLibraryFiles(TIdTLSApiGeneration AGeneration) {
  if (AGeneration == tlsApi1_1) {
    return {{"libcrypto.so.3", "libssl.so.3"}, {"libcrypto.so.1.1", "libssl.so.1.1"}};
  }
  return {{"libcrypto.so.1.0.2", "libssl.so.1.0.2"},
          {"libcrypto.so.1.0.0", "libssl.so.1.0.0"},
          {"libcrypto.so.10", "libssl.so.10"}};
}

TIdTLSApiGeneration TLSApiGeneration() {
  TLibraryState& S = State();
  return S.Loaded ? S.Bound : S.Requested.load();
}

void SetTLSApiGeneration(TIdTLSApiGeneration AValue) {
  State().Requested = AValue;
}

void SetTLSLibraryPath(const std::string& AFolder) {
  TLibraryState& S = State();
  std::lock_guard<std::mutex> LGuard(S.Lock);
  S.Folder = AFolder;
  if (!S.Folder.empty() && S.Folder.back() != '/') S.Folder += '/';
}

std::string TLSLibraryPath() {
  TLibraryState& S = State();
  std::lock_guard<std::mutex> LGuard(S.Lock);
  return S.Folder;
}

bool LoadTLSLibrary() {
  TLibraryState& S = State();
  if (S.Loaded) return true;
  std::lock_guard<std::mutex> LGuard(S.Lock);
  if (S.Loaded) return true;
  if (!Bind(S)) return false;
  S.Bound = S.ModulesGeneration;
  if (S.Bound == tlsApi1_1) {
    S.Version = GOpenSSL.OpenSSL_version_num();
  } else {
    if (GOpenSSL.OpenSSL_add_all_ciphers) GOpenSSL.OpenSSL_add_all_ciphers();
    if (GOpenSSL.OpenSSL_add_all_digests) GOpenSSL.OpenSSL_add_all_digests();
    if (GOpenSSL.RAND_screen) GOpenSSL.RAND_screen();
    GOpenSSL.SSL_load_error_strings();
    if (GOpenSSL.SSL_library_init() <= 0) return false;
    S.LockTable.clear();
    for (int I = 0; I < GOpenSSL.CRYPTO_num_locks(); ++I) {
      S.LockTable.push_back(std::make_unique<TqorCriticalSection>());
    }
    GOpenSSL.CRYPTO_set_locking_callback(&LockCallback);
  }
  if (!S.InfoLock) {
    S.InfoLock = std::make_unique<TqorCriticalSection>();
    S.PasswordLock = std::make_unique<TqorCriticalSection>();
    S.VerifyLock = std::make_unique<TqorCriticalSection>();
  }
  S.Loaded = true;
  return true;
}

bool IsTLSLibraryLoaded() {
  return State().Loaded;
}

void UnloadTLSLibrary() {
  TLibraryState& S = State();
  std::lock_guard<std::mutex> LGuard(S.Lock);
  if (S.Loaded && S.Bound == tlsApi1_0) {
    if (GOpenSSL.CRYPTO_set_locking_callback) GOpenSSL.CRYPTO_set_locking_callback(nullptr);
    if (GOpenSSL.SSL_COMP_free_compression_methods) GOpenSSL.SSL_COMP_free_compression_methods();
    if (GOpenSSL.CRYPTO_cleanup_all_ex_data) GOpenSSL.CRYPTO_cleanup_all_ex_data();
    if (GOpenSSL.ERR_free_strings) GOpenSSL.ERR_free_strings();
    if (GOpenSSL.ERR_remove_thread_state) {
      GOpenSSL.ERR_remove_thread_state(nullptr);
    } else if (GOpenSSL.ERR_remove_state) {
      GOpenSSL.ERR_remove_state(0);
    }
    if (GOpenSSL.EVP_cleanup) GOpenSSL.EVP_cleanup();
  }
  // OpenSSL 1.1 and later clean up after themselves at exit and pin their own modules.
  ForgetEntryPoints();
  FreeLibrary(S.SSLLib);
  FreeLibrary(S.CryptoLib);
  S.SSLLib = S.CryptoLib = nullptr;
  S.Version = 0;
  S.LockTable.clear();
  S.Loaded = false;
  // The callback locks stay: a callback still running on another thread may hold one.
}

unsigned long TLSLibraryVersion() {
  return State().Version;
}

void TLSFree(void* APtr) {
  if (!APtr) return;
  if (TLSLibraryVersion() != 0 && TLSLibraryVersion() < 0x10100000UL)
    reinterpret_cast<void (*)(void*)>(reinterpret_cast<void (*)()>(GOpenSSL.CRYPTO_free))(APtr);
  else
    GOpenSSL.CRYPTO_free(APtr, __FILE__, __LINE__);
}

void TLSPutError(int ALib, int AFunc, int AReason) {
  if (GOpenSSL.ERR_new && GOpenSSL.ERR_set_debug && GOpenSSL.ERR_set_error) {
    // OpenSSL 3 marks the reasons every library shares (a library number as the reason: "PEM
    // lib", "DH lib", ...) with a flag; without it they print as "reason(9)". A system
    // library's reason is errno and has none.
    constexpr int ERR_LIB_SYS = 2;
    constexpr int ERR_RFLAG_COMMON = 2 << 18;
    const bool LCommon = ALib != ERR_LIB_SYS && AReason > 0 && AReason < 64;
    GOpenSSL.ERR_new();
    GOpenSSL.ERR_set_debug(__FILE__, __LINE__, nullptr);
    GOpenSSL.ERR_set_error(ALib, LCommon ? AReason | ERR_RFLAG_COMMON : AReason, nullptr);
  } else if (GOpenSSL.ERR_put_error) {
    GOpenSSL.ERR_put_error(ALib, AFunc, AReason, __FILE__, __LINE__);
  }
}

TqorCriticalSection& TLSInfoLock() {
  return *State().InfoLock;
}
TqorCriticalSection& TLSPasswordLock() {
  return *State().PasswordLock;
}
TqorCriticalSection& TLSVerifyLock() {
  return *State().VerifyLock;
}
