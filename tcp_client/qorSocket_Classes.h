#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/qorBase_Classes.h"
#include "base/qorWebSocket_Classes_SyncObjs.h"
#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/StringList.h"
#include "tls/qorSSL_SChannel.h"

// A fresh GUID as 32 upper-case hexadecimal digits, without braces and hyphens.
std::string CreateGuidDigits();

enum TwsIPVersion { ipV4, ipV6 };
enum TwsTransport { trpTCP };
enum TwsOpenSSLAPI { oslAPI_1_0, oslAPI_1_1 };
enum TwsOpenSSLLibPath { oslpNone, oslpDefaultFolder };
enum TwsTLSIOHandler { iohOpenSSL, iohSChannel };
enum TwsProxy { pxyHTTP, pxySocks4, pxySocks4A, pxySocks5 };

// ---- Option records: Assign copies from the declaring class (or a descendant) only. ----

class TqorSocketKeepAlive : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketKeepAlive"; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  int Interval() const { return FInterval; }
  void SetInterval(int aValue) { FInterval = aValue; }
  int Time() const { return FTime; }
  void SetTime(int aValue) { FTime = aValue; }

 private:
  bool FEnabled = false;
  int FInterval = 1000;
  int FTime = 7200000;
};

// Traffic log: every block sent and received is appended to FileName, the RCON password in
// the authentication packet included, so a file the log creates is readable by its owner only
// (mode 0600). On when Enabled and FileName is not empty.
class TqorSocketLogFile : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketLogFile"; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& aValue) { FFileName = aValue; }

 private:
  bool FEnabled = false;
  std::string FFileName;
};

// Throttle: after each block the thread that moved it sleeps bytes x 8000 / BitsPerSec ms;
// a BitsPerSec of 0 or less means no limit.
class TqorSocketThrottle : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketThrottle"; }
  int BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(int aValue) { FBitsPerSec = aValue; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }

 private:
  int FBitsPerSec = 0;
  bool FEnabled = false;
};

class TqorSocketOpenSSL_Options : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketOpenSSL_Options"; }
  TwsOpenSSLAPI APIVersion() const { return FAPIVersion; }
  void SetAPIVersion(TwsOpenSSLAPI aValue) { FAPIVersion = aValue; }
  TwsOpenSSLLibPath LibPath() const { return FLibPath; }
  void SetLibPath(TwsOpenSSLLibPath aValue) { FLibPath = aValue; }

 private:
  TwsOpenSSLAPI FAPIVersion = oslAPI_1_0;
  TwsOpenSSLLibPath FLibPath = oslpNone;
};

class TqorOpenSSLClient_Options : public TqorSocketOpenSSL_Options {
 public:
  const char* ClassName() const override { return "TqorOpenSSLClient_Options"; }
};

class TqorSocketSChannel_Options : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketSChannel_Options"; }
  const std::string& CertHash() const { return FCertHash; }
  void SetCertHash(const std::string& aValue) { FCertHash = aValue; }
  TqorSChannelCertStoreName CertStoreName() const { return FCertStoreName; }
  void SetCertStoreName(TqorSChannelCertStoreName aValue) { FCertStoreName = aValue; }
  TqorSChannelCertStorePath CertStorePath() const { return FCertStorePath; }
  void SetCertStorePath(TqorSChannelCertStorePath aValue) { FCertStorePath = aValue; }
  const std::string& CipherList() const { return FCipherList; }
  void SetCipherList(const std::string& aValue) { FCipherList = aValue; }

 private:
  std::string FCertHash;
  TqorSChannelCertStoreName FCertStoreName = scsnMY;
  TqorSChannelCertStorePath FCertStorePath = scspStoreCurrentUser;
  std::string FCipherList;
};

class TqorSChannelClient_Options : public TqorSocketSChannel_Options {
 public:
  const char* ClassName() const override { return "TqorSChannelClient_Options"; }
};

class TqorSocketTLS_Options_Base : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketTLS_Options_Base"; }
  const std::string& CertFile() const { return FCertFile; }
  void SetCertFile(const std::string& aValue) { FCertFile = aValue; }
  const std::string& KeyFile() const { return FKeyFile; }
  void SetKeyFile(const std::string& aValue) { FKeyFile = aValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& aValue) { FPassword = aValue; }
  const std::string& RootCertFile() const { return FRootCertFile; }
  void SetRootCertFile(const std::string& aValue) { FRootCertFile = aValue; }
  bool VerifyCertificate() const { return FVerifyCertificate; }
  void SetVerifyCertificate(bool aValue) { FVerifyCertificate = aValue; }
  int VerifyDepth() const { return FVerifyDepth; }
  void SetVerifyDepth(int aValue) { FVerifyDepth = aValue; }
  TwsTLSVersions Version() const { return FVersion; }
  void SetVersion(TwsTLSVersions aValue) { FVersion = aValue; }

 private:
  std::string FCertFile;
  std::string FKeyFile;
  std::string FPassword;
  std::string FRootCertFile;
  bool FVerifyCertificate = false;
  int FVerifyDepth = 0;
  TwsTLSVersions FVersion = tlsUndefined;
};

class TqorSocketTLS_Options : public TqorSocketTLS_Options_Base {
 public:
  TqorSocketTLS_Options();
  // Copies every setting, the inherited ones and both provider records included.
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketTLS_Options"; }
  TStringList& ALPNProtocols() { return *FALPNProtocols; }
  const TStringList& ALPNProtocols() const { return *FALPNProtocols; }
  TwsTLSIOHandler IOHandler() const { return FIOHandler; }
  void SetIOHandler(TwsTLSIOHandler aValue) { FIOHandler = aValue; }
  TqorOpenSSLClient_Options& OpenSSL_Options() { return *FOpenSSL_Options; }
  const TqorOpenSSLClient_Options& OpenSSL_Options() const { return *FOpenSSL_Options; }
  void SetOpenSSL_Options(const TqorOpenSSLClient_Options& aValue) {
    FOpenSSL_Options->Assign(aValue);
  }
  TqorSChannelClient_Options& SChannel_Options() { return *FSChannel_Options; }
  const TqorSChannelClient_Options& SChannel_Options() const { return *FSChannel_Options; }
  void SetSChannel_Options(const TqorSChannelClient_Options& aValue) {
    FSChannel_Options->Assign(aValue);
  }

 private:
  std::unique_ptr<TStringList> FALPNProtocols;
  TwsTLSIOHandler FIOHandler = iohOpenSSL;
  std::unique_ptr<TqorOpenSSLClient_Options> FOpenSSL_Options;
  std::unique_ptr<TqorSChannelClient_Options> FSChannel_Options;
};

class TqorSocketProxy_Options : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorSocketProxy_Options"; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& aValue) { FHost = aValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& aValue) { FPassword = aValue; }
  int Port() const { return FPort; }
  void SetPort(int aValue) { FPort = aValue; }
  TwsProxy ProxyType() const { return FProxyType; }
  void SetProxyType(TwsProxy aValue) { FProxyType = aValue; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& aValue) { FUsername = aValue; }

 private:
  bool FEnabled = false;
  std::string FHost;
  std::string FPassword;
  int FPort = 8080;
  TwsProxy FProxyType = pxyHTTP;
  std::string FUsername;
};

// ---- Connection objects, socket-independent part ----

// One connection of a socket component. The cached addresses outlive the socket; the byte
// counters are each written by one thread and may be read by any.
class TqorSocketConnection_Base {
 public:
  static constexpr int LockItemCount = 6;

  TqorSocketConnection_Base();
  virtual ~TqorSocketConnection_Base();
  TqorSocketConnection_Base(const TqorSocketConnection_Base&) = delete;
  TqorSocketConnection_Base& operator=(const TqorSocketConnection_Base&) = delete;

  virtual void EnterLock();
  virtual void EnterLockItem(int aIndex);
  virtual void LeaveLock();
  virtual void LeaveLockItem(int aIndex);

  bool Active() { return GetActive(); }
  std::string Guid() { return GetGuid(); }
  std::string IP() { return GetIP(); }
  std::string LocalIP() { return GetLocalIP(); }
  int LocalPort() { return GetLocalPort(); }
  int Port() { return GetPort(); }
  TwsIPVersion IPVersion() { return GetIPVersion(); }
  int64_t RecBytes() const { return FRecBytes; }
  int64_t SendBytes() const { return FSendBytes; }
  TwsTransport Transport() const { return FTransport; }
  void SetTransport(TwsTransport aValue) { DoSetTransport(aValue); }
  bool Disconnected() const { return FDisconnected; }
  void SetDisconnected(bool aValue) { FDisconnected = aValue; }
  // The exception being handed on; valid only while it is delivered.
  Exception* RawException() const { return FRawException.load(); }
  void SetRawException(Exception* aValue) { FRawException = aValue; }
  void* Data() const { return FData; }
  void SetData(void* aValue) { FData = aValue; }
  bool Freed() const { return FFreed; }
  // Marks the object freed, then destroys it (it must have been made with new).
  void Free();

 protected:
  virtual bool GetActive() = 0;
  virtual std::string GetGuid();
  virtual std::string GetIP() = 0;
  virtual std::string GetLocalIP() = 0;
  virtual int GetLocalPort() = 0;
  virtual int GetPort() = 0;
  virtual TwsIPVersion GetIPVersion() = 0;
  virtual void DoSetTransport(TwsTransport aValue) { FTransport = aValue; }

  void AddRecBytes(int64_t aCount) { FRecBytes += aCount; }
  void AddSendBytes(int64_t aCount) { FSendBytes += aCount; }

  // Guards the address caches (any thread may fill them on first read), the delimiter and
  // the exception text of descendants.
  std::mutex FFieldLock;
  std::string FIP;
  std::string FLocalIP;
  int FLocalPort = 0;
  int FPort = 0;
  TwsIPVersion FIPVersion = ipV4;

 private:
  TqorCriticalSection FCS;
  std::array<TqorCriticalSection, LockItemCount> FCSArray;
  std::once_flag FGuidOnce;
  std::string FGuid;
  std::atomic<int64_t> FRecBytes{0};
  std::atomic<int64_t> FSendBytes{0};
  std::atomic<TwsTransport> FTransport{trpTCP};
  std::atomic<bool> FDisconnected{false};
  std::atomic<Exception*> FRawException{nullptr};
  void* FData = nullptr;
  bool FFreed = false;
};

class TqorSocketConnection : public TqorSocketConnection_Base {};

// ---- Component base ----

// Root of the socket components: seven locks for descendants and the delivery mode.
class TqorSocketComponent_Base : public TqorComponent_Base {
 public:
  static constexpr int LockItemCount = 6;

  explicit TqorSocketComponent_Base(TComponent* AOwner);
  ~TqorSocketComponent_Base() override;
  const char* ClassName() const override { return "TqorSocketComponent_Base"; }

  virtual void EnterLock();
  virtual void EnterLockItem(int aIndex);
  virtual void LeaveLock();
  virtual void LeaveLockItem(int aIndex);
  virtual bool HasLock() const { return true; }
  virtual bool HasLockItem(int aIndex) const { return aIndex >= 0 && aIndex < LockItemCount; }

  // Other threads read this instead of the component state, which only the owning thread
  // may touch.
  bool IsDestroying() const override;

 protected:
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents; }
  void SetNotifyEvents(TwsNotifyEvent aValue) { DoSetNotifyEvents(aValue); }
  virtual void DoSetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents = aValue; }
  // Marks the connection freed and destroys it; nothing for none.
  virtual void FreeConnection(TqorSocketConnection_Base* aConnection);
  // Called first by the destructor of the most derived class that runs threads.
  void BeginDestroy();

 private:
  std::array<TqorCriticalSection, LockItemCount> FCSArray;
  TqorCriticalSection FCS;
  std::atomic<TwsNotifyEvent> FNotifyEvents;
  std::atomic<bool> FDestroying{false};
};
