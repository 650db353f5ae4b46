#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/qorBase_Classes.h"
#include "base/qorWebSocket_Classes_SyncObjs.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "tcp_client/qorSocket_Classes.h"
#include "tcp_client/qorTCP_Classes.h"
#include "tcp_client/qorTCP_ConnectionState.h"
#include "tcp_client/qorTCP_ReadThread.h"
#include "tls/IdSSL.h"
#include "transport/IdGlobal.h"
#include "transport/IdTCPClient.h"

class TIdConnectionIntercept;
class TIdConnectThroughHttpProxy;
class TIdIOHandlerSocket;
class TIdInterceptThrottler;
class TIdSocksInfo;
class TqorIdLogFileClient;

// The role a TLS handler is asked for; the TCP client always asks for sslClient.
enum TwsSSLHandler { sslClient, sslServer, sslSession, sslProxy, sslLoadBalancer };
// The application may supply its own handler in aSSLHandler.
using TqorTCPOnSSLGetHandler = std::function<void(TComponent* Sender, TwsSSLHandler aType,
                                                  TIdSSLIOHandlerSocketBase*& aSSLHandler)>;
using TqorTCPOnSSLAfterCreateHandler = std::function<void(TComponent* Sender, TwsSSLHandler aType,
                                                          TIdSSLIOHandlerSocketBase* aSSLHandler)>;

// ---- Option records of the TCP client ----

class TqorTCPKeepAlive : public TqorSocketKeepAlive {
 public:
  const char* ClassName() const override { return "TqorTCPKeepAlive"; }
};

class TqorTCPLogFile : public TqorSocketLogFile {
 public:
  const char* ClassName() const override { return "TqorTCPLogFile"; }
};

class TqorTCPThrottle : public TqorSocketThrottle {
 public:
  const char* ClassName() const override { return "TqorTCPThrottle"; }
};

class TqorTCPTLS_Options : public TqorSocketTLS_Options {
 public:
  const char* ClassName() const override { return "TqorTCPTLS_Options"; }
};

class TqorTCPProxy_Options : public TqorSocketProxy_Options {
 public:
  const char* ClassName() const override { return "TqorTCPProxy_Options"; }
};

class TqorTCPWatchDog_Options : public TPersistent {
 public:
  void Assign(const TPersistent& Source) override;
  const char* ClassName() const override { return "TqorTCPWatchDog_Options"; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  // Seconds between two ticks.
  int Interval() const { return FInterval; }
  void SetInterval(int aValue) { FInterval = aValue; }
  // Ticks before the watchdog gives up; 0 or less: it never does.
  int Attempts() const { return FAttempts; }
  void SetAttempts(int aValue) { FAttempts = aValue; }

 private:
  bool FEnabled = false;
  int FInterval = 60;
  int FAttempts = 0;
};

// ---- The component ----

class TqorTCPCLient_Common : public TqorTCPComponent {
 public:
  explicit TqorTCPCLient_Common(TComponent* AOwner);
  ~TqorTCPCLient_Common() override;
  const char* ClassName() const override { return "TqorTCPCLient_Common"; }

  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& aValue) { FHost = aValue; }
  // Only the low 16 bits reach the socket.
  int Port() const { return FPort; }
  void SetPort(int aValue) { FPort = aValue; }
  bool Active() { return GetActive(); }
  void SetActive(bool aValue) { DoSetActive(aValue); }
  TqorTCPConnection* Connection() const { return FState.Connection(); }
  // Where the connection's life stands.
  TqorTCPState State() const { return FState.State(); }

  // Active := True; True when a connection stands and aTimeout is above 0 (never at once with
  // ConnectInBackground).
  bool Connect(int aTimeout);
  // Active := False; waits up to aTimeout ms (polling every ms) for the connection to go.
  bool Disconnect(int aTimeout);

  // Queued for the reading thread, which carries them out in tcpmCommands.
  void AddCommand(TqorTCPCommands aCommand);
  void AddBytes(const TIdBytes& ABytes);

  // On: Active := True returns at once, in state tcpsConnecting, and the name lookup, TCP
  // connect, proxy and TLS handshakes run on the connection's reading thread; OnConnect or
  // OnException follows as NotifyEvents says. Active := False (or destruction) meanwhile ends
  // the connect at once and reports nothing of it. Off (the default): Active := True connects
  // on the calling thread. tcpmCommands connects on its command thread in either case.
  bool ConnectInBackground() const { return FConnectInBackground; }
  void SetConnectInBackground(bool aValue) { FConnectInBackground = aValue; }
  TqorTCPMode TCPMode() const { return FTCPMode; }
  void SetTCPMode(TqorTCPMode aValue) { FTCPMode = aValue; }
  bool TLS() const { return FTLS; }
  void SetTLS(bool aValue) { FTLS = aValue; }
  TqorTCPTLS_Options& TLSOptions() { return *FTLSOptions; }
  void SetTLSOptions(const TqorTCPTLS_Options& aValue) { DoSetTLSOptions(aValue); }
  TqorTCPProxy_Options& Proxy() { return *FProxy; }
  void SetProxy(const TqorTCPProxy_Options& aValue) { DoSetProxy(aValue); }
  TqorTCPLogFile& LogFile() { return GetLogFile(); }
  void SetLogFile(const TqorTCPLogFile& aValue) { DoSetLogFile(aValue); }
  TqorTCPThrottle& Throttle() { return GetThrottle(); }
  void SetThrottle(const TqorTCPThrottle& aValue) { DoSetThrottle(aValue); }
  TqorTCPWatchDog_Options& WatchDog() { return *FWatchDog; }
  void SetWatchDog(const TqorTCPWatchDog_Options& aValue) { DoSetWatchDog(aValue); }
  TqorTCPKeepAlive& TCPKeepAlive() { return *FTCPKeepAlive; }
  void SetTCPKeepAlive(const TqorTCPKeepAlive& aValue) { FTCPKeepAlive->Assign(aValue); }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool aValue) { FUseNagle = aValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion aValue) { FIPVersion = aValue; }
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int aValue) { FConnectTimeout = aValue; }
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int aValue) { FReadTimeout = aValue; }
  int WriteTimeout() const { return FWriteTimeout; }
  void SetWriteTimeout(int aValue) { FWriteTimeout = aValue; }
  uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(uint16_t aValue) { FBoundPortMin = aValue; }
  uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(uint16_t aValue) { FBoundPortMax = aValue; }
  int LingerState() const { return FLingerState; }
  void SetLingerState(int aValue) { FLingerState = aValue; }
  // Watchdog ticks since the last successful connect.
  int WatchDogAttempts() const { return FWatchDogAttempts; }
  // How long one unit of WatchDog.Interval lasts: 1000 ms (a second); tests shorten it.
  int WatchDogUnitMs() const { return FWatchDogUnitMs; }
  void SetWatchDogUnitMs(int aValue) { FWatchDogUnitMs = aValue; }
  // The TLS handler of the current activation (none without TLS).
  TIdSSLIOHandlerSocketBase* HandlerSSL() const { return FHandlerSSL; }
  void SetOnSSLGetHandler(TqorTCPOnSSLGetHandler aValue) { FOnSSLGetHandler = std::move(aValue); }
  void SetOnSSLAfterCreateHandler(TqorTCPOnSSLAfterCreateHandler aValue) {
    FOnSSLAfterCreateHandler = std::move(aValue);
  }
  bool WatchDogRunning();

  void Loaded() override;

 protected:
  virtual void StopReadingThread();
  // aReader: the socket client whose reading thread calls.
  virtual void OnReadEvent(TqorIdTCPClient* aReader);
  virtual void OnReadExceptionEvent(TqorIdTCPClient* aReader, Exception& E);
  virtual void OnThreadEvent();
  virtual void AfterQueuedCommand(TqorTCPCommands aCommand) = 0;
  virtual void ProcessQueuedCommands();
  virtual void CreateConnection();
  virtual void OnBeforeDisconnectEvent(TqorTCPConnection* Sender);
  virtual void OnConnectedEvent();
  virtual void DoDisconnected();
  virtual void OnStatusEvent(TIdStatus AStatus);
  virtual void OnConnectionBinaryEvent(TqorTCPConnection* aConnection, TMemoryStream& aStream);
  virtual TqorTCPLogFile& GetLogFile() { return *FLogFile; }
  virtual void DoSetLogFile(const TqorTCPLogFile& aValue) { FLogFile->Assign(aValue); }
  virtual TqorTCPThrottle& GetThrottle() { return *FThrottle; }
  virtual void DoSetThrottle(const TqorTCPThrottle& aValue) { FThrottle->Assign(aValue); }
  virtual void DoStopReading();
  virtual void DoSetProxy(const TqorTCPProxy_Options& aValue) { FProxy->Assign(aValue); }
  virtual void StartWatchDog();
  virtual void StopWatchDog();
  virtual void OnWatchDogEvent();
  virtual void OnWatchDogExceptionEvent(const std::exception& E) = 0;
  virtual void DoSetWatchDog(const TqorTCPWatchDog_Options& aValue) { FWatchDog->Assign(aValue); }
  virtual void DoSetTLSOptions(const TqorTCPTLS_Options& aValue) { FTLSOptions->Assign(aValue); }
  // A handler from OnSSLGetHandler, or one made and configured from TLSOptions.
  virtual void CreateSSLHandler(TwsSSLHandler aType, TIdSSLIOHandlerSocketBase*& aHandler);
  // Activation step 3: the socket client gets the TLS handler, or its own plain one.
  virtual void ApplyTLSHandler();
  virtual void OnGetPasswordEvent(std::string& aPassword);
  virtual bool GetActive();
  virtual void DoSetActive(bool aValue);

  // Raised by whoever won the connection's close (TqorTCPConnectionState::BeginClose): ends
  // its life there, detaches it from the socket and raises or queues its OnDisconnect.
  void DoNotifyDisconnect(TqorTCPConnection* aConnection) override;
  // A connection leased by a read loop or a write on another thread is freed when the lease
  // ends.
  void FreeConnection(TqorSocketConnection_Base* aConnection) override;
  // Ends aConnection (OnDisconnect) unless it has ended or somebody else is ending it.
  void EndConnection(TqorTCPConnectionClient* aConnection);

  using TConnectionLease = TqorTCPConnectionState::TLease;
  TqorTCPConnectionState& ConnectionState() { return FState; }

  TqorIdTCPClient* GetSocketClient();
  // Stops the threads and closes the connection without events; the most derived
  // destructor runs it first. Later calls do nothing.
  void Shutdown();

 private:
  void Activate();
  // The end of a connect made on this thread or on the reading thread; ConnectFailed runs in
  // the handler of its exception, which it reports unless the connect was cancelled.
  void ConnectDone();
  void ConnectFailed() noexcept;
  // On the reading thread: the connect Activate handed over; a cancelled one ends silently.
  void OnBackgroundConnectEvent(TqorIdTCPClient* aClient);
  // Ends a connect under way on another thread; True when it was this client's background
  // connect, which has then ended.
  bool CancelConnect(TqorIdTCPClient* aClient);
  void Deactivate();
  void ReleaseSocketClient();
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Proxy set-up: the socket handler of aClient gets the SOCKS or HTTP proxy object, made
  // once and configured from Proxy at every activation.
  void ApplyProxy(TqorIdTCPClient* aClient);
  // The TLS handler when there is one, else a plain handler of aClient's own: a client
  // being replaced never shares its handler with the next connection. Made before the connect,
  // so that no connect replaces the handler that another thread may cancel.
  TIdIOHandlerSocket* GetSocketIOHandler(TqorIdTCPClient* aClient);
  TIdConnectThroughHttpProxy* GetProxyHTTP();
  TIdSocksInfo* GetProxySocks();
  // Throttler (chained to the log), the log alone, the throttler alone, or none.
  TIdConnectionIntercept* BuildInterceptChain();
  TqorIdLogFileClient* GetInterceptLogFile();
  TIdInterceptThrottler* GetInterceptThrottle();
  void ApplySocketOptions();
  void DoActivationException() noexcept;
  // True on the reading thread that reports a close by its peer, and on the main thread while
  // it runs that thread's synchronised delivery.
  bool ReportingClose() const;
  // Carries out the requests held during the report, where they were made.
  void AfterCloseReported();
  void FreeHandlerSSL();

  TqorTCPConnectionState FState;
  // Raised to end the connect under way; taken before each activation.
  TIdWakeSignal FConnectCancel;
  std::atomic<bool> FConnectInBackground{false};
  std::atomic<TqorIdTCPClient*> FTCPClient{nullptr};
  // Clients replaced while their own reading thread was running the activation.
  std::vector<std::unique_ptr<TqorIdTCPClient, TSocketClientDelete>> FRetiredClients;
  std::unique_ptr<TqorTCPKeepAlive> FTCPKeepAlive;
  std::unique_ptr<TqorQueueCommands> FCommands;
  std::unique_ptr<TqorTCPLogFile> FLogFile;
  std::unique_ptr<TqorTCPThrottle> FThrottle;
  std::unique_ptr<TqorTCPProxy_Options> FProxy;
  // Proxies and intercepts are owned as this component's children, made on first use.
  TIdConnectThroughHttpProxy* FProxyHTTP = nullptr;
  TIdSocksInfo* FProxySocks = nullptr;
  TIdInterceptThrottler* FInterceptThrottle = nullptr;
  TqorIdLogFileClient* FInterceptLogFile = nullptr;
  std::unique_ptr<TqorTCPWatchDog_Options> FWatchDog;
  std::atomic<int> FWatchDogAttempts{0};
  std::atomic<int> FWatchDogUnitMs{1000};
  std::mutex FWatchDogLock;  // guards FWatchDogTimer; never held while a timer is freed
  TqorTimer* FWatchDogTimer = nullptr;
  std::atomic<bool> FWatchDogEnabled{false};
  std::string FHost;
  int FPort = 80;
  bool FTLS = false;
  std::unique_ptr<TqorTCPTLS_Options> FTLSOptions;
  TIdSSLIOHandlerSocketBase* FHandlerSSL = nullptr;
  TqorTCPOnSSLGetHandler FOnSSLGetHandler;
  TqorTCPOnSSLAfterCreateHandler FOnSSLAfterCreateHandler;
  bool FUseNagle = false;
  TIdIPVersion FIPVersion = Id_IPv4;
  int FConnectTimeout = 0;
  int FReadTimeout = -1;
  std::atomic<TqorTCPMode> FTCPMode{tcpmDefault};
  int FWriteTimeout = 0;
  uint16_t FBoundPortMax = 0;
  uint16_t FBoundPortMin = 0;
  int FLingerState = -1;
  bool FActive = false;
};

class TqorTCPCLient_Base : public TqorTCPCLient_Common {
 public:
  using TqorTCPCLient_Common::TqorTCPCLient_Common;
  const char* ClassName() const override { return "TqorTCPCLient_Base"; }

  // Without a connection nothing is written; a write error reaches the caller.
  void WriteData(const TIdBytes& aValue) { DoWriteData(aValue); }
  // The text goes out as UTF-8.
  void WriteData(const std::string& aValue) { DoWriteString(aValue); }

 protected:
  void AfterQueuedCommand(TqorTCPCommands) override {}
  void OnWatchDogExceptionEvent(const std::exception&) override {}
  virtual void DoWriteData(const TIdBytes& aValue);
  virtual void DoWriteString(const std::string& aValue);
};

// General TCP client: set Host, Port and options, write Active := True, and receive
// OnConnect, OnBinary, OnException and OnDisconnect as NotifyEvents says.
class TqorTCPCLient : public TqorTCPCLient_Base {
 public:
  explicit TqorTCPCLient(TComponent* AOwner) : TqorTCPCLient_Base(AOwner) {}
  // The threads call virtual operations: they stop before this object starts to come
  // apart. A descendant with overrides calls Shutdown() in its own destructor likewise.
  ~TqorTCPCLient() override { Shutdown(); }
  const char* ClassName() const override { return "TqorTCPCLient"; }

  // An owner whose handlers the threads call stops them before its own members go.
  using TqorTCPCLient_Common::Shutdown;

  using TqorTCPComponent::NotifyEvents;
  using TqorTCPComponent::OnBinary;
  using TqorTCPComponent::OnConnect;
  using TqorTCPComponent::OnDisconnect;
  using TqorTCPComponent::OnException;
  using TqorTCPComponent::OnMessage;
  using TqorTCPComponent::SetNotifyEvents;
  using TqorTCPComponent::SetOnBinary;
  using TqorTCPComponent::SetOnConnect;
  using TqorTCPComponent::SetOnDisconnect;
  using TqorTCPComponent::SetOnException;
  using TqorTCPComponent::SetOnMessage;
};
