#include "tcp_client/qorTCP_Classes.h"

#include <cstring>
#include <mutex>

#include "platform/MainThread.h"
#include "platform/SysUtils.h"
#include "transport/IdIOHandler.h"
#include "transport/IdTCPConnection.h"

// ---- TqorTCPConnection_Base ----

TqorTCPConnection_Base::~TqorTCPConnection_Base() = default;

TMemoryStream& TqorTCPConnection_Base::MsgBinaryReceived() {
  if (!FMsgBinaryReceived) FMsgBinaryReceived = std::make_unique<TMemoryStream>();
  return *FMsgBinaryReceived;
}

std::string TqorTCPConnection_Base::MsgException() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  return FMsgException;
}

void TqorTCPConnection_Base::SetMsgException(const std::string& aValue) {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  FMsgException = aValue;
}

TIdBytes TqorTCPConnection_Base::TCPEndOfFrame() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  return FTCPEndOfFrame;
}

void TqorTCPConnection_Base::AddTCPEndOfFrame(uint8_t aByte) {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  FTCPEndOfFrame.push_back(aByte);
}

void TqorTCPConnection_Base::ClearTCPEndOfFrame() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  FTCPEndOfFrame.clear();
}

// ---- TqorTCPConnection_Vorn ----

TqorTCPConnection_Vorn::~TqorTCPConnection_Vorn() {
  FTCPConnection = nullptr;
}

TIdIOHandler& TqorTCPConnection_Vorn::IOHandler() {
  TIdTCPConnection* LConnection = FTCPConnection;
  TIdIOHandler* LHandler = LConnection ? LConnection->IOHandler() : nullptr;
  if (!LHandler) throw EIdNotConnected(RSNotConnected);
  return *LHandler;
}

std::string TqorTCPConnectionClient::ALPNProtocol() const {
  TIdTCPConnection* LConnection = TCPConnection();
  TIdIOHandler* LHandler = LConnection ? LConnection->IOHandler() : nullptr;
  return LHandler ? LHandler->NegotiatedProtocol() : std::string();
}

void TqorTCPConnection_Vorn::DoBeforeDisconnect() {
  if (FOnBeforeDisconnect) FOnBeforeDisconnect(this);
}

void TqorTCPConnection_Vorn::ClearInputBuffer() {
  TIdTCPConnection* LConnection = FTCPConnection;
  TIdIOHandler* LHandler = LConnection ? LConnection->IOHandler() : nullptr;
  if (LHandler && !LHandler->InputBufferIsEmpty()) LHandler->InputBuffer()->Clear();
}

void TqorTCPConnection_Vorn::DisconnectPeer() {
  DoBeforeDisconnect();
  TIdTCPConnection* LConnection = FTCPConnection;
  if (!LConnection || !LConnection->IOHandler()) return;
  SetDisconnected(true);
  LConnection->IOHandler()->WriteBufferClear();
  ClearInputBuffer();
  LConnection->Disconnect(false);
}

void TqorTCPConnection_Vorn::DoWriteBytes(const TIdBytes& aBytes) {
  IOHandler().Write(aBytes);
  AddSendBytes(static_cast<int64_t>(aBytes.size()));
}

void TqorTCPConnection_Vorn::DoWriteLine(const std::string& aText) {
  IOHandler().WriteLn(aText);
}
void TqorTCPConnection_Vorn::DoWriteBufferOpen() {
  IOHandler().WriteBufferOpen();
}
void TqorTCPConnection_Vorn::DoWriteBufferFlush() {
  IOHandler().WriteBufferFlush();
}
void TqorTCPConnection_Vorn::DoWriteBufferClose() {
  IOHandler().WriteBufferClose();
}

void TqorTCPConnection_Vorn::DoReadBytes(TIdBytes& aBytes, int aCount) {
  IOHandler().ReadBytes(aBytes, aCount, true);
  AddRecBytes(aCount);
}

int TqorTCPConnection_Vorn::GetInputBufferSize() {
  TIdTCPConnection* LConnection = FTCPConnection;
  TIdIOHandler* LHandler = LConnection ? LConnection->IOHandler() : nullptr;
  return LHandler && LHandler->InputBuffer() ? LHandler->InputBuffer()->Size() : 0;
}

// Asking the socket (TIdTCPConnection::Connected) would read from it on a thread other than
// the reading thread; the handler's open state and this object's own flag say the same.
bool TqorTCPConnection_Vorn::GetActive() {
  TIdTCPConnection* LConnection = FTCPConnection;
  TIdIOHandler* LHandler = LConnection ? LConnection->IOHandler() : nullptr;
  return LHandler && !Disconnected() && LHandler->Opened();
}

void TqorTCPConnection_Vorn::CacheAddresses() {
  if (FAddressesCached) return;
  TIdTCPConnection* LConnection = FTCPConnection;
  TIdIOHandlerSocket* LSocket = LConnection ? LConnection->Socket() : nullptr;
  if (!LSocket || !LSocket->BindingAllocated()) return;
  try {
    TIdSocketHandle* LBinding = LSocket->Binding();
    FIP = LBinding->PeerIP();
    FPort = LBinding->PeerPort();
    FLocalIP = LBinding->IP();
    FLocalPort = LBinding->Port();
    FIPVersion = LBinding->IPVersion() == Id_IPv6 ? ipV6 : ipV4;
    FAddressesCached = true;
  } catch (...) {
  }
}

std::string TqorTCPConnection_Vorn::GetIP() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  CacheAddresses();
  return FIP;
}

std::string TqorTCPConnection_Vorn::GetLocalIP() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  CacheAddresses();
  return FLocalIP;
}

int TqorTCPConnection_Vorn::GetLocalPort() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  CacheAddresses();
  return FLocalPort;
}

int TqorTCPConnection_Vorn::GetPort() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  CacheAddresses();
  return FPort;
}

TwsIPVersion TqorTCPConnection_Vorn::GetIPVersion() {
  std::lock_guard<std::mutex> LGuard(FFieldLock);
  CacheAddresses();
  return FIPVersion;
}

// ---- TqorTCPConnectionClient ----

void TqorTCPConnectionClient::SetTCPConnection(TIdTCPConnection* aConnection) {
  FTCPConnection = aConnection;
  if (aConnection) {
    std::lock_guard<std::mutex> LGuard(FFieldLock);
    CacheAddresses();
  }
}

void TqorTCPConnectionClient::DoBinary(TMemoryStream& aStream) {
  if (FOnBinary) FOnBinary(this, aStream);
}

// The frame goes straight into MsgBinaryReceived, which the component would copy it into.
void TqorTCPConnectionClient::DeliverFrame(TIdBytes&& aBytes) {
  TMemoryStream& LStream = MsgBinaryReceived();
  LStream.Adopt(std::move(aBytes));
  DoBinary(LStream);
}

void TqorTCPConnectionClient::ReadData() {
  auto LGoOn = [this] {
    return HasTCPConnection() && GetInputBufferSize() > 0 && !Disconnected() && !MustDisconnect();
  };
  while (LGoOn()) {
    ReadFrame();
    if (LGoOn()) IOHandler().CheckForDataOnSource(10);
  }
}

void TqorTCPConnectionClient::ReadFrame() {
  const int N = GetInputBufferSize();
  TIdBytes B;
  if (N > 0) DoReadBytes(B, N);
  FFrames.Add(std::move(B), TCPEndOfFrameScanBuffer(), TCPEndOfFrame());
  TIdBytes LFrame;
  while (!Disconnected() && !MustDisconnect() && FFrames.Next(LFrame))
    DeliverFrame(std::move(LFrame));
  const size_t LMax = MaxPendingBytes();
  if (FFrames.PendingSize() > LMax) {
    const size_t LSize = FFrames.PendingSize();
    FFrames.ClearPending();
    throw EqorTCPFrameTooLarge(
        Format("No end-of-frame delimiter within %zu bytes: %zu pending bytes were dropped.", LMax,
               LSize));
  }
}

// ---- TqorTCPNotifyObject ----

TqorTCPNotifyObject::~TqorTCPNotifyObject() {
  FRawException = nullptr;
}

TMemoryStream& TqorTCPNotifyObject::Stream() {
  if (!FStream) FStream = std::make_unique<TMemoryStream>();
  return *FStream;
}

void TqorTCPNotifyObject::KeepException(std::exception_ptr aError) {
  FError = std::move(aError);
  FRawException = nullptr;
  if (!FError) return;
  try {
    std::rethrow_exception(FError);
  } catch (Exception& E) {
    FRawException = &E;  // lives as long as FError
  } catch (...) {
  }
}

// ---- TqorTCPObjectList ----

TqorTCPObjectList::~TqorTCPObjectList() {
  DeleteAll(false);
}

void TqorTCPObjectList::Append(std::unique_ptr<TqorTCPNotifyObject> aItem) {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  FList.push_back(aItem.get());
  aItem.release();
}

TqorTCPNotifyObject& TqorTCPObjectList::Last() {
  return *static_cast<TqorTCPNotifyObject*>(FList.back());
}

void TqorTCPObjectList::AddNotifyObject(TqorTCPConnection* aConnection) {
  auto LItem = std::make_unique<TqorTCPNotifyObject>();
  LItem->SetConnection(aConnection);
  Append(std::move(LItem));
}

void TqorTCPObjectList::AddNotifyObject(TqorTCPConnection* aConnection, const std::string& aParam) {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  AddNotifyObject(aConnection);
  Last().SetText(aParam);
}

void TqorTCPObjectList::AddNotifyObject(TqorTCPConnection* aConnection, TMemoryStream& aParam) {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  AddNotifyObject(aConnection);
  const uint8_t* LData = aParam.Memory();
  Last().Stream().Adopt(TIdBytes(LData, LData + aParam.Size()));
}

void TqorTCPObjectList::AddNotifyObject(TqorTCPConnection* aConnection, const std::string& aParam,
                                        Exception* aException) {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  AddNotifyObject(aConnection, aParam);
  Last().SetRawException(aException);
}

void TqorTCPObjectList::DeleteAll(bool aFreeConnection) {
  while (std::unique_ptr<TqorTCPNotifyObject> LItem = TakeFirst()) {
    TqorTCPConnection* LConnection = LItem->Connection();
    if (aFreeConnection && LItem->Int() == nkDisconnect && LConnection && !LItem->Ended()) {
      ForgetConnection(LConnection);
      try {
        LConnection->Free();
      } catch (...) {
      }
    }
  }
}

std::unique_ptr<TqorTCPNotifyObject> TqorTCPObjectList::TakeFirst() {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  if (FList.empty()) return nullptr;
  std::unique_ptr<TqorTCPNotifyObject> LItem(static_cast<TqorTCPNotifyObject*>(FList.front()));
  FList.erase(FList.begin());
  return LItem;
}

bool TqorTCPObjectList::IsEmpty() {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  return FList.empty();
}

void TqorTCPObjectList::ForgetConnection(const TqorTCPConnection* aConnection) {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  for (void* p : FList) {
    auto* LItem = static_cast<TqorTCPNotifyObject*>(p);
    if (LItem->Connection() == aConnection) LItem->SetEnded(true);
  }
}

void TqorTCPObjectList::ForgetData(const TqorTCPConnection* aConnection) {
  std::lock_guard<TqorCriticalSection> LGuard(FLock);
  for (void* p : FList) {
    auto* LItem = static_cast<TqorTCPNotifyObject*>(p);
    if (LItem->Connection() == aConnection &&
        (LItem->Int() == nkBinary || LItem->Int() == nkMessage))
      LItem->SetEnded(true);
  }
}

// ---- TqorTCPComponent ----

TqorTCPComponent::TqorTCPComponent(TComponent* AOwner) : TqorTCPComponent_Base(AOwner) {}

TqorTCPComponent::~TqorTCPComponent() {
  EndDelivery();
  FPending.DeleteAll(true);
}

void TqorTCPComponent::DiscardPendingData(TqorTCPConnection* aConnection) {
  FPending.ForgetData(aConnection);
}

void TqorTCPComponent::EndDelivery() {
  BeginDestroy();
  FDelivery.Close();
}

void TqorTCPComponent::DoEventConnect(TqorTCPConnection* aConnection) {
  if (FOnConnect) FOnConnect(aConnection);
}

void TqorTCPComponent::DoEventDisconnect(TqorTCPConnection* aConnection) {
  if (FOnDisconnect) FOnDisconnect(aConnection);
}

void TqorTCPComponent::DoEventMessage(TqorTCPConnection* aConnection, const std::string& aText) {
  if (!FOnMessage) return;
  if (FQueueMessages)
    FQueueMessage.AddNotifyObject(aConnection, aText);
  else
    FOnMessage(aConnection, aText);
}

void TqorTCPComponent::DoEventBinary(TqorTCPConnection* aConnection, TMemoryStream& aStream) {
  if (!FOnBinary) return;
  if (FQueueMessages) {
    FQueueBinary.AddNotifyObject(aConnection, aStream);
  } else {
    aStream.SetPosition(0);
    FOnBinary(aConnection, aStream);
  }
}

void TqorTCPComponent::DoEventException(TqorTCPConnection* aConnection, const std::string& aText,
                                        Exception* E) {
  if (!FOnException) return;
  if (!E) {
    Exception LGeneral(aText);
    FOnException(aConnection, LGeneral);
  } else {
    if (E->Message().empty()) E->SetMessage(aText);
    FOnException(aConnection, *E);
  }
}

std::unique_ptr<TqorTCPNotifyObject> TqorTCPComponent::NewItem(TqorTCPNotifyKind aKind,
                                                               TqorTCPConnection* aConnection) {
  auto LItem = std::make_unique<TqorTCPNotifyObject>();
  LItem->SetInt(aKind);
  LItem->SetConnection(aConnection);
  return LItem;
}

void TqorTCPComponent::Notify(const std::function<void()>& aDirect,
                              std::unique_ptr<TqorTCPNotifyObject> aItem) {
  const TwsNotifyEvent LMode = NotifyEvents();
  if (LMode == neNoSync) {
    aDirect();
    return;
  }
  FPending.Append(std::move(aItem));
  if (IsMainThread())
    Dispatch(true);
  else if (LMode == neSynchronous)
    SynchronizeWithMainThread([this] { Dispatch(false); });
  else
    PostDispatch();
}

// One posted run delivers everything pending, so a run is posted again only once the queued
// one has begun: a stream of notifications does not wake the main thread for each.
void TqorTCPComponent::PostDispatch() {
  if (!FPosted.exchange(true))
    PostToMainThread(
        [this] {
          FPosted = false;
          Dispatch(false);
        },
        FDelivery);
}

void TqorTCPComponent::Dispatch(bool aRaisedHere) {
  if (IsDestroying() || (FDispatching && !aRaisedHere)) return;
  const std::shared_ptr<TMainThreadContext::TState> LLife = FDelivery.State();
  const bool LOuter = !FDispatching;
  FDispatching = true;
  try {
    while (std::unique_ptr<TqorTCPNotifyObject> LItem = FPending.TakeFirst()) {
      Deliver(*LItem, LLife);
      if (!TMainThreadContext::Alive(*LLife)) return;  // a handler destroyed the component
    }
  } catch (...) {
    if (TMainThreadContext::Alive(*LLife)) {
      if (LOuter) FDispatching = false;
      // The exception goes to the main thread's handling; what is still pending follows.
      if (!FPending.IsEmpty()) PostDispatch();
    }
    throw;
  }
  if (LOuter) FDispatching = false;
}

void TqorTCPComponent::Deliver(TqorTCPNotifyObject& aItem,
                               const std::shared_ptr<TMainThreadContext::TState>& aLife) {
  if (aItem.Ended()) return;
  TqorTCPConnection* LConnection = aItem.Connection();
  switch (aItem.Int()) {
    case nkConnect:
      DoEventConnect(LConnection);
      break;
    case nkDisconnect: {
      // A handler that destroyed the component left the connection to this delivery.
      auto LRelease = [&] {
        if (TMainThreadContext::Alive(*aLife))
          FreeConnection(LConnection);
        else
          LConnection->Free();
      };
      try {
        DoEventDisconnect(LConnection);
      } catch (...) {
        LRelease();
        throw;
      }
      LRelease();
      break;
    }
    case nkMessage:
      DoEventMessage(LConnection, aItem.Text());
      break;
    case nkBinary:
      DoEventBinary(LConnection, aItem.Stream());
      break;
    case nkException:
      DoEventException(LConnection, aItem.Text(), aItem.RawException());
      break;
  }
}

void TqorTCPComponent::DoNotifyConnect(TqorTCPConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  Notify([&] { DoEventConnect(aConnection); }, NewItem(nkConnect, aConnection));
}

void TqorTCPComponent::DoNotifyDisconnect(TqorTCPConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  Notify(
      [&] {
        try {
          DoEventDisconnect(aConnection);
        } catch (...) {
          FreeConnection(aConnection);
          throw;
        }
        FreeConnection(aConnection);
      },
      NewItem(nkDisconnect, aConnection));
}

void TqorTCPComponent::DoNotifyMessage(TqorTCPConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  const std::string LText = aConnection->MsgReceived();
  auto LItem = NewItem(nkMessage, aConnection);
  LItem->SetText(LText);
  Notify([&] { DoEventMessage(aConnection, LText); }, std::move(LItem));
}

void TqorTCPComponent::DoNotifyBinary(TqorTCPConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  TMemoryStream& LStream = aConnection->MsgBinaryReceived();
  auto LItem = NewItem(nkBinary, aConnection);
  // The frame moves on to the main thread: the reading thread is done with it.
  if (NotifyEvents() != neNoSync) LItem->Stream().Adopt(LStream.Release());
  Notify([&] { DoEventBinary(aConnection, LStream); }, std::move(LItem));
}

void TqorTCPComponent::DoNotifyException(TqorTCPConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  const std::string LText = aConnection->MsgException();
  Exception* E = aConnection->RawException();
  auto LItem = NewItem(nkException, aConnection);
  LItem->SetText(LText);
  LItem->KeepException(E ? E->Clone() : nullptr);
  Notify([&] { DoEventException(aConnection, LText, E); }, std::move(LItem));
}

void TqorTCPComponent::DoNotifyError(const std::string& aText, Exception* E) {
  if (IsDestroying()) return;
  auto LItem = NewItem(nkException, nullptr);
  LItem->SetText(aText);
  LItem->KeepException(E ? E->Clone() : nullptr);
  Notify([&] { DoEventException(nullptr, aText, E); }, std::move(LItem));
}

void TqorTCPComponent::DoException(TqorTCPConnection* aConnection, const std::string& aText,
                                   Exception* E) noexcept {
  try {
    if (FOnException) {
      if (aConnection) {
        aConnection->SetMsgException(aText);
        aConnection->SetRawException(E);
        try {
          DoNotifyException(aConnection);
        } catch (...) {
          aConnection->SetRawException(nullptr);
          throw;
        }
        aConnection->SetRawException(nullptr);
        aConnection->AfterException();
      } else {
        DoNotifyError(aText, E);
      }
    } else if (aConnection) {
      aConnection->AfterException();
    }
  } catch (...) {
  }
}

void TqorTCPComponent::DoCurrentException(TqorTCPConnection* aConnection) noexcept {
  try {
    throw;
  } catch (Exception& E) {
    DoException(aConnection, E.Message(), &E);
  } catch (std::exception& E) {
    DoException(aConnection, E.what(), nullptr);
  } catch (...) {
    DoException(aConnection, "Unknown exception", nullptr);
  }
}

void TqorTCPComponent::FreeConnection(TqorSocketConnection_Base* aConnection) {
  if (!aConnection) return;
  if (auto* LConnection = dynamic_cast<TqorTCPConnection*>(aConnection)) {
    for (TqorTCPObjectList* LList : {&FPending, &FQueueMessage, &FQueueBinary})
      LList->ForgetConnection(LConnection);
  }
  TqorTCPComponent_Base::FreeConnection(aConnection);
}

void TqorTCPComponent::DoSetQueueMessages(bool aValue) {
  if (FQueueProcessing) return;
  FQueueMessages = aValue;
  if (!aValue) FlushQueuedMessages();
}

// Held text events go first, then held binary events, whatever their arrival order.
void TqorTCPComponent::FlushQueuedMessages() {
  const std::shared_ptr<TMainThreadContext::TState> LLife = FDelivery.State();
  FQueueProcessing = true;
  struct TProcessing {
    std::atomic<bool>& Flag;
    const std::shared_ptr<TMainThreadContext::TState>& Life;
    ~TProcessing() {
      if (TMainThreadContext::Alive(*Life)) Flag = false;
    }
  } LProcessing{FQueueProcessing, LLife};
  for (TqorTCPObjectList* LList : {&FQueueMessage, &FQueueBinary}) {
    while (std::unique_ptr<TqorTCPNotifyObject> LItem = LList->TakeFirst()) {
      if (LItem->Ended()) continue;
      if (LList == &FQueueMessage)
        DoEventMessage(LItem->Connection(), LItem->Text());
      else
        DoEventBinary(LItem->Connection(), LItem->Stream());
      if (!TMainThreadContext::Alive(*LLife)) return;
    }
  }
}

void TqorTCPComponent::ClearQueuedMessages() {
  FQueueMessage.DeleteAll(false);
  FQueueBinary.DeleteAll(false);
}

// ---- Queued commands ----

TqorQueueCommand::TqorQueueCommand() {
  FID = CreateGuidDigits();
}

void TqorQueueCommands::AddCommand(TqorTCPCommands aCommand) {
  auto LItem = std::make_unique<TqorQueueCommand>();
  LItem->SetCommand(aCommand);
  AddItem(LItem.get());
  LItem.release();
}

void TqorQueueCommands::AddBytes(const TIdBytes& ABytes) {
  auto LItem = std::make_unique<TqorQueueCommand>();
  LItem->SetCommand(tcmWriteBytes);
  LItem->SetBytes(ABytes);
  AddItem(LItem.get());
  LItem.release();
}
