#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Stream.h"
#include "platform/StringList.h"
#include "transport/IdBuffer.h"
#include "transport/IdComponent.h"
#include "transport/IdGlobal.h"
#include "transport/IdIntercept.h"
#include "transport/IdWakeSignal.h"

class TIdIOHandler;

// Stands in for a class reference in the handler registry: a name, the parent class and a
// factory (nullptr for abstract classes).
struct TIdIOHandlerClass {
  const char* Name;
  const TIdIOHandlerClass* Parent;
  TIdIOHandler* (*Create)(TComponent* AOwner);
  bool InheritsFrom(const TIdIOHandlerClass* ABase) const;
};

// Buffered reading and writing over an abstract transport. Bytes enter InputBuffer only
// through FillInputBuffer; writes go out directly or through an optional write buffer.
class TIdIOHandler : public TIdComponent {
 public:
  static const TIdIOHandlerClass IdClass;

 protected:
  explicit TIdIOHandler(TComponent* AOwner = nullptr);

 public:
  ~TIdIOHandler() override;
  const char* ClassName() const override { return "TIdIOHandler"; }
  virtual const TIdIOHandlerClass* ClassType() const { return &IdClass; }

  // Registry of handler classes (no duplicates); TIdIOHandlerStack is the default.
  static void RegisterIOHandler(const TIdIOHandlerClass* AClass);
  static const TIdIOHandlerClass* DefaultClass();
  static TIdIOHandler* MakeDefaultIOHandler(TComponent* AOwner = nullptr);
  // The most recently registered class descending from ABaseType; raises EIdException
  // "No IOHandler of type %s is installed." when there is none.
  static TIdIOHandler* MakeIOHandler(const TIdIOHandlerClass* ABaseType,
                                     TComponent* AOwner = nullptr);
  // As MakeIOHandler, but nullptr when no class matches.
  static TIdIOHandler* TryMakeIOHandler(const TIdIOHandlerClass* ABaseType,
                                        TComponent* AOwner = nullptr);

  // The transport.
  virtual int ReadFromTransport(TIdBytes& VBuffer) = 0;
  virtual int WriteToTransport(const TIdBytes& ABuffer, int AOffset, int ALength) = 0;
  virtual bool TransportAvailable() = 0;
  // For a transport that reports failures by result: the error code of a -1 result that
  // means reset, abort, shut-down or time-out; other failures raise.
  virtual int CheckTransportResult(int AResult) = 0;
  [[noreturn]] virtual void RaiseTransportError(int AErr) = 0;

  // State and polling.
  virtual void Open();
  virtual void Close();
  virtual bool Connected();
  virtual void CloseGracefully() { FClosedGracefully = true; }
  virtual void AfterAccept() {}
  virtual void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true,
                                  bool AIgnoreBuffer = false) = 0;
  // True when bytes arrived; never raises for a time-out or a disconnect.
  virtual bool CheckForDataOnSource(int ATimeout = 0);
  bool InputBufferIsEmpty() const { return !FInputBuffer || FInputBuffer->Size() == 0; }
  virtual bool Readable(int AMSec = IdTimeoutDefault);
  // > 0: bytes appended; 0: the transport is gone; -1: the wait timed out.
  int FillInputBuffer(bool ARaiseExceptionIfDisconnected = true, int ATimeout = IdTimeoutDefault,
                      bool ARaiseExceptionOnTimeout = true);

  // ---- What a reading thread asks of the layers that carry the bytes ----
  // A plain socket, a TLS session and a proxied socket each answer for themselves; a reader
  // needs nothing else, and no cast. One step: WaitReadableOrWoken, then ReceiveReady when it
  // said so, else AWake.Take().
  //
  // Sleeps until a receive is due or AWake is raised; true when a receive is due: a layer
  // holds application bytes already, or the transport is readable (bytes, a close, an error)
  // or gone. Never true for bytes that cannot become application bytes yet (part of a record),
  // so a stalled peer costs no wake-ups.
  virtual bool WaitReadableOrWoken(const TIdWakeSignal& AWake);
  // One receive into InputBuffer without waiting. Results as FillInputBuffer's; 0 also when
  // nothing new reached the buffer, -1 when the bytes that came make no whole unit yet.
  virtual int ReceiveReady();
  // Received application bytes (or a failure to report) held inside a layer, beyond what the
  // transport itself still shows.
  virtual bool HoldsApplicationBytes() { return false; }
  // The application protocol (ALPN) the layer agreed with the peer, as the connection object
  // reports it; empty for a layer that negotiates none.
  virtual std::string NegotiatedProtocol() { return {}; }
  // Ends a stream that a failed read or write has left in an unknown state: nothing more goes
  // through it, and a reader waiting on it wakes to a failure or a close. Any thread.
  virtual void AbortAfterFailure() {}
  // A connect (Open) that another thread may end: every wait of the lookup and the TCP connect
  // also waits on ACancel (none: no cancel), and AbortAfterFailure after raising it ends the
  // handshakes that follow. The cancelled Open raises EIdConnectCancelled, or another silent
  // failure.
  void SetConnectCancel(const TIdWakeSignal* ACancel) { FConnectCancel = ACancel; }
  const TIdWakeSignal* ConnectCancel() const { return FConnectCancel; }
  // The one deadline (a GetTickCount64 value; 0: none) of connect work begun at AStartedAt:
  // ConnectTimeout counted from there, or AFallbackMs when ConnectTimeout sets no limit (0
  // or less: none either). The TCP connect and the proxy handshakes count from OpenedAt; a
  // TLS handshake from its own start, falling back on the session's read time-out.
  uint64_t ConnectDeadline(uint64_t AStartedAt, int AFallbackMs = 0) const;

  // Reading; every read first consumes what InputBuffer already holds.
  virtual void ReadBytes(TIdBytes& VBuffer, int AByteCount, bool AAppend = true);
  std::string ReadLn(IIdTextEncoding AEncoding = nullptr);
  std::string ReadLn(const std::string& ATerminator, IIdTextEncoding AEncoding = nullptr);
  // An empty terminator means LF, with which CR LF ends a line too. On a time-out the result
  // is empty, ReadLnTimedout() is true and the partial line stays buffered.
  virtual std::string ReadLn(const std::string& ATerminator, int ATimeout, int AMaxLineLength = -1,
                             IIdTextEncoding AEncoding = nullptr);
  // Lines up to the delimiter line (consumed, not stored); an empty delimiter stops at the
  // first empty line. With dot transparency a leading ".." loses one dot.
  void Capture(TStringList& ADest, const std::string& ADelim = ".",
               bool AUsesDotTransparency = true, IIdTextEncoding AEncoding = nullptr);
  void Capture(TStream& ADest, const std::string& ADelim = ".", bool AUsesDotTransparency = true,
               IIdTextEncoding AEncoding = nullptr);
  void Discard(int64_t AByteCount);
  // Reads and drops everything until the peer closes.
  void DiscardAll();

  // Writing; a write returns once the transport has accepted every byte, or raises.
  virtual void Write(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);
  virtual void Write(const std::string& AText, IIdTextEncoding AEncoding = nullptr);
  void Write(uint8_t AValue);
  // In network byte order.
  void Write(uint16_t AValue);
  virtual void WriteLn(IIdTextEncoding AEncoding = nullptr);
  // The text and its CR LF go out as one write.
  virtual void WriteLn(const std::string& AText, IIdTextEncoding AEncoding = nullptr);
  // Bypasses the write buffer.
  void WriteDirect(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);

  // Write buffering; a threshold of 0 or less never flushes on its own.
  virtual void WriteBufferOpen(int AThreshold = -1);
  virtual void WriteBufferFlush(int AByteCount = -1);
  virtual void WriteBufferClose();
  virtual void WriteBufferCancel();
  virtual void WriteBufferClear();
  bool WriteBufferingActive() const { return FWriteBuffer != nullptr; }

  TIdBuffer* InputBuffer() const { return FInputBuffer.get(); }
  TIdBuffer* WriteBuffer() const { return FWriteBuffer.get(); }
  int WriteBufferThreshold() const { return FWriteBufferThreshold; }
  void SetWriteBufferThreshold(int AValue) { FWriteBufferThreshold = AValue; }
  int RecvBufferSize() const { return FRecvBufferSize; }
  void SetRecvBufferSize(int AValue) { FRecvBufferSize = AValue; }
  int SendBufferSize() const { return FSendBufferSize; }
  void SetSendBufferSize(int AValue) { FSendBufferSize = AValue; }
  int MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(int AValue) { FMaxLineLength = AValue; }
  TIdMaxLineAction MaxLineAction() const { return FMaxLineAction; }
  void SetMaxLineAction(TIdMaxLineAction AValue) { FMaxLineAction = AValue; }
  int MaxCapturedLines() const { return FMaxCapturedLines; }
  void SetMaxCapturedLines(int AValue) { FMaxCapturedLines = AValue; }
  int ReadTimeout() const { return FReadTimeOut; }
  void SetReadTimeout(int AValue) { FReadTimeOut = AValue; }
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int AValue) { FConnectTimeout = AValue; }
  bool LargeStream() const { return FLargeStream; }
  void SetLargeStream(bool AValue) { FLargeStream = AValue; }
  bool Opened() const { return FOpened; }
  // Steady-clock milliseconds of the last Open: where a connect attempt's time began.
  uint64_t OpenedAt() const { return FOpenedAt; }
  bool ClosedGracefully() const { return FClosedGracefully; }
  bool ReadLnSplit() const { return FReadLnSplit; }
  bool ReadLnTimedout() const { return FReadLnTimedOut; }
  const std::string& Host() const { return FHost; }
  virtual void SetHost(const std::string& AValue) { FHost = AValue; }
  int Port() const { return FPort; }
  virtual void SetPort(int AValue) { FPort = AValue; }
  virtual std::string Destination() const { return FDestination; }
  virtual void SetDestination(const std::string& AValue) { FDestination = AValue; }
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  virtual void SetIntercept(TIdConnectionIntercept* AValue);
  IIdTextEncoding DefStringEncoding() const { return FDefStringEncoding; }
  // nullptr selects the process default.
  void SetDefStringEncoding(IIdTextEncoding AValue);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  [[noreturn]] void RaiseConnClosedGracefully();
  // The engine of every Capture form; each line goes to AStore.
  virtual void CaptureLines(const std::function<void(const std::string&)>& AStore, int& VLineCount,
                            const std::string& ADelim, bool AUsesDotTransparency,
                            IIdTextEncoding AEncoding);
  IIdTextEncoding EncodingOrDef(IIdTextEncoding AEncoding) const;

  std::unique_ptr<TIdBuffer> FInputBuffer;
  std::unique_ptr<TIdBuffer> FWriteBuffer;
  int FWriteBufferThreshold = 0;
  int FRecvBufferSize = 32768;
  int FSendBufferSize = 32768;
  int FMaxLineLength = 16384;
  TIdMaxLineAction FMaxLineAction = maException;
  int FMaxCapturedLines = -1;
  int FReadTimeOut = -1;
  int FConnectTimeout = 0;
  bool FLargeStream = false;
  // Read by the reading thread and written by the writing one.
  std::atomic<bool> FOpened{false};
  std::atomic<bool> FClosedGracefully{false};
  uint64_t FOpenedAt = 0;
  bool FReadLnSplit = false;
  bool FReadLnTimedOut = false;
  std::string FHost;
  int FPort = 0;
  std::string FDestination;
  TIdConnectionIntercept* FIntercept = nullptr;
  IIdTextEncoding FDefStringEncoding;
  const TIdWakeSignal* FConnectCancel = nullptr;

 private:
  // WriteDirect that keeps VSent (the caller's bytes the transport has taken) up to date, so
  // that it is right also when the write raises part way.
  void WriteDirect(const TIdBytes& ABuffer, int ALength, int AOffset, int& VSent);
  // One receive from a readable transport into InputBuffer; FillInputBuffer's results, and 0
  // also when an intercept kept the block back.
  int ReceiveOnce(bool ARaiseExceptionIfDisconnected, bool ARaiseExceptionOnTimeout);

  TIdBytes FRecvBuffer;  // reused by every receive
};
