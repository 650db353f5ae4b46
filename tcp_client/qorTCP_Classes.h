#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "base/qorWebSocket_Classes_Queues.h"
#include "base/qorWebSocket_Classes_SyncObjs.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"
#include "platform/Stream.h"
#include "tcp_client/qorSocket_Classes.h"
#include "tcp_client/qorTCP_FrameAssembler.h"
#include "transport/IdException.h"
#include "transport/IdGlobal.h"

class TIdIOHandler;
class TIdTCPConnection;
class TqorTCPConnection;

using TqorTCPConnectEvent = std::function<void(TqorTCPConnection* Connection)>;
using TqorTCPDisconnectEvent = std::function<void(TqorTCPConnection* Connection)>;
using TqorTCPMessageEvent =
    std::function<void(TqorTCPConnection* Connection, const std::string& Text)>;
using TqorTCPBinaryEvent = std::function<void(TqorTCPConnection* Connection, TMemoryStream& Data)>;
// Connection is none for a failure that belongs to no connection (a failed connect).
using TqorTCPExceptionEvent = std::function<void(TqorTCPConnection* Connection, Exception& E)>;
using TqorTCPNotifyEvent = std::function<void(TqorTCPConnection* Sender)>;

// Bytes kept by eofScanAllBytes waiting for a delimiter went past the connection's bound.
QOR_DECLARE_EXCEPTION(EqorTCPFrameTooLarge, EIdException);

// ---- Connection objects ----

class TqorTCPConnection_Base : public TqorSocketConnection {
 public:
  // Default bound of the bytes eofScanAllBytes keeps while no delimiter has arrived.
  static constexpr size_t DefaultMaxPendingBytes = 16u * 1024u * 1024u;

  TqorTCPConnection_Base() = default;
  ~TqorTCPConnection_Base() override;

  const std::string& MsgReceived() const { return FMsgReceived; }
  void SetMsgReceived(const std::string& aValue) { FMsgReceived = aValue; }
  // The last frame handed to the component; meant for the reading thread and for handlers
  // that run on it (neNoSync).
  TMemoryStream& MsgBinaryReceived();
  std::string MsgException();
  void SetMsgException(const std::string& aValue);
  bool MustDisconnect() const { return FMustDisconnect; }
  void SetMustDisconnect(bool aValue) { FMustDisconnect = aValue; }

  TtcpEOFScanBuffer TCPEndOfFrameScanBuffer() const { return FTCPEndOfFrameScanBuffer; }
  void SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer aValue) { FTCPEndOfFrameScanBuffer = aValue; }
  TIdBytes TCPEndOfFrame();
  void AddTCPEndOfFrame(uint8_t aByte);
  void ClearTCPEndOfFrame();
  // eofScanAllBytes: the most bytes kept without a delimiter; beyond it they are dropped
  // and EqorTCPFrameTooLarge is reported.
  size_t MaxPendingBytes() const { return FMaxPendingBytes; }
  void SetMaxPendingBytes(size_t aValue) { FMaxPendingBytes = aValue; }

  // Hook run after an exception of this connection has been handed on.
  virtual void AfterException() {}

 private:
  std::string FMsgReceived;
  std::unique_ptr<TMemoryStream> FMsgBinaryReceived;
  std::string FMsgException;
  std::atomic<bool> FMustDisconnect{false};
  std::atomic<TtcpEOFScanBuffer> FTCPEndOfFrameScanBuffer{eofScanNone};
  std::atomic<size_t> FMaxPendingBytes{DefaultMaxPendingBytes};
  TIdBytes FTCPEndOfFrame;
};

class TqorTCPConnection : public TqorTCPConnection_Base {};

// Wraps the socket-level connection (not owned) and offers the write and read primitives.
class TqorTCPConnection_Vorn : public TqorTCPConnection {
 public:
  ~TqorTCPConnection_Vorn() override;

  TIdTCPConnection* TCPConnection() const { return FTCPConnection; }
  // The I/O handler of the attached connection; raises EIdNotConnected without one.
  TIdIOHandler& IOHandler();
  const TqorTCPNotifyEvent& OnBeforeDisconnect() const { return FOnBeforeDisconnect; }
  void SetOnBeforeDisconnect(TqorTCPNotifyEvent aValue) { FOnBeforeDisconnect = std::move(aValue); }

  virtual bool HasTCPConnection() const { return FTCPConnection != nullptr; }
  virtual void DoBeforeDisconnect();
  virtual void ClearInputBuffer();
  virtual void DisconnectPeer();
  virtual void DoWriteBytes(const TIdBytes& aBytes);
  virtual void DoWriteLine(const std::string& aText);
  virtual void DoWriteBufferOpen();
  virtual void DoWriteBufferFlush();
  virtual void DoWriteBufferClose();
  virtual void DoReadBytes(TIdBytes& aBytes, int aCount);
  virtual int GetInputBufferSize();

 protected:
  bool GetActive() override;
  std::string GetIP() override;
  std::string GetLocalIP() override;
  int GetLocalPort() override;
  int GetPort() override;
  TwsIPVersion GetIPVersion() override;
  // Reads every address field of the attached socket into the caches once (call under
  // FFieldLock); read failures are swallowed.
  void CacheAddresses();

  // Written by the thread that connects or ends the connection, read by any.
  std::atomic<TIdTCPConnection*> FTCPConnection{nullptr};

 private:
  TqorTCPNotifyEvent FOnBeforeDisconnect;
  bool FAddressesCached = false;
};

// The connection object of TqorTCPCLient: turns received bytes into frames.
class TqorTCPConnectionClient : public TqorTCPConnection_Vorn {
 public:
  const TqorTCPBinaryEvent& OnBinary() const { return FOnBinary; }
  void SetOnBinary(TqorTCPBinaryEvent aValue) { FOnBinary = std::move(aValue); }

  // One read: takes every waiting byte and delivers the frames the scan mode finds.
  virtual void ReadFrame();
  // Reads frames while bytes wait and the connection is not being closed.
  virtual void ReadData();
  // Attaches the socket-level connection and caches its addresses at once.
  virtual void SetTCPConnection(TIdTCPConnection* aConnection);
  virtual void DoBinary(TMemoryStream& aStream);
  // The protocol the TLS handler negotiated (ALPN); empty without TLS or without one.
  std::string ALPNProtocol() const;

 private:
  void DeliverFrame(TIdBytes&& aBytes);

  TqorTCPBinaryEvent FOnBinary;
  TqorTCPFrameAssembler FFrames;  // the reading thread's only
};

// ---- Pending notifications ----

// What a pending notification raises.
enum TqorTCPNotifyKind { nkConnect, nkDisconnect, nkMessage, nkBinary, nkException };

class TqorTCPNotifyObject {
 public:
  TqorTCPNotifyObject() = default;
  ~TqorTCPNotifyObject();
  TqorTCPNotifyObject(const TqorTCPNotifyObject&) = delete;
  TqorTCPNotifyObject& operator=(const TqorTCPNotifyObject&) = delete;

  TqorTCPConnection* Connection() const { return FConnection; }
  void SetConnection(TqorTCPConnection* aValue) { FConnection = aValue; }
  // The kind (TqorTCPNotifyKind) of a pending notification.
  int Int() const { return FInt; }
  void SetInt(int aValue) { FInt = aValue; }
  Exception* RawException() const { return FRawException; }
  void SetRawException(Exception* aValue) { FRawException = aValue; }
  TMemoryStream& Stream();
  const std::string& Text() const { return FText; }
  void SetText(const std::string& aValue) { FText = aValue; }
  const std::string& Text1() const { return FText1; }
  void SetText1(const std::string& aValue) { FText1 = aValue; }
  // A copy of the caught exception, of its own class, for a delivery on another thread;
  // RawException points into it.
  void KeepException(std::exception_ptr aError);
  // Set when the item's connection has been released: nothing of it is raised any more.
  bool Ended() const { return FEnded; }
  void SetEnded(bool aValue) { FEnded = aValue; }

 private:
  TqorTCPConnection* FConnection = nullptr;
  int FInt = 0;
  Exception* FRawException = nullptr;
  std::unique_ptr<TMemoryStream> FStream;
  std::string FText;
  std::string FText1;
  std::exception_ptr FError;
  bool FEnded = false;
};

// Locked FIFO of notify objects, which it owns.
class TqorTCPObjectList : public TqorThreadList {
 public:
  ~TqorTCPObjectList() override;

  void AddNotifyObject(TqorTCPConnection* aConnection);
  void AddNotifyObject(TqorTCPConnection* aConnection, const std::string& aParam);
  void AddNotifyObject(TqorTCPConnection* aConnection, TMemoryStream& aParam);
  void AddNotifyObject(TqorTCPConnection* aConnection, const std::string& aParam,
                       Exception* aException);
  // Frees every notify object and, with aFreeConnection, the connections of pending
  // disconnects (nobody else will).
  void DeleteAll(bool aFreeConnection);

  void Append(std::unique_ptr<TqorTCPNotifyObject> aItem);
  // Removes the head; none when empty.
  std::unique_ptr<TqorTCPNotifyObject> TakeFirst();
  bool IsEmpty();
  // The connection is being released: its items are dropped instead of raised.
  void ForgetConnection(const TqorTCPConnection* aConnection);
  // The application closes the connection: data it has not seen yet goes with the socket's.
  void ForgetData(const TqorTCPConnection* aConnection);

 private:
  TqorTCPNotifyObject& Last();
};

// ---- Components ----

class TqorTCPComponent_Base : public TqorSocketComponent_Base {
 public:
  using TqorSocketComponent_Base::TqorSocketComponent_Base;
  const char* ClassName() const override { return "TqorTCPComponent_Base"; }
};

// Event layer: every event goes through DoNotify..., which calls the handler at once
// (neNoSync) or appends it to one ordered list of pending notifications that the main thread
// delivers (neAsynchronous posts without waiting, neSynchronous waits). Events therefore reach
// the handlers in the order they were raised, each exactly once.
class TqorTCPComponent : public TqorTCPComponent_Base {
 public:
  explicit TqorTCPComponent(TComponent* AOwner);
  ~TqorTCPComponent() override;
  const char* ClassName() const override { return "TqorTCPComponent"; }

  bool QueueMessages() const { return FQueueMessages; }
  void SetQueueMessages(bool aValue) { DoSetQueueMessages(aValue); }
  // Discards every held text and binary event.
  void QueueClear() { ClearQueuedMessages(); }

 protected:
  // Handlers are set before the component is activated.
  const TqorTCPConnectEvent& OnConnect() const { return FOnConnect; }
  void SetOnConnect(TqorTCPConnectEvent aValue) { FOnConnect = std::move(aValue); }
  const TqorTCPDisconnectEvent& OnDisconnect() const { return FOnDisconnect; }
  void SetOnDisconnect(TqorTCPDisconnectEvent aValue) { FOnDisconnect = std::move(aValue); }
  const TqorTCPMessageEvent& OnMessage() const { return FOnMessage; }
  void SetOnMessage(TqorTCPMessageEvent aValue) { FOnMessage = std::move(aValue); }
  const TqorTCPBinaryEvent& OnBinary() const { return FOnBinary; }
  void SetOnBinary(TqorTCPBinaryEvent aValue) { FOnBinary = std::move(aValue); }
  const TqorTCPExceptionEvent& OnException() const { return FOnException; }
  void SetOnException(TqorTCPExceptionEvent aValue) { FOnException = std::move(aValue); }

  virtual void DoEventConnect(TqorTCPConnection* aConnection);
  virtual void DoEventDisconnect(TqorTCPConnection* aConnection);
  virtual void DoEventMessage(TqorTCPConnection* aConnection, const std::string& aText);
  virtual void DoEventBinary(TqorTCPConnection* aConnection, TMemoryStream& aStream);
  virtual void DoEventException(TqorTCPConnection* aConnection, const std::string& aText,
                                Exception* E);
  virtual void DoNotifyConnect(TqorTCPConnection* aConnection);
  virtual void DoNotifyDisconnect(TqorTCPConnection* aConnection);
  virtual void DoNotifyMessage(TqorTCPConnection* aConnection);
  virtual void DoNotifyBinary(TqorTCPConnection* aConnection);
  virtual void DoNotifyException(TqorTCPConnection* aConnection);
  virtual void DoNotifyError(const std::string& aText, Exception* E);
  // The one way a caught exception reaches OnException; never raises.
  virtual void DoException(TqorTCPConnection* aConnection, const std::string& aText,
                           Exception* E) noexcept;
  virtual void DoSetQueueMessages(bool aValue);
  virtual void FlushQueuedMessages();
  virtual void ClearQueuedMessages();

  // Each delivers every pending notification, of every kind, in order.
  void DispatchConnect() { Dispatch(false); }
  void DispatchDisconnect() { Dispatch(false); }
  void DispatchMessage() { Dispatch(false); }
  void DispatchBinary() { Dispatch(false); }
  void DispatchException() { Dispatch(false); }

  // For use inside a catch block: hands the exception being handled to DoException.
  void DoCurrentException(TqorTCPConnection* aConnection) noexcept;
  // Drops the connection's pending notifications, then frees it.
  void FreeConnection(TqorSocketConnection_Base* aConnection) override;
  // The application closes the connection: its received data still pending is dropped, as the
  // socket's unread bytes are.
  void DiscardPendingData(TqorTCPConnection* aConnection);
  // No event from here on: marks the destruction and withdraws posted deliveries, waiting
  // for one the main thread is running. The most derived destructor calls it first.
  void EndDelivery();

 private:
  // neNoSync: aDirect at once. Otherwise appends aItem and has the main thread deliver it.
  void Notify(const std::function<void()>& aDirect, std::unique_ptr<TqorTCPNotifyObject> aItem);
  // aRaisedHere: raised by the main thread's own call, so it runs even inside a handler, as
  // the call is made there; a posted run waits until the running one has returned.
  void Dispatch(bool aRaisedHere);
  void Deliver(TqorTCPNotifyObject& aItem,
               const std::shared_ptr<TMainThreadContext::TState>& aLife);
  void PostDispatch();
  std::unique_ptr<TqorTCPNotifyObject> NewItem(TqorTCPNotifyKind aKind,
                                               TqorTCPConnection* aConnection);

  std::atomic<bool> FQueueMessages{false};
  TqorTCPObjectList FQueueMessage;
  TqorTCPObjectList FQueueBinary;
  TqorTCPConnectEvent FOnConnect;
  TqorTCPDisconnectEvent FOnDisconnect;
  TqorTCPMessageEvent FOnMessage;
  TqorTCPBinaryEvent FOnBinary;
  TqorTCPExceptionEvent FOnException;
  TqorTCPObjectList FPending;
  bool FDispatching = false;         // main thread only
  std::atomic<bool> FPosted{false};  // a run is queued and has not begun yet
  std::atomic<bool> FQueueProcessing{false};
  TMainThreadContext FDelivery;
};

// ---- Queued commands ----

enum TqorTCPCommands { tcmNone, tcmActive, tcmNotActive, tcmWriteBytes };

class TqorQueueCommand : public TqorQueueItemBase {
 public:
  // The ID is a fresh GUID of 32 hexadecimal digits.
  TqorQueueCommand();
  const TIdBytes& Bytes() const { return FBytes; }
  void SetBytes(const TIdBytes& aValue) { FBytes = aValue; }
  TqorTCPCommands Command() const { return FCommand; }
  void SetCommand(TqorTCPCommands aValue) { FCommand = aValue; }

 private:
  TIdBytes FBytes;
  TqorTCPCommands FCommand = tcmNone;
};

class TqorQueueCommands : public TqorQueue {
 public:
  void AddCommand(TqorTCPCommands aCommand);
  // The item keeps its own copy of the bytes.
  void AddBytes(const TIdBytes& ABytes);
};
