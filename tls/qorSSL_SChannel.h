#pragma once
// TLS over the security provider's SChannel package: the engine (credentials, handshake,
// client certificates, server check), the record layer, and the I/O handler built on them.
// The engine records its failures instead of raising; the handler raises SChannelError.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "platform/StringList.h"
#include "platform/Types.h"
#include "tls/IdSSL.h"
#include "tls/qorSSPI_Provider.h"

enum TqorSChannelCertStoreName { scsnMY, scsnRoot, scsnTrust, scsnCA };
enum TqorSChannelCertStorePath { scspStoreCurrentUser, scspStoreLocalMachine };
enum TwsTLSVersions { tlsUndefined, tls1_0, tls1_1, tls1_2, tls1_3 };

// ---- settings and helpers ----

// Client-certificate and verification settings of a handler.
class TqorSChannelCertificate : public TPersistent {
 public:
  const char* ClassName() const override { return "TqorSChannelCertificate"; }
  void Assign(const TPersistent& Source) override;

  std::string CertFilePassword;
  std::string CertHash;
  std::string CertFile;
  TqorSChannelCertStoreName CertStoreName = scsnMY;
  TqorSChannelCertStorePath CertStorePath = scspStoreCurrentUser;
  bool VerifyCertificate = false;
};

// A block of bytes read from a file or stream, from its position to its end.
class TqorSChannelStream {
 public:
  const uint8_t* Data() const { return FData.data(); }
  uint32_t DataSize() const { return static_cast<uint32_t>(FData.size()); }
  void LoadFromFile(const std::string& AFileName);
  void LoadFromStream(TStream& AStream);

 private:
  std::vector<uint8_t> FData;
};

// The negotiated connection parameters, with the algorithms by name.
class TqorSChannelConnectionInfo {
 public:
  virtual ~TqorSChannelConnectionInfo() = default;
  TwsTLSVersions Protocol() const { return FProtocol; }
  const std::string& Cipher() const { return FCipher; }
  uint32_t CiperStrength() const { return FCiperStrength; }
  const std::string& Hash() const { return FHash; }
  uint32_t HashStrength() const { return FHashStrength; }
  const std::string& Exchange() const { return FExchange; }
  uint32_t ExchangeStrength() const { return FExchangeStrength; }
  ALG_ID CipherId() const { return FCipherId; }
  ALG_ID HashId() const { return FHashId; }
  ALG_ID ExchangeId() const { return FExchangeId; }

  virtual void SetProtocol(DWORD AProtocol);
  virtual void SetCipher(ALG_ID AId);
  virtual void SetHash(ALG_ID AId);
  virtual void SetExchange(ALG_ID AId);

 private:
  friend struct TSSLInfo;
  TwsTLSVersions FProtocol = tlsUndefined;
  std::string FCipher, FHash, FExchange;
  uint32_t FCiperStrength = 0, FHashStrength = 0, FExchangeStrength = 0;
  ALG_ID FCipherId = 0, FHashId = 0, FExchangeId = 0;
};

// The algorithm-name table: first row with the name (0: none), first row with the value.
ALG_ID GetCipherId(const std::string& AName);
std::string GetCipherName(ALG_ID AId);

// Something that may accept a chain ending in a root the stores do not trust.
class TqorSChannelUntrustedRootAcceptor {
 public:
  virtual ~TqorSChannelUntrustedRootAcceptor() = default;
  virtual bool Accept(PCCERT_CHAIN_CONTEXT AChain, const CERT_CHAIN_POLICY_STATUS& AStatus) = 0;
};
// Nothing in this program adds one.
std::vector<TqorSChannelUntrustedRootAcceptor*>& UntrustedRootAcceptors();

// ---- the session ----

using TSSLInit = uint8_t;
constexpr TSSLInit iCredentials = 1;
constexpr TSSLInit iContext = 2;

struct TSSLInfo;
using TCredentialsCallBack = void (*)(TSSLInfo* ASession, void* AUserData);

// One TLS connection. Readable/Decrypt run on the reading thread while Encrypt runs on a
// writer: they share only the provider context, which guards itself, and the send lock.
struct TSSLInfo {
  TSSLInit Init = 0;
  std::atomic<uint32_t> Error{0};
  TCredentialsCallBack CredentialsCallBack = nullptr;
  void* UserData = nullptr;
  int32_t Socket = -1;
  std::string Servername;
  SCHANNEL_CRED SChannel{};
  CredHandle Credentials{};
  CtxtHandle Context{};
  TBytes RecvBuffer;  // receives and decrypts go into it: only the counted bytes are defined
  int32_t RecvCount = 0;
  TBytes DataBuffer;
  int32_t DataCount = 0, DataStart = 0;
  SecPkgContext_StreamSizes BuffSizes{};
  std::vector<uint8_t> SendBuffer;
  TwsTLSVersions Version = tlsUndefined;
  const TStringList* ALPNProtocols = nullptr;
  SecPkgContext_ApplicationProtocol alpn_result{};
  bool CertVerify = false;
  std::string CertHash;
  std::string CertFile, CertFilePassword;
  TqorSChannelCertStorePath CertStorePath = scspStoreCurrentUser;
  TqorSChannelCertStoreName CertStoreName = scsnMY;
  std::string CipherList;
  std::unique_ptr<TqorSChannelConnectionInfo> ConnectionInfo;

  ~TSSLInfo();
  void Clean();
  uint32_t GetCipherId(const std::string& AName) const { return ::GetCipherId(AName); }
  // ANoWait: take only what the socket holds now (a reader that waits on the socket itself).
  int32_t Read(bool ANoWait = false);
  // AReadFirst: receive before the first handshake call (false when the caller already
  // holds what the provider asked for, as after a renegotiation request).
  int32_t ReadLoop(bool AReadFirst = true);
  bool InitBuffer();
  bool DoGetCertificateFromChainStore();
  bool DoGetCertificate();
  bool DoImportCertPFX(const std::string& AFileName, const std::string& APassword);
  bool DoVerifyCertificate();
  bool HandshakeClient();

  int32_t Readable(bool ANoWait = false);
  int32_t Decrypt(void* ADestination, int32_t ASize, bool ANoWait = false);
  int32_t Encrypt(const void* ASource, int32_t ASize);
  std::string GetALPN();
  TqorSChannelConnectionInfo* GetConnectionInfo();
  // Plaintext waiting, or a whole record received and not yet decrypted: the socket does not
  // show either.
  bool HasBufferedData() const;
  // Sends the close-notify alert (once; nothing before the handshake has finished).
  void Shutdown();
  // What ended the last failed receive or send on this session: the socket error (0 for a
  // close by the peer), or none when the provider refused a record.
  int LastReceiveSocketError() const { return FReceiveSocketError; }
  int LastSendSocketError() const { return FSendSocketError; }
  // The last receive found nothing complete within its wait (or, not waiting, at once).
  bool ReceiveTimedOut() const { return FReceiveTimedOut; }
  // The peer ended the session with its close-notify alert.
  bool ClosedByPeer() const { return FClosedByPeer; }

 private:
  int32_t SendAll(const uint8_t* ABytes, int32_t ALength);
  bool SendToken(SecBuffer& ABuffer);
  bool UseClientCertificate(PCCERT_CONTEXT ACertificate);
  SECURITY_STATUS Acquire(CredHandle& VCredentials);
  void RecordReceiveFailure(int ALength);

  std::u16string FServernameW;
  std::vector<ALG_ID> FAlgorithms;
  PCCERT_CONTEXT FClientCertificate = nullptr;
  const SecurityFunctionTableW* FTable = nullptr;
  // Handshake tokens and records leave in the order the provider made them.
  std::mutex FSendLock;
  bool FOpen = false;
  bool FShutDown = false;
  bool FPeerClosed = false;
  bool FReceiveTimedOut = false;
  bool FClosedByPeer = false;
  // A renegotiation or post-handshake exchange left waiting for the peer's next bytes.
  bool FHandshaking = false;
  bool FNoWait = false;
  int FReceiveSocketError = 0;
  int FSendSocketError = 0;

  friend TSSLInfo* OpenSChannelSession(int32_t, const TqorSChannelCertificate&, const std::string&,
                                       const std::string&, const TStringList*, TwsTLSVersions);
};

// ---- engine entry points ----

TSSLInfo* OpenSChannelSession(int32_t ASocket, const TqorSChannelCertificate& ACertificate,
                              const std::string& AServerName, const std::string& ACipherList,
                              const TStringList* AALPNProtocols, TwsTLSVersions AVersion);
void FreeSChannelSession(TSSLInfo* ASession);
void SetSessionCredentialsCallback(TSSLInfo* ASession, TCredentialsCallBack ACallback,
                                   void* AUserData);
int32_t Decrypt(TSSLInfo* ASession, void* ADestination, int32_t ASize);
int32_t Encrypt(TSSLInfo* ASession, const void* ASource, int32_t ASize);
std::string GetALPN(TSSLInfo* ASession);
TqorSChannelConnectionInfo* GetConnectionInfo(TSSLInfo* ASession);

bool InitSChannelProvider();
void UnloadSChannelProvider();

// The last failure recorded by a session opened or used on the calling thread.
uint32_t SChannelLastStatus();
const std::string& SChannelLastError();
uint32_t SChannelCertStatus();

constexpr const char* RSSChannelALPNTooLong = "The ALPN protocol list does not fit in 118 bytes.";

// ---- the I/O handler ----

// A session that could not be opened; CertStatus is the chain policy's error, if any.
class SChannelError : public Exception {
 public:
  SChannelError(std::string AMessage, uint32_t ACertStatus)
      : Exception(std::move(AMessage)), FCertStatus(ACertStatus) {}
  const char* ClassName() const override { return "SChannelError"; }
  std::exception_ptr Clone() const override { return std::make_exception_ptr(*this); }
  uint32_t CertStatus() const { return FCertStatus; }

 private:
  uint32_t FCertStatus;
};

using TCredentialsEvent = std::function<void(TComponent* Sender)>;

// TLS over the security provider for the socket transport: the sibling of the OpenSSL
// handler. Reads and writes go through the session's record layer.
class TqorIdSSLIOHandlerSocketSChannel : public TIdSSLIOHandlerSocketBase {
 public:
  static const TIdIOHandlerClass IdClass;

 protected:
  explicit TqorIdSSLIOHandlerSocketSChannel(TComponent* AOwner = nullptr);

 public:
  ~TqorIdSSLIOHandlerSocketSChannel() override;
  const char* ClassName() const override { return "TqorIdSSLIOHandlerSocketSChannel"; }
  const TIdIOHandlerClass* ClassType() const override { return &IdClass; }

  TIdSSLIOHandlerSocketBase* Clone() override;
  void StartSSL() override;
  void Close() override;
  bool Connected() override;
  bool Readable(int AMSec = IdTimeoutDefault) override;
  // Takes what the socket holds without waiting; -1 while that makes no whole record.
  int ReceiveReady() override;
  bool HoldsApplicationBytes() override;
  void AbortAfterFailure() override;
  int CheckTransportResult(int AResult) override;

  std::string GetALPNProtocol();
  TqorSChannelConnectionInfo* GetInfo();
  // Reported for this class exactly (the one the TCP client makes), not for descendants.
  std::string NegotiatedProtocol() override {
    return ClassType() == &IdClass ? GetALPNProtocol() : std::string();
  }

  TStringList& ALPNProtocols();
  void SetALPNProtocols(const TStringList& AValue) { ALPNProtocols() = AValue; }
  TqorSChannelCertificate& Certificate() { return *FCertificate; }
  void SetCertificate(const TqorSChannelCertificate& AValue) { FCertificate->Assign(AValue); }
  const std::string& CipherList() const { return FCipherList; }
  void SetCipherList(const std::string& AValue) { FCipherList = AValue; }
  TwsTLSVersions TLSVersion() const { return FTLSVersion; }
  void SetTLSVersion(TwsTLSVersions AValue) { FTLSVersion = AValue; }
  const TCredentialsEvent& OnCredentials() const { return FOnCredentials; }
  void SetOnCredentials(TCredentialsEvent AValue);

 protected:
  void ConnectToPeer() override;
  int ReceiveEncrypted(TIdBytes& VBuffer) override;
  int SendEncrypted(const TIdBytes& ABuffer, int AOffset, int ALength) override;
  void DoSetPassThrough(bool AValue) override;
  virtual void OpenTLSSession();

 private:
  static void CredentialsCallback(TSSLInfo* ASession, void* AUserData);
  std::shared_ptr<TSSLInfo> Session() const;
  // Sends close-notify while the socket is still open, then lets the session go.
  void DropSession();
  int SessionTimeout() const { return FReadTimeOut < 1 ? 30000 : FReadTimeOut; }

  std::unique_ptr<TStringList> FALPNProtocols;
  std::unique_ptr<TqorSChannelCertificate> FCertificate;
  std::string FCipherList;
  TwsTLSVersions FTLSVersion = tls1_0;
  TCredentialsEvent FOnCredentials;
  // A read, write or wait in progress keeps the session alive while another thread closes.
  std::shared_ptr<TSSLInfo> FSession;
  mutable std::mutex FSessionLock;
  // Reads (and the questions about what they hold) come from one thread at a time.
  std::mutex FReadLock;
  std::atomic<bool> FAborted{false};
};
