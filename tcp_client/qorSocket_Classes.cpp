#include "tcp_client/qorSocket_Classes.h"

#include "platform/SysUtils.h"

// ---- Option records ----

void TqorSocketKeepAlive::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorSocketKeepAlive*>(&Source)) {
    FEnabled = LSource->FEnabled;
    FInterval = LSource->FInterval;
    FTime = LSource->FTime;
  } else {
    TPersistent::Assign(Source);
  }
}

void TqorSocketLogFile::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorSocketLogFile*>(&Source)) {
    FEnabled = LSource->FEnabled;
    FFileName = LSource->FFileName;
  } else {
    TPersistent::Assign(Source);
  }
}

void TqorSocketThrottle::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorSocketThrottle*>(&Source)) {
    FBitsPerSec = LSource->FBitsPerSec;
    FEnabled = LSource->FEnabled;
  } else {
    TPersistent::Assign(Source);
  }
}

void TqorSocketOpenSSL_Options::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorSocketOpenSSL_Options*>(&Source)) {
    FAPIVersion = LSource->FAPIVersion;
    FLibPath = LSource->FLibPath;
  } else {
    TPersistent::Assign(Source);
  }
}

void TqorSocketSChannel_Options::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorSocketSChannel_Options*>(&Source)) {
    FCertHash = LSource->FCertHash;
    FCertStoreName = LSource->FCertStoreName;
    FCertStorePath = LSource->FCertStorePath;
    FCipherList = LSource->FCipherList;
  } else {
    TPersistent::Assign(Source);
  }
}

void TqorSocketTLS_Options_Base::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorSocketTLS_Options_Base*>(&Source)) {
    FCertFile = LSource->FCertFile;
    FKeyFile = LSource->FKeyFile;
    FPassword = LSource->FPassword;
    FRootCertFile = LSource->FRootCertFile;
    FVersion = LSource->FVersion;
    FVerifyCertificate = LSource->FVerifyCertificate;
    FVerifyDepth = LSource->FVerifyDepth;
  } else {
    TPersistent::Assign(Source);
  }
}

TqorSocketTLS_Options::TqorSocketTLS_Options()
    : FALPNProtocols(std::make_unique<TStringList>()),
      FOpenSSL_Options(std::make_unique<TqorOpenSSLClient_Options>()),
      FSChannel_Options(std::make_unique<TqorSChannelClient_Options>()) {}

// Copying only the TLS-specific part would silently drop the certificate files, the version
// and VerifyCertificate of the source, so everything is copied.
void TqorSocketTLS_Options::Assign(const TPersistent& Source) {
  TqorSocketTLS_Options_Base::Assign(Source);
  if (auto* LSource = dynamic_cast<const TqorSocketTLS_Options*>(&Source)) {
    FIOHandler = LSource->FIOHandler;
    *FALPNProtocols = *LSource->FALPNProtocols;
    FOpenSSL_Options->Assign(*LSource->FOpenSSL_Options);
    FSChannel_Options->Assign(*LSource->FSChannel_Options);
  }
}

void TqorSocketProxy_Options::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorSocketProxy_Options*>(&Source)) {
    FEnabled = LSource->FEnabled;
    FHost = LSource->FHost;
    FPort = LSource->FPort;
    FUsername = LSource->FUsername;
    FPassword = LSource->FPassword;
    FProxyType = LSource->FProxyType;
  } else {
    TPersistent::Assign(Source);
  }
}

// ---- TqorSocketConnection_Base ----

TqorSocketConnection_Base::TqorSocketConnection_Base() = default;
TqorSocketConnection_Base::~TqorSocketConnection_Base() = default;

void TqorSocketConnection_Base::EnterLock() {
  FCS.Acquire();
}
void TqorSocketConnection_Base::EnterLockItem(int aIndex) {
  FCSArray.at(static_cast<size_t>(aIndex)).Acquire();  // at() rejects a negative index
}
void TqorSocketConnection_Base::LeaveLock() {
  FCS.Release();
}
void TqorSocketConnection_Base::LeaveLockItem(int aIndex) {
  FCSArray.at(static_cast<size_t>(aIndex)).Release();
}

std::string CreateGuidDigits() {
  std::string LDigits;
  for (char c : CreateGUIDString())
    if (c != '{' && c != '}' && c != '-') LDigits += c;
  return LDigits;
}

std::string TqorSocketConnection_Base::GetGuid() {
  std::call_once(FGuidOnce, [this] { FGuid = CreateGuidDigits(); });
  return FGuid;
}

void TqorSocketConnection_Base::Free() {
  FFreed = true;
  delete this;
}

// ---- TqorSocketComponent_Base ----

TqorSocketComponent_Base::TqorSocketComponent_Base(TComponent* AOwner)
    : TqorComponent_Base(AOwner), FNotifyEvents(IsLibrary() ? neNoSync : neAsynchronous) {}

TqorSocketComponent_Base::~TqorSocketComponent_Base() = default;

void TqorSocketComponent_Base::EnterLock() {
  FCS.Acquire();
}
void TqorSocketComponent_Base::EnterLockItem(int aIndex) {
  FCSArray.at(static_cast<size_t>(aIndex)).Acquire();  // at() rejects a negative index
}
void TqorSocketComponent_Base::LeaveLock() {
  FCS.Release();
}
void TqorSocketComponent_Base::LeaveLockItem(int aIndex) {
  FCSArray.at(static_cast<size_t>(aIndex)).Release();
}

bool TqorSocketComponent_Base::IsDestroying() const {
  return FDestroying;
}

void TqorSocketComponent_Base::FreeConnection(TqorSocketConnection_Base* aConnection) {
  if (aConnection) aConnection->Free();
}

void TqorSocketComponent_Base::BeginDestroy() {
  FDestroying = true;
}
