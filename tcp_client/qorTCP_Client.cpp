#include "tcp_client/qorTCP_Client.h"

#include <utility>

#include "platform/MainThread.h"
#include "platform/SysUtils.h"
#include "proxy/IdConnectThroughHttpProxy.h"
#include "proxy/IdInterceptThrottler.h"
#include "proxy/IdSocksInfo.h"
#include "proxy/qorIdLogFile.h"
#include "tcp_client/qorTCP_TLSHandlers.h"
#include "transport/IdIOHandler.h"
#include "transport/IdIOHandlerSocket.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdSocketHandle.h"

// ---- TqorTCPWatchDog_Options ----

void TqorTCPWatchDog_Options::Assign(const TPersistent& Source) {
  if (auto* LSource = dynamic_cast<const TqorTCPWatchDog_Options*>(&Source)) {
    FEnabled = LSource->FEnabled;
    FInterval = LSource->FInterval;
    FAttempts = LSource->FAttempts;
  } else {
    TPersistent::Assign(Source);
  }
}

// ---- TqorTCPCLient_Common ----

TqorTCPCLient_Common::TqorTCPCLient_Common(TComponent* AOwner)
    : TqorTCPComponent(AOwner),
      FState([this](TqorTCPConnectionClient* aConnection) {
        TqorTCPComponent::FreeConnection(aConnection);
      }),
      FTCPKeepAlive(std::make_unique<TqorTCPKeepAlive>()),
      FCommands(std::make_unique<TqorQueueCommands>()),
      FLogFile(std::make_unique<TqorTCPLogFile>()),
      FThrottle(std::make_unique<TqorTCPThrottle>()),
      FProxy(std::make_unique<TqorTCPProxy_Options>()),
      FWatchDog(std::make_unique<TqorTCPWatchDog_Options>()),
      FTLSOptions(std::make_unique<TqorTCPTLS_Options>()) {
  FCommands->SetOwnObjects(true);
  FWatchDog->SetInterval(10);
}

TqorTCPCLient_Common::~TqorTCPCLient_Common() {
  Shutdown();
}

void TqorTCPCLient_Common::Shutdown() {
  if (IsDestroying()) return;
  EndDelivery();
  DoSetActive(false);
  StopWatchDog();
  FreeHandlerSSL();
  DeleteSocketClient(FTCPClient.exchange(nullptr));
  FRetiredClients.clear();
  if (TqorTCPConnectionClient* LConnection = FState.Reset())
    TqorTCPComponent::FreeConnection(LConnection);
}

TqorIdTCPClient* TqorTCPCLient_Common::GetSocketClient() {
  if (TqorIdTCPClient* LClient = FTCPClient) return LClient;
  TqorIdTCPClient* LClient = New<TqorIdTCPClient>(nullptr);
  LClient->SetOnConnected([this](TComponent*) { OnConnectedEvent(); });
  LClient->SetOnStatus(
      [this](TComponent*, TIdStatus AStatus, const std::string&) { OnStatusEvent(AStatus); });
  LClient->SetOnThread([this] { OnThreadEvent(); });
  LClient->SetOnRead([this, LClient] { OnReadEvent(LClient); });
  LClient->SetOnReadException([this, LClient](Exception& E) { OnReadExceptionEvent(LClient, E); });
  LClient->SetOnBackgroundConnect([this, LClient] { OnBackgroundConnectEvent(LClient); });
  LClient->SetTCPMode(FTCPMode);
  FTCPClient = LClient;
  return LClient;
}

// A connection stands while it is connected and its socket is open: a close by the peer reads
// False at once, before the reading thread has reported it.
bool TqorTCPCLient_Common::GetActive() {
  if (IsDesigning() || IsLoading()) return FActive;
  // A connection whose read or write failed is ending, although its disconnect may not be
  // raised yet.
  return FState.Stands() && GetSocketClient()->Connected();
}

// The one road of Active := True/False. A request made by a handler while a transition is
// under way on the same thread (an activation or deactivation, whose events it raises or whose
// wait for the reading thread keeps the main thread's queue running; or a report of a close by
// the peer) waits in the connection state's queue and is carried out after it, in order,
// instead of freeing the socket client and thread that the transition still uses.
void TqorTCPCLient_Common::DoSetActive(bool aValue) {
  if (IsDesigning() || IsLoading()) {
    FActive = aValue;
    return;
  }
  auto LRun = [this](bool aOn) {
    if (aOn)
      Activate();
    else
      Deactivate();
  };
  switch (FState.Request(aValue, ReportingClose())) {
    case rrQueued:
      return;
    case rrAlongside:  // another thread's call (a neNoSync handler) goes ahead as it always did
      LRun(aValue);
      return;
    case rrRun:
      for (bool LValue = aValue;;) {
        LRun(LValue);
        if (IsDestroying()) return FState.EndRequests();
        if (!FState.NextQueued(LValue)) return;
      }
  }
}

void TqorTCPCLient_Common::Activate() {
  try {
    // A connect under way (in the background, or another thread's) goes on with its client.
    if (GetActive() || FState.State() == tcpsConnecting) return;
    ReleaseSocketClient();
    FConnectCancel.Take();
    if (!FState.BeginConnect()) return;  // another thread is closing
    ApplyTLSHandler();
    TqorIdTCPClient* LClient = GetSocketClient();
    GetSocketIOHandler(LClient)->SetConnectCancel(&FConnectCancel);
    LClient->SetHost(FHost);
    LClient->SetPort(static_cast<TIdPort>(FPort & 0xFFFF));
    LClient->SetUseNagle(FUseNagle);
    LClient->SetIPVersion(FIPVersion);
    LClient->SetConnectTimeout(FConnectTimeout);
    LClient->SetReadTimeout(FReadTimeout);
    LClient->SetBoundPortMin(FBoundPortMin);
    LClient->SetBoundPortMax(FBoundPortMax);
    LClient->SetLingerState(FLingerState);
    ApplyProxy(LClient);
    // In two steps: a kept socket client's handler still holds the previous chain.
    LClient->SetIntercept(nullptr);
    LClient->SetIntercept(BuildInterceptChain());
    FWatchDogEnabled = FWatchDog->Enabled();
    if (FConnectInBackground && FTCPMode == tcpmDefault) {
      LClient->StartConnect();
      return;
    }
    LClient->Connect();
  } catch (...) {
    ConnectFailed();
    return;
  }
  ConnectDone();
}

// A cancel is not reported: whoever cancelled expects nothing of the connect.
void TqorTCPCLient_Common::ConnectFailed() noexcept {
  FState.EndConnect();
  if (!FConnectCancel.Raised() && !IsDestroying()) DoActivationException();
}

void TqorTCPCLient_Common::ConnectDone() {
  FState.EndConnect();  // no connection was made
  // A connection stands again: the watchdog's work is done.
  if (FState.Connection()) {
    StopWatchDog();
    FWatchDogAttempts = 0;
  }
}

void TqorTCPCLient_Common::OnBackgroundConnectEvent(TqorIdTCPClient* aClient) {
  try {
    aClient->ConnectHere();
  } catch (...) {
    aClient->TCPRead()->Terminate();
    ConnectFailed();
    return;
  }
  ConnectDone();
}

// The cancel signal ends a lookup or TCP connect, the handler's abort a handshake. Another
// thread's own activation then ends by itself; this client's background connect has ended
// once its reading thread has stopped (which never began it, when stopped first).
bool TqorTCPCLient_Common::CancelConnect(TqorIdTCPClient* aClient) {
  FConnectCancel.Raise();
  if (TIdIOHandler* LHandler = aClient->IOHandler()) LHandler->AbortAfterFailure();
  if (!aClient->ConnectsInBackground()) return false;
  aClient->StopReading();
  FState.EndConnect();
  return true;
}

// The deactivation claims the close first: the reading thread, stopped next, then reports
// nothing of this connection, and the disconnect raised here is its only one.
void TqorTCPCLient_Common::Deactivate() {
  try {
    FWatchDogEnabled = false;
    TqorIdTCPClient* LClient = FTCPClient;
    // A connection the cancelled connect made meanwhile is closed like any other.
    if (LClient && FState.State() == tcpsConnecting && !CancelConnect(LClient)) return;
    TqorTCPConnectionClient* LConnection = FState.Connection();
    const bool LClaimed = LClient && FState.BeginClose(LConnection);
    // The buffers below belong to the reading thread until it has stopped.
    if (LClient) LClient->StopReading();
    if (LClaimed) {
      DiscardPendingData(LConnection);
      if (TIdIOHandler* LHandler = LClient->IOHandler()) {
        LHandler->WriteBufferClear();
        if (!LHandler->InputBufferIsEmpty()) LHandler->InputBuffer()->Clear();
      }
      LClient->Disconnect(false);
      DoNotifyDisconnect(LConnection);
    } else {
      // No connection, or one whose end another thread is reporting: its socket closes
      // silently now that that thread has stopped (unless this runs inside that report).
      if (LClient && LClient->Connected()) LClient->Disconnect(false);
      StopWatchDog();
    }
  } catch (...) {
    DoActivationException();
  }
}

bool TqorTCPCLient_Common::ReportingClose() const {
  const std::thread::id LReporter = FState.Reporter();
  return LReporter != std::thread::id() &&
         (LReporter == std::this_thread::get_id() || IsServingSynchronizedCall(LReporter));
}

// On the reporting thread: runs what the handlers asked for where they asked for it.
void TqorTCPCLient_Common::AfterCloseReported() {
  const TqorTCPConnectionState::THeld LHeld = FState.EndReport();
  if (LHeld.Values.empty()) return;
  // The application's own call made after the handlers' (say a deactivation posted from
  // OnException) is the last word: the held ones are dropped.
  auto LRun = [this, LHeld] {
    if (FState.Overridden(LHeld.Mark)) return;
    for (bool LValue : LHeld.Values)
      if (!IsDestroying()) DoSetActive(LValue);
  };
  try {
    if (LHeld.OnReporter)
      LRun();
    else
      SynchronizeWithMainThread(LRun);
  } catch (...) {
    DoCurrentException(nullptr);
  }
}

void TqorTCPCLient_Common::DoActivationException() noexcept {
  DoCurrentException(FState.Connection());
  if (FWatchDogEnabled) {
    try {
      StartWatchDog();
    } catch (...) {
    }
  }
}

void TqorTCPCLient_Common::ReleaseSocketClient() {
  for (auto it = FRetiredClients.begin(); it != FRetiredClients.end();) {
    TqorTCPReadThread* LThread = (*it)->HasTCPRead() ? (*it)->TCPRead() : nullptr;
    if (LThread && LThread->BlockedOnCaller())
      ++it;
    else
      it = FRetiredClients.erase(it);
  }
  TqorIdTCPClient* LClient = FTCPClient;
  if (!LClient) return;
  LClient->StopReading();
  // A close nobody could report (its reading thread was stopped first) is ended here.
  EndConnection(FState.Connection());
  if (FTCPMode != tcpmDefault && LClient->TCPMode() == FTCPMode) {
    if (LClient->Connected()) LClient->Disconnect(false);  // a failed connection's socket
    FreeHandlerSSL();
    return;
  }
  FTCPClient = nullptr;
  // A TLS handler this client made goes with the socket client (which it belongs to): a
  // retired client's reading thread may still be inside it.
  if (FHandlerSSL && FHandlerSSL->Owner() == LClient) {
    RemoveFreeNotification(FHandlerSSL);
    FHandlerSSL = nullptr;
  } else {
    FreeHandlerSSL();
  }
  TqorTCPReadThread* LThread = LClient->HasTCPRead() ? LClient->TCPRead() : nullptr;
  if (LThread && LThread->BlockedOnCaller())
    FRetiredClients.emplace_back(LClient);  // a handler of its reading thread reconnects
  else
    DeleteSocketClient(LClient);
}

void TqorTCPCLient_Common::FreeHandlerSSL() {
  TIdSSLIOHandlerSocketBase* LHandler = FHandlerSSL;
  if (!LHandler) return;
  FHandlerSSL = nullptr;
  RemoveFreeNotification(LHandler);
  TqorIdTCPClient* LClient = FTCPClient;
  if (LClient && LClient->IOHandler() == LHandler) LClient->SetIOHandler(nullptr);
  delete LHandler;
}

void TqorTCPCLient_Common::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == static_cast<TComponent*>(FHandlerSSL)) {
    FHandlerSSL = nullptr;
  }
  TqorTCPComponent::Notification(AComponent, Operation);
}

void TqorTCPCLient_Common::ApplyTLSHandler() {
  TqorIdTCPClient* LClient = GetSocketClient();
  if (FTLS) {
    if (!FHandlerSSL) {
      TIdSSLIOHandlerSocketBase* LHandler = nullptr;
      CreateSSLHandler(sslClient, LHandler);
    }
    LClient->SetIOHandler(FHandlerSSL);
  } else if (FHandlerSSL) {
    LClient->SetIOHandler(nullptr);
    FreeHandlerSSL();
  }
}

void TqorTCPCLient_Common::CreateSSLHandler(TwsSSLHandler aType,
                                            TIdSSLIOHandlerSocketBase*& aHandler) {
  if (FOnSSLGetHandler) FOnSSLGetHandler(this, aType, aHandler);
  if (!aHandler) {
    // Owned by the socket client it serves (see ReleaseSocketClient); freed by this client.
    aHandler = CreateTLSHandler(GetSocketClient(), *FTLSOptions,
                                [this](std::string& VPassword) { OnGetPasswordEvent(VPassword); });
    FHandlerSSL = aHandler;
    FreeNotification(aHandler);
    if (FOnSSLAfterCreateHandler) FOnSSLAfterCreateHandler(this, aType, aHandler);
  }
  if (aHandler != FHandlerSSL) {
    FreeHandlerSSL();
    FHandlerSSL = aHandler;
    FreeNotification(aHandler);
  }
}

void TqorTCPCLient_Common::OnGetPasswordEvent(std::string& aPassword) {
  aPassword = FTLSOptions->Password();
}

void TqorTCPCLient_Common::ApplyProxy(TqorIdTCPClient* aClient) {
  if (!FProxy->Enabled()) {
    // A kept socket client must not go on tunnelling through a proxy switched off since.
    auto* LHandler = dynamic_cast<TIdIOHandlerSocket*>(aClient->IOHandler());
    TIdCustomTransparentProxy* LProxy = LHandler ? LHandler->TransparentProxy() : nullptr;
    if (LProxy && (LProxy == FProxyHTTP || LProxy == FProxySocks))
      LHandler->SetTransparentProxy(nullptr);
    return;
  }
  TIdIOHandlerSocket* LHandler = GetSocketIOHandler(aClient);
  if (FProxy->ProxyType() == pxyHTTP) {
    delete std::exchange(FProxySocks, nullptr);
    LHandler->SetTransparentProxy(GetProxyHTTP());
  } else {
    delete std::exchange(FProxyHTTP, nullptr);
    LHandler->SetTransparentProxy(GetProxySocks());
  }
}

TIdIOHandlerSocket* TqorTCPCLient_Common::GetSocketIOHandler(TqorIdTCPClient* aClient) {
  if (auto* LHandler = dynamic_cast<TIdIOHandlerSocket*>(aClient->IOHandler())) return LHandler;
  TIdIOHandlerStack* LHandler = New<TIdIOHandlerStack>(aClient);
  // Its close (hsDisconnected) starts the report of a close by the peer.
  LHandler->SetOnStatus(aClient->OnStatus());
  aClient->SetIOHandler(LHandler);
  return LHandler;
}

TIdConnectThroughHttpProxy* TqorTCPCLient_Common::GetProxyHTTP() {
  if (!FProxyHTTP) FProxyHTTP = New<TIdConnectThroughHttpProxy>(this);
  // Every activation takes the current settings, as for SOCKS: a changed host must count.
  FProxyHTTP->SetHost(FProxy->Host());
  FProxyHTTP->SetPort(static_cast<TIdPort>(FProxy->Port() & 0xFFFF));
  FProxyHTTP->SetUsername(FProxy->Username());
  FProxyHTTP->SetPassword(FProxy->Password());
  FProxyHTTP->SetEnabled(FProxy->Enabled());
  return FProxyHTTP;
}

TIdSocksInfo* TqorTCPCLient_Common::GetProxySocks() {
  if (!FProxySocks) FProxySocks = New<TIdSocksInfo>(this);
  FProxySocks->SetHost(FProxy->Host());
  FProxySocks->SetPort(static_cast<TIdPort>(FProxy->Port() & 0xFFFF));
  FProxySocks->SetAuthentication(FProxy->Username().empty() ? saNoAuthentication
                                                            : saUsernamePassword);
  FProxySocks->SetUsername(FProxy->Username());
  FProxySocks->SetPassword(FProxy->Password());
  switch (FProxy->ProxyType()) {
    case pxySocks4:
      FProxySocks->SetVersion(svSocks4);
      break;
    case pxySocks4A:
      FProxySocks->SetVersion(svSocks4A);
      break;
    default:
      FProxySocks->SetVersion(svSocks5);
      break;
  }
  return FProxySocks;
}

TIdConnectionIntercept* TqorTCPCLient_Common::BuildInterceptChain() {
  const bool LLog = FLogFile->Enabled() && !FLogFile->FileName().empty();
  // A log no longer wanted lets go of its file.
  if (!LLog && FInterceptLogFile) FInterceptLogFile->SetActive(false);
  TqorIdLogFileClient* LLogIntercept = LLog ? GetInterceptLogFile() : nullptr;
  if (LLogIntercept) LLogIntercept->SetIntercept(nullptr);
  if (!FThrottle->Enabled()) return LLogIntercept;
  TIdInterceptThrottler* LThrottler = GetInterceptThrottle();
  LThrottler->SetIntercept(LLogIntercept);
  return LThrottler;
}

TqorIdLogFileClient* TqorTCPCLient_Common::GetInterceptLogFile() {
  if (!FInterceptLogFile) {
    FInterceptLogFile = New<TqorIdLogFileClient>(this);
    FInterceptLogFile->SetReplaceCRLF(false);
    // A log that cannot write has switched itself off; the connection goes on.
    FInterceptLogFile->SetOnWriteError(
        [this](TIdLogFile*, Exception& E) { DoException(nullptr, E.Message(), &E); });
  }
  if (!FInterceptLogFile->Active()) FInterceptLogFile->SetFilename(FLogFile->FileName());
  FInterceptLogFile->SetActive(FLogFile->Enabled());
  return FInterceptLogFile;
}

TIdInterceptThrottler* TqorTCPCLient_Common::GetInterceptThrottle() {
  if (!FInterceptThrottle) FInterceptThrottle = New<TIdInterceptThrottler>(this);
  FInterceptThrottle->SetBitsPerSec(FThrottle->BitsPerSec());
  return FInterceptThrottle;
}

bool TqorTCPCLient_Common::Connect(int aTimeout) {
  SetActive(true);
  return FState.State() == tcpsConnected && aTimeout > 0;
}

bool TqorTCPCLient_Common::Disconnect(int aTimeout) {
  SetActive(false);
  if (aTimeout <= 0) return false;
  const uint32_t LStart = GetTickCount();
  while (FState.Connection()) {
    if (GetTickDiff(LStart, GetTickCount()) >= static_cast<uint32_t>(aTimeout)) return false;
    Sleep(1);
  }
  return true;
}

void TqorTCPCLient_Common::AddCommand(TqorTCPCommands aCommand) {
  if (aCommand == tcmActive) GetSocketClient()->TCPRead();
  FCommands->AddCommand(aCommand);
  if (TqorIdTCPClient* LClient = FTCPClient) LClient->WakeReading();
}

void TqorTCPCLient_Common::AddBytes(const TIdBytes& ABytes) {
  FCommands->AddBytes(ABytes);
  if (TqorIdTCPClient* LClient = FTCPClient) LClient->WakeReading();
}

void TqorTCPCLient_Common::Loaded() {
  TqorTCPComponent::Loaded();
  if (GetActive() != FActive) SetActive(FActive);
}

void TqorTCPCLient_Common::StopReadingThread() {
  // Called on the reading thread itself (from the read loop), this only ends it.
  if (!IsDestroying()) GetSocketClient()->StopReading();
}

void TqorTCPCLient_Common::OnReadEvent(TqorIdTCPClient* aReader) {
  if (IsDestroying()) return;
  TConnectionLease LUse(FState, aReader);
  TqorTCPConnectionClient* LConnection = LUse.get();
  if (!LConnection || LConnection->Disconnected()) return;
  try {
    LConnection->ReadData();
  } catch (...) {
    DoCurrentException(LConnection);
  }
}

void TqorTCPCLient_Common::OnReadExceptionEvent(TqorIdTCPClient* aReader, Exception& E) {
  struct TReportEnd {
    TqorTCPCLient_Common& Client;
    ~TReportEnd() {
      if (Client.FState.Reporter() == std::this_thread::get_id()) Client.AfterCloseReported();
    }
  } LReportEnd{*this};
  if (IsDestroying()) return;
  TConnectionLease LUse(FState, aReader);
  TqorTCPConnectionClient* LConnection = LUse.get();
  FState.MarkFailed(LConnection);
  DoException(LConnection, E.Message(), &E);
  if (!LConnection) return;
  try {
    // This connection's own socket client: a neSynchronous handler may have connected anew
    // while this thread waited, and the new client's buffer is its new reading thread's.
    TIdTCPConnection* LClient = LConnection->TCPConnection();
    TIdIOHandler* LHandler = LClient ? LClient->IOHandler() : nullptr;
    if (LHandler && !LHandler->InputBufferIsEmpty()) LHandler->InputBuffer()->Clear();
    // Nothing goes on after a failed read; each layer knows what that takes.
    if (LHandler) LHandler->AbortAfterFailure();
    EndConnection(LConnection);
  } catch (...) {
    DoCurrentException(nullptr);
  }
}

void TqorTCPCLient_Common::OnThreadEvent() {
  if (FTCPMode == tcpmCommands) ProcessQueuedCommands();
}

void TqorTCPCLient_Common::ProcessQueuedCommands() {
  while (auto* LItem = static_cast<TqorQueueCommand*>(FCommands->GetItem(0))) {
    try {
      switch (LItem->Command()) {
        case tcmActive:
          if (!FState.Connection()) {
            Connect(10000);
            AfterQueuedCommand(tcmActive);
          }
          break;
        case tcmNotActive:
          if (FState.Connection()) {
            Disconnect(10000);
            AfterQueuedCommand(tcmNotActive);
          }
          break;
        case tcmWriteBytes: {
          TqorIdTCPClient* LClient = FTCPClient;
          if (LClient && LClient->IOHandler()) {
            LClient->IOHandler()->Write(LItem->Bytes());
            AfterQueuedCommand(tcmWriteBytes);
          }
          break;
        }
        case tcmNone:
          break;
      }
    } catch (...) {
      DoCurrentException(FState.Connection());
    }
    FCommands->DeleteItem(0);
  }
}

void TqorTCPCLient_Common::CreateConnection() {
  try {
    auto* LConnection = new TqorTCPConnectionClient();
    FState.SetConnected(LConnection);
    LConnection->SetTransport(trpTCP);
    LConnection->SetOnBinary([this](TqorTCPConnection* aConnection, TMemoryStream& aStream) {
      OnConnectionBinaryEvent(aConnection, aStream);
    });
    LConnection->SetOnBeforeDisconnect(
        [this](TqorTCPConnection* Sender) { OnBeforeDisconnectEvent(Sender); });
    LConnection->SetTCPConnection(FTCPClient);
    DoNotifyConnect(LConnection);
  } catch (...) {
    DoCurrentException(FState.Connection());
  }
}

void TqorTCPCLient_Common::OnBeforeDisconnectEvent(TqorTCPConnection*) {
  DoStopReading();
}

void TqorTCPCLient_Common::OnConnectedEvent() {
  if (IsDestroying()) return;
  ApplySocketOptions();
  CreateConnection();
}

void TqorTCPCLient_Common::ApplySocketOptions() {
  TqorIdTCPClient* LClient = FTCPClient;
  TIdIOHandlerSocket* LSocket = LClient ? LClient->Socket() : nullptr;
  if (!LSocket || !LSocket->BindingAllocated()) return;
  TIdSocketHandle& LBinding = *LSocket->Binding();
  if (FWriteTimeout > 0) LBinding.SetSendTimeout(FWriteTimeout);
  if (FTLSOptions->IOHandler() == iohSChannel && FReadTimeout < 0) LBinding.SetReceiveTimeout(10);
  // A value the kernel refuses fails the activation.
  if (FTCPKeepAlive->Enabled())
    LBinding.SetKeepAliveValues(true, FTCPKeepAlive->Time(), FTCPKeepAlive->Interval());
}

void TqorTCPCLient_Common::DoDisconnected() {
  if (IsDestroying()) return;
  try {
    EndConnection(FState.Connection());
  } catch (...) {
    DoCurrentException(nullptr);
  }
}

void TqorTCPCLient_Common::OnStatusEvent(TIdStatus AStatus) {
  if (IsDestroying() || AStatus != hsDisconnected) return;
  // Met by the reading thread outside an activation or deactivation, this is a close by the
  // peer: the thread's exception (OnReadExceptionEvent) follows and ends the report.
  TqorIdTCPClient* LClient = FTCPClient;
  TIdIOHandler* LHandler = LClient ? LClient->IOHandler() : nullptr;
  if (LHandler && LHandler->ClosedGracefully() && LClient->IsReadingThread()) FState.BeginReport();
  DoDisconnected();
}

void TqorTCPCLient_Common::OnConnectionBinaryEvent(TqorTCPConnection* aConnection,
                                                   TMemoryStream& aStream) {
  if (IsDestroying()) return;
  try {
    TMemoryStream& LCopy = aConnection->MsgBinaryReceived();
    if (&aStream != &LCopy) {
      const uint8_t* LData = aStream.Memory();
      LCopy.Adopt(TIdBytes(LData, LData + aStream.Size()));
    }
    DoNotifyBinary(aConnection);
  } catch (...) {
    DoCurrentException(aConnection);
  }
}

void TqorTCPCLient_Common::DoStopReading() {
  if (NotifyEvents() == neNoSync) StopReadingThread();
}

void TqorTCPCLient_Common::EndConnection(TqorTCPConnectionClient* aConnection) {
  if (FState.BeginClose(aConnection)) DoNotifyDisconnect(aConnection);
}

void TqorTCPCLient_Common::DoNotifyDisconnect(TqorTCPConnection* aConnection) {
  if (IsDestroying()) return;  // no event any more: Shutdown frees the connection
  auto* LConnection = static_cast<TqorTCPConnectionClient*>(aConnection);
  FState.EndClose(LConnection);
  // The socket client may be replaced before a queued event is delivered; the cached
  // addresses stay readable.
  LConnection->SetDisconnected(true);
  LConnection->SetTCPConnection(nullptr);
  TqorTCPComponent::DoNotifyDisconnect(aConnection);
}

void TqorTCPCLient_Common::FreeConnection(TqorSocketConnection_Base* aConnection) {
  auto* LConnection = dynamic_cast<TqorTCPConnectionClient*>(aConnection);
  if (LConnection && !FState.ReleaseWhenUnused(LConnection)) return;
  TqorTCPComponent::FreeConnection(aConnection);
}

// ---- Watchdog ----

void TqorTCPCLient_Common::StartWatchDog() {
  if (!FWatchDog->Enabled()) return;
  std::lock_guard<std::mutex> LGuard(FWatchDogLock);
  if (!FWatchDogTimer) {
    FWatchDogTimer = New<TqorTimer>();
    FWatchDogTimer->SetDebugName("WatchDog");
    FWatchDogTimer->SetNotifyEvents(NotifyEvents());
    FWatchDogTimer->SetOnTimer([this](TqorTimer*) { OnWatchDogEvent(); });
    FWatchDogTimer->SetOnException(
        [this](TqorTimer*, const std::exception& E) { OnWatchDogExceptionEvent(E); });
  }
  const int LInterval = FWatchDog->Interval() * FWatchDogUnitMs;
  FWatchDogTimer->SetInterval(LInterval);
  if (LInterval > 0 && !FWatchDogTimer->Enabled()) FWatchDogTimer->SetEnabled(true);
}

void TqorTCPCLient_Common::StopWatchDog() {
  TqorTimer* LTimer;
  {
    std::lock_guard<std::mutex> LGuard(FWatchDogLock);
    LTimer = FWatchDogTimer;
    FWatchDogTimer = nullptr;
  }
  FreeThreadSafely(LTimer);
}

bool TqorTCPCLient_Common::WatchDogRunning() {
  std::lock_guard<std::mutex> LGuard(FWatchDogLock);
  return FWatchDogTimer != nullptr;
}

// Each tick is one more attempt to connect; the watchdog gives up after Attempts ticks
// (never with 0), and a successful attempt stops it. A tick on the timer's own thread
// (neNoSync) only counts: connecting there would race with the application's own calls.
void TqorTCPCLient_Common::OnWatchDogEvent() {
  if (IsDestroying()) return;
  ++FWatchDogAttempts;
  if (!FState.Connection() && IsMainThread()) SetActive(true);
  if (FState.Connection()) return;  // the activation has stopped the watchdog
  if (FWatchDog->Attempts() > 0 && FWatchDogAttempts >= FWatchDog->Attempts()) StopWatchDog();
}

// ---- TqorTCPCLient_Base ----

// A connection the server has closed is ending: the reading thread reports the close
// (OnDisconnect, OnException), and a write meanwhile is dropped as without a connection,
// instead of reporting the same close a second time, to the writer. A failed write leaves the
// stream in an unknown state: the socket is shut down, so that the reading thread ends the
// connection as after a failed read; the caller gets the error, once.
void TqorTCPCLient_Base::DoWriteData(const TIdBytes& aValue) {
  TConnectionLease LUse(ConnectionState(), nullptr);
  TqorTCPConnectionClient* LConnection = LUse.get();
  if (!LConnection) return;
  TIdIOHandler* LHandler = GetSocketClient()->IOHandler();
  if (!LHandler || LHandler->ClosedGracefully() || LConnection->MustDisconnect()) return;
  try {
    LConnection->DoWriteBytes(aValue);
  } catch (EIdConnClosedGracefully&) {
  } catch (EIdSocketError&) {
    if (LHandler->ClosedGracefully()) return;   // the reading thread met the close meanwhile
    ConnectionState().MarkFailed(LConnection);  // one report of the failure is enough
    LHandler->AbortAfterFailure();
    throw;
  }
}

void TqorTCPCLient_Base::DoWriteString(const std::string& aValue) {
  DoWriteData(TIdBytes(aValue.begin(), aValue.end()));
}
