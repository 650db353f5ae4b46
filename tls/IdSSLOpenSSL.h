#pragma once
// TLS client over OpenSSL: options, the prepared context, one session on a socket, the I/O
// handler, certificate views and the exception family.
#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/StringList.h"
#include "tls/IdSSL.h"
#include "tls/IdSSLOpenSSLHeaders.h"
#include "transport/IdException.h"

// ---- exceptions ----

constexpr const char* RSOSSLCouldNotLoadSSLLibrary = "Could not load SSL library.";
constexpr const char* RSOSSLModeNotSet = "Mode has not been set.";
constexpr const char* RSOSSLGetMethodError = "Error getting SSL method.";
constexpr const char* RSOSSLCreatingContextError = "Error creating SSL context.";
constexpr const char* RSOSSLLoadingRootCertError = "Could not load root certificate.";
constexpr const char* RSOSSLLoadingCertError = "Could not load certificate.";
constexpr const char* RSOSSLLoadingKeyError = "Could not load key, check password.";
constexpr const char* RSOSSLLoadingDHParamsError = "Could not load DH Parameters.";
constexpr const char* RSOSSLSettingCipherError = "SetCipher failed.";
constexpr const char* RSOSSLCreatingSessionError = "Error creating SSL session.";
constexpr const char* RSOSSLDataBindingError = "Error binding data to SSL socket.";
constexpr const char* RSOSSLFDSetError = "Error setting File Descriptor for SSL";
constexpr const char* RSOSSLConnectError = "Error connecting with SSL.";
constexpr const char* RSOSSLAcceptError = "Error accepting connection with SSL.";
constexpr const char* RSOSSLEOFViolation = "EOF was observed that violates the protocol";
constexpr const char* RSOSSLUpdatingALPN = "Error Updating ALPN Protocols";

QOR_DECLARE_EXCEPTION(EIdOpenSSLError, EIdException);
QOR_DECLARE_EXCEPTION(EIdOSSLCouldNotLoadSSLLibrary, EIdOpenSSLError);
QOR_DECLARE_EXCEPTION(EIdOSSLModeNotSet, EIdOpenSSLError);
QOR_DECLARE_EXCEPTION(EIdOSSLGetMethodError, EIdOpenSSLError);
QOR_DECLARE_EXCEPTION(EIdOSSLSettingCipherError, EIdOpenSSLError);
QOR_DECLARE_EXCEPTION(EIdOSSLCreatingSessionError, EIdOpenSSLError);

// A failure the library reported on its error queue; ErrorCode is the queue entry.
class EIdOpenSSLAPICryptoError : public EIdOpenSSLError {
 public:
  EIdOpenSSLAPICryptoError(std::string AMessage, unsigned long AErrorCode = 0)
      : EIdOpenSSLError(std::move(AMessage)), FErrorCode(AErrorCode) {}
  QOR_EXCEPTION_CLASS(EIdOpenSSLAPICryptoError)
  unsigned long ErrorCode() const { return FErrorCode; }

 private:
  unsigned long FErrorCode;
};
QOR_DECLARE_EXCEPTION(EIdOSSLCreatingContextError, EIdOpenSSLAPICryptoError);
QOR_DECLARE_EXCEPTION(EIdOSSLLoadingRootCertError, EIdOpenSSLAPICryptoError);
QOR_DECLARE_EXCEPTION(EIdOSSLLoadingCertError, EIdOpenSSLAPICryptoError);
QOR_DECLARE_EXCEPTION(EIdOSSLLoadingKeyError, EIdOpenSSLAPICryptoError);
QOR_DECLARE_EXCEPTION(EIdOSSLLoadingDHParamsError, EIdOpenSSLAPICryptoError);
QOR_DECLARE_EXCEPTION(EIdOSSLUnderlyingCryptoError, EIdOpenSSLAPICryptoError);

// A failure of a session call; ErrorCode is SSL_get_error's value, RetCode the call's result.
class EIdOpenSSLAPISSLError : public EIdOpenSSLError {
 public:
  EIdOpenSSLAPISSLError(std::string AMessage, int AErrorCode = 0, int ARetCode = 0)
      : EIdOpenSSLError(std::move(AMessage)), FErrorCode(AErrorCode), FRetCode(ARetCode) {}
  QOR_EXCEPTION_CLASS(EIdOpenSSLAPISSLError)
  int ErrorCode() const { return FErrorCode; }
  int RetCode() const { return FRetCode; }

 private:
  int FErrorCode;
  int FRetCode;
};
QOR_DECLARE_EXCEPTION(EIdOSSLFDSetError, EIdOpenSSLAPISSLError);
QOR_DECLARE_EXCEPTION(EIdOSSLDataBindingError, EIdOpenSSLAPISSLError);
QOR_DECLARE_EXCEPTION(EIdOSSLAcceptError, EIdOpenSSLAPISSLError);
QOR_DECLARE_EXCEPTION(EIdOSSLConnectError, EIdOpenSSLAPISSLError);

// The library's text for an error-queue code.
std::string TLSErrorDescription(unsigned long AError);

// ---- options ----

enum TIdSSLVersion {
  sslvSSLv2,
  sslvSSLv23,
  sslvSSLv3,
  sslvTLSv1,
  sslvTLSv1_1,
  sslvTLSv1_2,
  sslvTLSv1_3
};
// Bit n stands for the TIdSSLVersion of ordinal n.
using TIdSSLVersions = uint8_t;
constexpr TIdSSLVersions SSLVersionBit(TIdSSLVersion AValue) {
  return static_cast<TIdSSLVersions>(1u << AValue);
}
// Every version except sslvSSLv23 itself: what sslvSSLv23 stands for.
constexpr TIdSSLVersions CAllSSLVersions = 125;

enum TIdSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
enum TIdSSLCtxMode { sslCtxClient, sslCtxServer };
// Bits passed to the library unchanged.
using TIdSSLVerifyModeSet = uint8_t;
constexpr TIdSSLVerifyModeSet sslvrfPeer = 1;
constexpr TIdSSLVerifyModeSet sslvrfFailIfNoPeerCert = 2;
constexpr TIdSSLVerifyModeSet sslvrfClientOnce = 4;

class TIdSSLIOHandlerSocketOpenSSL;

class TIdSSLOptions : public TPersistent {
 public:
  const char* ClassName() const override { return "TIdSSLOptions"; }
  void Assign(const TPersistent& Source) override;

  const std::string& RootCertFile() const { return FRootCertFile; }
  void SetRootCertFile(const std::string& AValue) { FRootCertFile = AValue; }
  const std::string& CertFile() const { return FCertFile; }
  void SetCertFile(const std::string& AValue) { FCertFile = AValue; }
  const std::string& KeyFile() const { return FKeyFile; }
  void SetKeyFile(const std::string& AValue) { FKeyFile = AValue; }
  const std::string& DHParamsFile() const { return FDHParamsFile; }
  void SetDHParamsFile(const std::string& AValue) { FDHParamsFile = AValue; }
  TIdSSLVersion Method() const { return FMethod; }
  void SetMethod(TIdSSLVersion AValue);
  TIdSSLVersions SSLVersions() const { return FSSLVersions; }
  void SetSSLVersions(TIdSSLVersions AValue);
  TIdSSLMode Mode() const { return FMode; }
  void SetMode(TIdSSLMode AValue) { FMode = AValue; }
  TIdSSLVerifyModeSet VerifyMode() const { return FVerifyMode; }
  void SetVerifyMode(TIdSSLVerifyModeSet AValue) { FVerifyMode = AValue; }
  int VerifyDepth() const { return FVerifyDepth; }
  void SetVerifyDepth(int AValue) { FVerifyDepth = AValue; }
  const std::string& VerifyDirs() const { return FVerifyDirs; }
  void SetVerifyDirs(const std::string& AValue) { FVerifyDirs = AValue; }
  const std::string& CipherList() const { return FCipherList; }
  void SetCipherList(const std::string& AValue) { FCipherList = AValue; }

 private:
  std::string FRootCertFile, FCertFile, FKeyFile, FDHParamsFile;
  TIdSSLVersion FMethod = sslvTLSv1;
  TIdSSLVersions FSSLVersions = SSLVersionBit(sslvTLSv1);
  TIdSSLMode FMode = sslmUnassigned;
  TIdSSLVerifyModeSet FVerifyMode = 0;
  int FVerifyDepth = 0;
  std::string FVerifyDirs, FCipherList;
};

// The options a handler makes for itself; it frees them only while they still name it.
class TIdSSLOptions_Internal : public TIdSSLOptions {
 public:
  const char* ClassName() const override { return "TIdSSLOptions_Internal"; }
  TIdSSLIOHandlerSocketOpenSSL* Parent = nullptr;
};

// ---- certificate views ----

class TIdX509Name {
 public:
  explicit TIdX509Name(PX509_NAME AName) : FName(AName) {}
  std::string OneLine() const;
  unsigned long Hash() const;
  std::string HashAsString() const;
  PX509_NAME CertificateName() const { return FName; }

 private:
  PX509_NAME FName;
};

class TIdX509Fingerprints {
 public:
  explicit TIdX509Fingerprints(PX509 ACert) : FCert(ACert) {}
  using TDigest = std::vector<uint8_t>;
  TDigest MD5() const { return Digest(GOpenSSL.EVP_md5, 16); }
  TDigest SHA1() const { return Digest(GOpenSSL.EVP_sha1, 20); }
  TDigest SHA224() const { return Digest(GOpenSSL.EVP_sha224, 28); }
  TDigest SHA256() const { return Digest(GOpenSSL.EVP_sha256, 32); }
  TDigest SHA384() const { return Digest(GOpenSSL.EVP_sha384, 48); }
  TDigest SHA512() const { return Digest(GOpenSSL.EVP_sha512, 64); }
  std::string MD5AsString() const { return AsString(GOpenSSL.EVP_md5, 16); }
  std::string SHA1AsString() const { return AsString(GOpenSSL.EVP_sha1, 20); }
  std::string SHA224AsString() const { return AsString(GOpenSSL.EVP_sha224, 28); }
  std::string SHA256AsString() const { return AsString(GOpenSSL.EVP_sha256, 32); }
  std::string SHA384AsString() const { return AsString(GOpenSSL.EVP_sha384, 48); }
  std::string SHA512AsString() const { return AsString(GOpenSSL.EVP_sha512, 64); }

 private:
  // All zero (of the digest's length) when the library lacks the digest.
  TDigest Digest(PEVP_MD (*AMD)(), size_t ALength) const;
  std::string AsString(PEVP_MD (*AMD)(), size_t ALength) const;
  PX509 FCert;
};

struct TIdX509SigInfo {
  std::string Signature;  // "aa:bb:..."
  int SigType = 0;
  std::string SigTypeAsString;
};

// A read-only view of a certificate; it frees the certificate only when it owns it.
class TIdX509 {
 public:
  TIdX509(PX509 ACert, bool AOwnsCert);
  ~TIdX509();
  TIdX509(const TIdX509&) = delete;
  TIdX509& operator=(const TIdX509&) = delete;

  long Version() const;
  TIdX509SigInfo SigInfo() const;
  const TIdX509Fingerprints& Fingerprints() const { return FFingerprints; }
  std::vector<uint8_t> Fingerprint() const { return FFingerprints.MD5(); }
  std::string FingerprintAsString() const { return FFingerprints.MD5AsString(); }
  const TIdX509Name& Subject() const { return FSubject; }
  const TIdX509Name& Issuer() const { return FIssuer; }
  // UTC seconds since 1970; 0 when the library cannot read the time.
  std::time_t notBefore() const;
  std::time_t notAfter() const;
  // Upper-case hexadecimal.
  std::string SerialNumber() const;
  // The library's printed form, line by line.
  TStringList DisplayInfo() const;
  PX509 Certificate() const { return FCert; }

 private:
  PX509 FCert;
  bool FOwnsCert;
  TIdX509Name FSubject, FIssuer;
  TIdX509Fingerprints FFingerprints;
};

struct TIdSSLCipher {
  std::string Name;
  std::string Description;
  int Bits = 0;
  std::string Version;
};

// ---- callbacks ----

// How the library's callbacks reach the handler that owns a context or session.
class IIdSSLOpenSSLCallbackHelper {
 public:
  virtual ~IIdSSLOpenSSLCallbackHelper() = default;
  virtual std::string QueryPassword(bool AIsWrite) = 0;
  virtual void ReportStatus(PSSL ASSLSocket, int AWhere, int ARet, const std::string& AMsg) = 0;
  virtual bool CheckPeer(TIdX509* ACertificate, bool AOk, int ADepth, int AError) = 0;
  virtual TIdSSLIOHandlerSocketOpenSSL* OwnerHandler() = 0;
};

// ---- context ----

class TIdSSLContext {
 public:
  // Binds the library; raises EIdOSSLCouldNotLoadSSLLibrary when it cannot.
  TIdSSLContext();
  ~TIdSSLContext();
  TIdSSLContext(const TIdSSLContext&) = delete;
  TIdSSLContext& operator=(const TIdSSLContext&) = delete;

  void PrepareContext(TIdSSLCtxMode AKind);
  bool LoadRootCert();
  bool LoadCert();
  bool LoadKey();
  bool LoadDHParams();
  // Settings copied, not prepared.
  std::unique_ptr<TIdSSLContext> Clone() const;

  TStringList& ALPNProtocols();
  void SetALPNProtocols(const TStringList& AValue);
  // The wire form of the ALPN list: a length byte before each non-empty entry.
  TIdBytes ALPNWireList();

  PSSL_CTX Context() const { return FContext; }
  IIdSSLOpenSSLCallbackHelper* CallbackHelper() const;

  TIdSSLVersion Method = sslvTLSv1;
  TIdSSLVersions SSLVersions = SSLVersionBit(sslvTLSv1);
  TIdSSLMode Mode = sslmUnassigned;
  std::string RootCertFile, CertFile, KeyFile, DHParamsFile;
  int VerifyDepth = 0;
  TIdSSLVerifyModeSet VerifyMode = 0;
  std::string VerifyDirs, CipherList;
  bool StatusInfoOn = false;
  bool VerifyOn = false;
  int32_t SessionId = 1;
  TComponent* Parent = nullptr;

 private:
  PSSL_METHOD SelectMethod();
  void ApplyProtocolVersions();
  void ApplyVerifyMode();
  void ApplyClientCAList();
  void ApplyALPNList();
  // PKCS#12 parse with the password callback's answer; the caller frees what it takes.
  bool LoadPKCS12(const std::string& AFile, PX509* VCert, PEVP_PKEY* VKey, int AFunc);

  PSSL_CTX FContext = nullptr;
  std::unique_ptr<TStringList> FALPNProtocols;
};

// ---- session ----

class TIdSSLSocket {
 public:
  explicit TIdSSLSocket(TComponent* AParent) : FParent(AParent) {}
  ~TIdSSLSocket();
  TIdSSLSocket(const TIdSSLSocket&) = delete;
  TIdSSLSocket& operator=(const TIdSSLSocket&) = delete;

  // Handshakes as client on the socket; ADeadlineMs (a GetTickCount64 value, 0 = none)
  // bounds the whole handshake. Each wait for the socket inside any call is bounded by the
  // socket's own SO_RCVTIMEO / SO_SNDTIMEO, as a blocking socket's would be.
  void Connect(int AHandle, uint64_t ADeadlineMs = 0);
  void Accept(int AHandle);
  // > 0 bytes; 0 after the peer's close-notify; < 0 a failure, which the handler's
  // CheckTransportResult on this thread then reads.
  int Recv(TIdBytes& VBuffer);
  int Send(const TIdBytes& ABuffer, int AOffset, int ALength);
  // True when decrypted bytes wait, or when a read would not block (data, close or
  // failure); false when AMSec passes with nothing but handshake records arriving.
  bool Readable(int AMSec);
  // Decrypted bytes, a whole record read ahead, or a failure wait inside the session. Part of
  // a record does not count: only more bytes on the socket can complete it.
  bool HoldsApplicationBytes();
  // Sends close-notify and waits for the peer's (within the socket's time-out).
  void Shutdown();
  // Sends close-notify without waiting, once; the session then takes no further calls.
  void Close();

  TIdBytes GetSessionID() const;
  std::string GetSessionIDAsString() const;
  void SetCipherList(const std::string&) {}
  TIdX509* PeerCert();
  const TIdSSLCipher* Cipher();
  std::string GetALPNProtocol() const;
  std::string GetSSLVersion() const;

  PSSL Session() const { return FSSL; }
  TComponent* Parent() const { return FParent; }
  TIdSSLContext* Context() const { return FContext; }
  void SetContext(TIdSSLContext* AValue) { FContext = AValue; }
  const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& AValue) { FHostName = AValue; }
  bool Asynchronous = false;
  std::string ALPNProtocol;

  // What a failed call left: SSL error code, result and errno.
  struct TFailure {
    int Error = SSL_ERROR_NONE;
    int Ret = 0;
    int Errno = 0;
  };

 private:
  void CreateSession(int AHandle, TIdSSLIOHandlerSocketOpenSSL*& VOwner);
  // Runs AOp under the session lock; waits outside it while the library wants I/O. Returns
  // the final result and its SSL error code (SSL_ERROR_WANT_READ after a time-out).
  int Drive(const std::function<int()>& AOp, int& VError, uint64_t ADeadlineMs);
  // Under FLock: peeks one byte, consuming records without application data. 1: data waits;
  // 0: the library wants more bytes; -1: a failure, kept for the next Recv.
  int PeekLocked();

  TComponent* FParent;
  TIdSSLContext* FContext = nullptr;
  PSSL FSSL = nullptr;
  int FHandle = -1;
  std::string FHostName;
  std::unique_ptr<TIdX509> FPeerCert;
  std::unique_ptr<TIdSSLCipher> FCipher;
  // A failure Readable met, owed to the next Recv.
  TFailure FPending;
  bool FHasPending = false;
  bool FClosed = false;
  // One call into the session at a time: the reading thread reads while others write.
  mutable std::mutex FLock;
};

// ---- I/O handler ----

using TCallbackEvent = std::function<void(const std::string& AMsg)>;
using TCallbackExEvent =
    std::function<void(TComponent* ASender, PSSL AsslSocket, int AWhere, int Aret,
                       const std::string& AType, const std::string& AMsg)>;
using TPasswordEvent = std::function<void(std::string& Password)>;
using TPasswordEventEx =
    std::function<void(TComponent* ASender, std::string& VPassword, bool AIsWrite)>;
using TVerifyPeerEvent =
    std::function<bool(TIdX509* Certificate, bool AOk, int ADepth, int AError)>;
using TIOHandlerNotify = std::function<void(TIdSSLIOHandlerSocketOpenSSL* ASender)>;

class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase,
                                     public IIdSSLOpenSSLCallbackHelper {
 public:
  static const TIdIOHandlerClass IdClass;

 protected:
  explicit TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner = nullptr);

 public:
  ~TIdSSLIOHandlerSocketOpenSSL() override;
  const char* ClassName() const override { return "TIdSSLIOHandlerSocketOpenSSL"; }
  const TIdIOHandlerClass* ClassType() const override { return &IdClass; }

  void Close() override;
  bool Readable(int AMSec = IdTimeoutDefault) override;
  bool HoldsApplicationBytes() override;
  // Receives only once a whole record has come: part of one leaves the buffer as it is.
  int ReceiveReady() override;
  // The session takes no further calls; the socket is shut down.
  void AbortAfterFailure() override;
  int CheckTransportResult(int AResult) override;
  [[noreturn]] void RaiseTransportError(int AErr) override;
  void StartSSL() override;
  TIdSSLIOHandlerSocketBase* Clone() override;
  std::string GetALPNProtocol() const;
  std::string GetSSLVersion() const;

  // Builds the context unless one exists.
  void BuildContext();

  TIdSSLOptions& SSLOptions() { return *FSSLOptions; }
  // An outside options object is used, not copied, and never freed by this handler.
  void SetSSLOptions(TIdSSLOptions* AValue);
  TIdSSLContext* SSLContext() const { return FSSLContext; }
  TIdSSLSocket* SSLSocket() const { return Session().get(); }
  TStringList& ALPNProtocols();
  void SetALPNProtocols(const TStringList& AValue) { ALPNProtocols() = AValue; }

  void SetOnStatusInfo(TCallbackEvent A) { FOnStatusInfo = std::move(A); }
  void SetOnStatusInfoEx(TCallbackExEvent A) { FOnStatusInfoEx = std::move(A); }
  void SetOnGetPassword(TPasswordEvent A) { FOnGetPassword = std::move(A); }
  void SetOnGetPasswordEx(TPasswordEventEx A) { FOnGetPasswordEx = std::move(A); }
  void SetOnVerifyPeer(TVerifyPeerEvent A) { FOnVerifyPeer = std::move(A); }
  void SetOnBeforeConnect(TIOHandlerNotify A) { FOnBeforeConnect = std::move(A); }

  // IIdSSLOpenSSLCallbackHelper
  std::string QueryPassword(bool AIsWrite) override;
  void ReportStatus(PSSL ASSLSocket, int AWhere, int ARet, const std::string& AMsg) override;
  bool CheckPeer(TIdX509* ACertificate, bool AOk, int ADepth, int AError) override;
  TIdSSLIOHandlerSocketOpenSSL* OwnerHandler() override { return this; }

  virtual void NotifyBeforeConnect();
  virtual void NotifyStatusInfo(const std::string& AMsg);
  virtual void AskPassword(std::string& VPassword);
  virtual void AskPasswordEx(std::string& VPassword, bool AIsWrite);
  virtual bool AskVerifyPeer(TIdX509* ACertificate, bool AOk, int ADepth, int AError);

 protected:
  void ConnectToPeer() override;
  int ReceiveEncrypted(TIdBytes& VBuffer) override;
  int SendEncrypted(const TIdBytes& ABuffer, int AOffset, int ALength) override;
  void DoSetPassThrough(bool AValue) override;
  virtual void OpenTLSSession();
  // The session's socket time-out: ReadTimeout, or 30000 ms when below 1.
  int SessionTimeout() const { return FReadTimeOut < 1 ? 30000 : FReadTimeOut; }
  void SetSocketTimeouts(int AMs);
  [[noreturn]] void RaiseSessionError(int ARet, int AError);
  void FreeContext();

  TIdSSLOptions* FSSLOptions = nullptr;
  TIdSSLContext* FSSLContext = nullptr;
  // The session a read, write or wait in progress keeps alive while another thread closes:
  // the reading thread may fail and close while the owner writes.
  std::shared_ptr<TIdSSLSocket> Session() const;
  void SetSession(std::shared_ptr<TIdSSLSocket> AValue);
  // Sends close-notify while the socket is still open, then lets the session go.
  void DropSession();

  std::shared_ptr<TIdSSLSocket> FSSLSocket;
  mutable std::mutex FSessionLock;
  std::unique_ptr<TStringList> FALPNProtocols;
  TCallbackEvent FOnStatusInfo;
  TCallbackExEvent FOnStatusInfoEx;
  TPasswordEvent FOnGetPassword;
  TPasswordEventEx FOnGetPasswordEx;
  TVerifyPeerEvent FOnVerifyPeer;
  TIOHandlerNotify FOnBeforeConnect;
};

// The handler the TCP client makes: quiet while no session exists.
class TqorIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketOpenSSL {
 public:
  static const TIdIOHandlerClass IdClass;

 protected:
  explicit TqorIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner = nullptr)
      : TIdSSLIOHandlerSocketOpenSSL(AOwner) {}

 public:
  const char* ClassName() const override { return "TqorIdSSLIOHandlerSocketOpenSSL"; }
  const TIdIOHandlerClass* ClassType() const override { return &IdClass; }
  // Reported for this class exactly (the one the TCP client makes), not for descendants.
  std::string NegotiatedProtocol() override {
    return ClassType() == &IdClass ? GetALPNProtocol() : std::string();
  }
  int CheckTransportResult(int AResult) override;
  bool Readable(int AMSec = IdTimeoutDefault) override;

 protected:
  int ReceiveEncrypted(TIdBytes& VBuffer) override;
};
