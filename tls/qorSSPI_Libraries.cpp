#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "tls/qorSSPI_Provider.h"

namespace {

struct TModule {
  std::string Name;
  TSecurityLibraryEntries Entries;
};

std::string Lower(std::string AText) {
  std::transform(AText.begin(), AText.end(), AText.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return AText;
}

template <typename F>
void* Entry(F AFunction) {
  return reinterpret_cast<void*>(AFunction);
}

TSecurityLibraryEntries DefaultEntries(const std::string& AName) {
  if (AName == "secur32.dll") return {{"InitSecurityInterfaceW", Entry(&InitSecurityInterfaceW)}};
  if (AName == "crypt32.dll") {
    return {{"CertOpenSystemStoreW", Entry(&CertOpenSystemStoreW)},
            {"CertOpenStore", Entry(&CertOpenStore)},
            {"CertCloseStore", Entry(&CertCloseStore)},
            {"CertFindCertificateInStore", Entry(&CertFindCertificateInStore)},
            {"CertDuplicateCertificateContext", Entry(&CertDuplicateCertificateContext)},
            {"CertFreeCertificateContext", Entry(&CertFreeCertificateContext)},
            {"CertFindChainInStore", Entry(&CertFindChainInStore)},
            {"CertGetCertificateChain", Entry(&CertGetCertificateChain)},
            {"CertVerifyCertificateChainPolicy", Entry(&CertVerifyCertificateChainPolicy)},
            {"CertFreeCertificateChain", Entry(&CertFreeCertificateChain)},
            {"PFXImportCertStore", Entry(&PFXImportCertStore)},
            {"CryptStringToBinaryW", Entry(&CryptStringToBinaryW)}};
  }
  return {};
}

struct TRegistry {
  std::mutex Lock;
  // Modules stay allocated once handed out: a handle kept by a caller never dangles.
  std::map<std::string, std::shared_ptr<TModule>> Modules;
  std::vector<std::shared_ptr<TModule>> Retired;
  std::string LastError;

  void Reset() {
    for (auto& [LName, LModule] : Modules) Retired.push_back(LModule);
    Modules.clear();
    for (const char* LName : {"secur32.dll", "crypt32.dll"}) {
      Modules[LName] = std::make_shared<TModule>(TModule{LName, DefaultEntries(LName)});
    }
  }
  TRegistry() { Reset(); }
};

TRegistry& Registry() {
  static TRegistry LRegistry;
  return LRegistry;
}

}  // namespace

HMODULE LoadSecurityLibrary(const std::string& AName) {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  const auto LAt = R.Modules.find(Lower(AName));
  if (LAt == R.Modules.end()) {
    R.LastError = "The specified module could not be found.";
    return nullptr;
  }
  return LAt->second.get();
}

void* GetSecurityProcAddress(HMODULE AModule, const std::string& AName) {
  if (!AModule) return nullptr;
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  for (const auto& [LName, LEntry] : static_cast<TModule*>(AModule)->Entries) {
    if (LName == AName) return LEntry;
  }
  R.LastError = "The specified procedure could not be found.";
  return nullptr;
}

void FreeSecurityLibrary(HMODULE) {}

std::string SecurityLibraryLastErrorText() {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  return R.LastError.substr(0, 256);
}

void RegisterSecurityLibrary(const std::string& AName, TSecurityLibraryEntries AEntries) {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  auto& LSlot = R.Modules[Lower(AName)];
  if (LSlot) R.Retired.push_back(LSlot);
  LSlot = std::make_shared<TModule>(TModule{Lower(AName), std::move(AEntries)});
}

void UnregisterSecurityLibrary(const std::string& AName) {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  const auto LAt = R.Modules.find(Lower(AName));
  if (LAt == R.Modules.end()) return;
  R.Retired.push_back(LAt->second);
  R.Modules.erase(LAt);
}

void RestoreSecurityLibraries() {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  R.Reset();
}

std::u16string WidenUTF8(const std::string& AText) {
  std::u16string LOut;
  for (size_t I = 0; I < AText.size();) {
    const unsigned char C = static_cast<unsigned char>(AText[I]);
    uint32_t LCode = C;
    int LMore = 0;
    if (C >= 0xF0) {
      LCode = C & 0x07, LMore = 3;
    } else if (C >= 0xE0) {
      LCode = C & 0x0F, LMore = 2;
    } else if (C >= 0xC0) {
      LCode = C & 0x1F, LMore = 1;
    }
    ++I;
    for (; LMore > 0 && I < AText.size(); --LMore, ++I) {
      LCode = (LCode << 6) | (static_cast<unsigned char>(AText[I]) & 0x3F);
    }
    if (LCode >= 0x10000) {
      LCode -= 0x10000;
      LOut += static_cast<char16_t>(0xD800 + (LCode >> 10));
      LOut += static_cast<char16_t>(0xDC00 + (LCode & 0x3FF));
    } else {
      LOut += static_cast<char16_t>(LCode);
    }
  }
  return LOut;
}

std::string NarrowUTF16(const char16_t* AText) {
  std::string LOut;
  if (!AText) return LOut;
  for (const char16_t* P = AText; *P; ++P) {
    uint32_t LCode = *P;
    if (LCode >= 0xD800 && LCode < 0xDC00 && P[1] >= 0xDC00 && P[1] < 0xE000) {
      LCode = 0x10000 + ((LCode - 0xD800) << 10) + (P[1] - 0xDC00);
      ++P;
    }
    if (LCode < 0x80) {
      LOut += static_cast<char>(LCode);
    } else if (LCode < 0x800) {
      LOut += static_cast<char>(0xC0 | (LCode >> 6));
      LOut += static_cast<char>(0x80 | (LCode & 0x3F));
    } else if (LCode < 0x10000) {
      LOut += static_cast<char>(0xE0 | (LCode >> 12));
      LOut += static_cast<char>(0x80 | ((LCode >> 6) & 0x3F));
      LOut += static_cast<char>(0x80 | (LCode & 0x3F));
    } else {
      LOut += static_cast<char>(0xF0 | (LCode >> 18));
      LOut += static_cast<char>(0x80 | ((LCode >> 12) & 0x3F));
      LOut += static_cast<char>(0x80 | ((LCode >> 6) & 0x3F));
      LOut += static_cast<char>(0x80 | (LCode & 0x3F));
    }
  }
  return LOut;
}
