#include "transport/IdIOHandler.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/SysUtils.h"
#include "transport/IdException.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdStack.h"

namespace {

struct TRegistry {
  std::mutex Lock;
  std::vector<const TIdIOHandlerClass*> Classes{&TIdIOHandlerStack::IdClass};
  const TIdIOHandlerClass* Default = &TIdIOHandlerStack::IdClass;
};

TRegistry& Registry() {
  static TRegistry LRegistry;
  return LRegistry;
}

}  // namespace

const TIdIOHandlerClass TIdIOHandler::IdClass = {"TIdIOHandler", nullptr, nullptr};

bool TIdIOHandlerClass::InheritsFrom(const TIdIOHandlerClass* ABase) const {
  for (const TIdIOHandlerClass* C = this; C; C = C->Parent) {
    if (C == ABase) return true;
  }
  return false;
}

void TIdIOHandler::RegisterIOHandler(const TIdIOHandlerClass* AClass) {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  if (std::find(R.Classes.begin(), R.Classes.end(), AClass) == R.Classes.end()) {
    R.Classes.push_back(AClass);
  }
}

const TIdIOHandlerClass* TIdIOHandler::DefaultClass() {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> LGuard(R.Lock);
  return R.Default;
}

TIdIOHandler* TIdIOHandler::MakeDefaultIOHandler(TComponent* AOwner) {
  return DefaultClass()->Create(AOwner);
}

TIdIOHandler* TIdIOHandler::TryMakeIOHandler(const TIdIOHandlerClass* ABaseType,
                                             TComponent* AOwner) {
  const TIdIOHandlerClass* LFound = nullptr;
  {
    TRegistry& R = Registry();
    std::lock_guard<std::mutex> LGuard(R.Lock);
    for (auto It = R.Classes.rbegin(); It != R.Classes.rend() && !LFound; ++It) {
      if ((*It)->Create && (*It)->InheritsFrom(ABaseType)) LFound = *It;
    }
  }
  return LFound ? LFound->Create(AOwner) : nullptr;
}

TIdIOHandler* TIdIOHandler::MakeIOHandler(const TIdIOHandlerClass* ABaseType, TComponent* AOwner) {
  TIdIOHandler* LHandler = TryMakeIOHandler(ABaseType, AOwner);
  if (!LHandler) throw EIdException(Format(RSIOHandlerTypeNotInstalled, ABaseType->Name));
  return LHandler;
}

TIdIOHandler::TIdIOHandler(TComponent* AOwner)
    : TIdComponent(AOwner), FDefStringEncoding(&TEncoding::ASCII()) {
  FInputBuffer =
      std::make_unique<TIdBuffer>([this](TIdBuffer*, int ABytes) { DoWork(wmRead, ABytes); });
}

TIdIOHandler::~TIdIOHandler() {
  Destroying();
  // Derived handlers have released their transport already; this tells the intercept.
  if (FOpened) {
    try {
      TIdIOHandler::Close();
    } catch (const std::exception&) {
      // A destructor must not throw; the handler is gone either way.
    }
  }
}

IIdTextEncoding TIdIOHandler::EncodingOrDef(IIdTextEncoding AEncoding) const {
  return AEncoding ? AEncoding : IdEncodingOrDefault(FDefStringEncoding);
}

void TIdIOHandler::SetDefStringEncoding(IIdTextEncoding AValue) {
  FDefStringEncoding = AValue ? AValue : IdDefaultTextEncoding();
}

void TIdIOHandler::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (FIntercept) RemoveFreeNotification(FIntercept);
  FIntercept = AValue;
  if (FIntercept) FreeNotification(FIntercept);
}

void TIdIOHandler::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == static_cast<TComponent*>(FIntercept)) {
    FIntercept = nullptr;
  }
  TIdComponent::Notification(AComponent, Operation);
}

void TIdIOHandler::RaiseConnClosedGracefully() {
  throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
}

void TIdIOHandler::Open() {
  FOpenedAt = GetTickCount64();
  FOpened = false;
  FClosedGracefully = false;
  if (FWriteBuffer) FWriteBuffer->Clear();
  FInputBuffer->Clear();
  FOpened = true;
}

void TIdIOHandler::Close() {
  try {
    if (FIntercept) FIntercept->Disconnect();
  } catch (...) {
    FOpened = false;
    if (FWriteBuffer) FWriteBuffer->Clear();
    throw;
  }
  FOpened = false;
  if (FWriteBuffer) FWriteBuffer->Clear();
}

bool TIdIOHandler::Connected() {
  CheckForDisconnect(false, false);
  return FOpened && ((!FClosedGracefully && FInputBuffer) || !InputBufferIsEmpty());
}

bool TIdIOHandler::Readable(int /*AMSec*/) {
  return false;
}

bool TIdIOHandler::CheckForDataOnSource(int ATimeout) {
  if (!FInputBuffer) return false;
  const int LSize = FInputBuffer->Size();
  if (!Connected()) return false;
  if (FInputBuffer->Size() > LSize) return true;
  return FillInputBuffer(false, ATimeout, false) > 0;
}

int TIdIOHandler::FillInputBuffer(bool ARaiseExceptionIfDisconnected, int ATimeout,
                                  bool ARaiseExceptionOnTimeout) {
  if (ATimeout == IdTimeoutDefault) {
    ATimeout = (FReadTimeOut == -1 || FReadTimeOut == 0) ? IdTimeoutInfinite : FReadTimeOut;
  }
  CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  if (!TransportAvailable()) {
    if (ARaiseExceptionIfDisconnected) throw EIdNotConnected(RSNotConnected);
    return 0;
  }
  for (;;) {
    if (!Readable(ATimeout)) {
      if (ARaiseExceptionOnTimeout) throw EIdReadTimeout(RSReadTimeout);
      return -1;
    }
    const int LCount = ReceiveOnce(ARaiseExceptionIfDisconnected, ARaiseExceptionOnTimeout);
    if (LCount != 0) return LCount;
    if (!TransportAvailable()) return 0;
  }
}

// A transport without a descriptor to wait on blocks in its receive instead.
bool TIdIOHandler::WaitReadableOrWoken(const TIdWakeSignal&) {
  return true;
}

int TIdIOHandler::ReceiveReady() {
  if (!FInputBuffer || !FOpened || FClosedGracefully) return 0;
  CheckForDisconnect(false, false);
  return TransportAvailable() ? ReceiveOnce(false, false) : 0;
}

uint64_t TIdIOHandler::ConnectDeadline(uint64_t AStartedAt, int AFallbackMs) const {
  const int LLimit = FConnectTimeout > 0 ? FConnectTimeout : AFallbackMs;
  return LLimit > 0 ? AStartedAt + static_cast<uint64_t>(LLimit) : 0;
}

int TIdIOHandler::ReceiveOnce(bool ARaiseExceptionIfDisconnected, bool ARaiseExceptionOnTimeout) {
  int LRead = 0;   // what the transport gave
  int LCount = 0;  // what reached InputBuffer
  if (FOpened) {
    if (TransportAvailable()) {
      if (FIntercept) FIntercept->AwaitReceive();  // a throttled connection rests first
      FRecvBuffer.resize(static_cast<size_t>(FRecvBufferSize));
      LRead = ReadFromTransport(FRecvBuffer);
      LCount = LRead;
      if (LRead > 0) {
        if (FIntercept) {
          TIdBytes LBlock(FRecvBuffer.data(), FRecvBuffer.data() + LRead);
          FIntercept->Receive(LBlock);
          LCount = static_cast<int>(LBlock.size());
          FInputBuffer->Write(LBlock);
        } else if (FInputBuffer->Size() == 0 && LRead >= FRecvBufferSize / 2) {
          // A big read into an empty buffer becomes its storage: cheaper than a copy even
          // with the fresh receive buffer the next read then needs.
          FRecvBuffer.resize(static_cast<size_t>(LRead));
          FInputBuffer->Write(std::move(FRecvBuffer));
          FRecvBuffer = TIdBytes();
        } else {
          FInputBuffer->Write(FRecvBuffer.data(), LRead);
        }
      }
    } else if (ARaiseExceptionIfDisconnected) {
      throw EIdClosedSocket(RSStatusDisconnected);
    }
  } else if (ARaiseExceptionIfDisconnected) {
    throw EIdNotConnected(RSNotConnected);
  }
  if (LRead < 0) {
    const int LErr = CheckTransportResult(LRead);
    if (LErr == Id_WSAETIMEDOUT) {
      if (ARaiseExceptionOnTimeout) throw EIdReadTimeout(RSReadTimeout);
      return -1;
    }
    FClosedGracefully = true;
    Close();
    // A reset or an abort is a failure, not a close: it is reported at once, as the plain
    // socket's receive reports it, whatever the caller asked for.
    const bool LFailure = LErr == Id_WSAECONNRESET || LErr == Id_WSAECONNABORTED;
    if (LFailure || (InputBufferIsEmpty() && ARaiseExceptionIfDisconnected))
      RaiseTransportError(LErr);
    LRead = 0;
    LCount = 0;
  }
  // Only the transport's end of stream closes; an intercept that kept a whole block back
  // just means nothing new arrived yet.
  if (LRead == 0) FClosedGracefully = true;
  CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  return LCount;
}

void TIdIOHandler::ReadBytes(TIdBytes& VBuffer, int AByteCount, bool AAppend) {
  if (AByteCount > 0) {
    while (FInputBuffer->Size() < AByteCount) {
      const int LResult = FillInputBuffer(false, IdTimeoutDefault, true);
      if (LResult <= 0 || FInputBuffer->Size() < AByteCount) CheckForDisconnect(true, true);
    }
    FInputBuffer->ExtractToBytes(VBuffer, AByteCount, AAppend);
  } else if (AByteCount < 0) {
    if (InputBufferIsEmpty()) {
      FillInputBuffer(false, IdTimeoutDefault, false);
      CheckForDisconnect(true, true);
    }
    FInputBuffer->ExtractToBytes(VBuffer, -1, AAppend);
  }
}

std::string TIdIOHandler::ReadLn(IIdTextEncoding AEncoding) {
  return ReadLn(LF, IdTimeoutDefault, -1, AEncoding);
}

std::string TIdIOHandler::ReadLn(const std::string& ATerminator, IIdTextEncoding AEncoding) {
  return ReadLn(ATerminator, IdTimeoutDefault, -1, AEncoding);
}

std::string TIdIOHandler::ReadLn(const std::string& ATerminator, int ATimeout, int AMaxLineLength,
                                 IIdTextEncoding AEncoding) {
  AEncoding = EncodingOrDef(AEncoding);
  if (AMaxLineLength < 0) AMaxLineLength = FMaxLineLength;
  const std::string LTerminator = ATerminator.empty() ? std::string(LF) : ATerminator;
  const TIdBytes LTermBytes = ToBytes(LTerminator, AEncoding);
  const int LTermLen = static_cast<int>(LTermBytes.size());
  FReadLnSplit = false;
  FReadLnTimedOut = false;
  const uint64_t LStart = GetTickCount64();
  int LSearchFrom = 0;
  int LFound = -1;
  for (;;) {
    const int LSize = FInputBuffer->Size();
    if (LSize > 0) {
      LFound = LSearchFrom < LSize ? FInputBuffer->IndexOf(LTermBytes, LSearchFrom) : -1;
      // Resume where a terminator split across two receives could still start.
      LSearchFrom = std::max(LSize - LTermLen + 1, 0);
    }
    if (AMaxLineLength > 0 &&
        (LFound > AMaxLineLength || (LFound == -1 && LSearchFrom > AMaxLineLength))) {
      if (FMaxLineAction == maException) {
        throw EIdReadLnMaxLineLengthExceeded(RSReadLnMaxLineLengthExceeded);
      }
      FReadLnSplit = true;
      return FInputBuffer->ExtractToString(AMaxLineLength, AEncoding);
    }
    if (LFound == -1) {
      CheckForDisconnect(true, true);
      FReadLnTimedOut = FillInputBuffer(true, ATimeout, false) == -1;
      if (!FReadLnTimedOut && ATimeout >= 0 &&
          GetTickCount64() - LStart >= static_cast<uint64_t>(ATimeout)) {
        FReadLnTimedOut = true;
      }
      if (FReadLnTimedOut) return {};
      continue;
    }
    int LLineLen = LFound;
    if (LTerminator == LF && LFound > 0 && FInputBuffer->PeekByte(LFound - 1) == '\r') --LLineLen;
    std::string LLine = AEncoding->GetString(FInputBuffer->Data(), static_cast<size_t>(LLineLen));
    FInputBuffer->Remove(LFound + LTermLen);
    return LLine;
  }
}

void TIdIOHandler::CaptureLines(const std::function<void(const std::string&)>& AStore,
                                int& VLineCount, const std::string& ADelim,
                                bool AUsesDotTransparency, IIdTextEncoding AEncoding) {
  VLineCount = 0;
  BeginWork(wmRead);
  try {
    for (;;) {
      std::string LLine = ReadLn(AEncoding);
      if (LLine == ADelim) break;
      if (FMaxCapturedLines > 0 && VLineCount > FMaxCapturedLines) {
        throw EIdMaxCaptureLineExceeded(RSMaximumNumberOfCaptureLineExceeded);
      }
      if (AUsesDotTransparency && LLine.compare(0, 2, "..") == 0) LLine.erase(0, 1);
      ++VLineCount;
      AStore(LLine);
    }
  } catch (...) {
    EndWork(wmRead);
    throw;
  }
  EndWork(wmRead);
}

void TIdIOHandler::Capture(TStringList& ADest, const std::string& ADelim, bool AUsesDotTransparency,
                           IIdTextEncoding AEncoding) {
  int LLineCount;
  CaptureLines([&ADest](const std::string& ALine) { ADest.Add(ALine); }, LLineCount, ADelim,
               AUsesDotTransparency, AEncoding);
}

void TIdIOHandler::Capture(TStream& ADest, const std::string& ADelim, bool AUsesDotTransparency,
                           IIdTextEncoding AEncoding) {
  const IIdTextEncoding LEncoding = EncodingOrDef(AEncoding);
  int LLineCount;
  CaptureLines(
      [&ADest, LEncoding](const std::string& ALine) {
        const TIdBytes LBytes = ToBytes(ALine + EOL, LEncoding);
        ADest.WriteBuffer(LBytes.data(), static_cast<int64_t>(LBytes.size()));
      },
      LLineCount, ADelim, AUsesDotTransparency, AEncoding);
}

void TIdIOHandler::Discard(int64_t AByteCount) {
  if (AByteCount <= 0) return;
  BeginWork(wmRead, AByteCount);
  try {
    for (;;) {
      const int LTake = static_cast<int>(std::min<int64_t>(AByteCount, FInputBuffer->Size()));
      FInputBuffer->Remove(LTake);
      AByteCount -= LTake;
      if (AByteCount == 0) break;
      if (FillInputBuffer(false, IdTimeoutDefault, true) <= 0) CheckForDisconnect(true, true);
    }
  } catch (...) {
    EndWork(wmRead);
    throw;
  }
  EndWork(wmRead);
}

void TIdIOHandler::DiscardAll() {
  BeginWork(wmRead);
  try {
    for (;;) {
      FInputBuffer->Clear();
      FillInputBuffer(true, IdTimeoutDefault, false);
    }
  } catch (const EIdConnClosedGracefully&) {
  } catch (...) {
    FInputBuffer->Clear();
    EndWork(wmRead);
    throw;
  }
  EndWork(wmRead);
}

void TIdIOHandler::Write(const TIdBytes& ABuffer, int ALength, int AOffset) {
  const int LLength = IndyLength(ABuffer, ALength, AOffset);
  if (LLength < 1) return;
  if (FWriteBuffer) {
    FWriteBuffer->Write(ABuffer, LLength, AOffset);
    while (FWriteBufferThreshold > 0 && FWriteBuffer &&
           FWriteBuffer->Size() >= FWriteBufferThreshold) {
      WriteBufferFlush(FWriteBufferThreshold);
    }
  } else {
    WriteDirect(ABuffer, LLength, AOffset);
  }
}

void TIdIOHandler::Write(const std::string& AText, IIdTextEncoding AEncoding) {
  if (!AText.empty()) Write(ToBytes(AText, EncodingOrDef(AEncoding)));
}

void TIdIOHandler::Write(uint8_t AValue) {
  Write(TIdBytes{AValue});
}

void TIdIOHandler::Write(uint16_t AValue) {
  Write(TIdBytes{uint8_t(AValue >> 8), uint8_t(AValue)});
}

void TIdIOHandler::WriteLn(IIdTextEncoding AEncoding) {
  WriteLn(std::string(), AEncoding);
}

void TIdIOHandler::WriteLn(const std::string& AText, IIdTextEncoding AEncoding) {
  Write(AText + EOL, AEncoding);
}

void TIdIOHandler::WriteDirect(const TIdBytes& ABuffer, int ALength, int AOffset) {
  int LSent = 0;
  WriteDirect(ABuffer, ALength, AOffset, LSent);
}

void TIdIOHandler::WriteDirect(const TIdBytes& ABuffer, int ALength, int AOffset, int& VSent) {
  VSent = 0;
  CheckForDisconnect(true, true);
  int LLength = IndyLength(ABuffer, ALength, AOffset);
  if (LLength <= 0) return;
  const TIdBytes* LSource = &ABuffer;
  TIdBytes LIntercepted;
  // Sent bytes count in the caller's bytes; an intercept that changed the length makes a part
  // of its block meaningless, so a started block counts whole rather than going out twice.
  const int LCallerLength = LLength;
  bool LSameLength = true;
  if (FIntercept) {
    LIntercepted.assign(ABuffer.begin() + AOffset, ABuffer.begin() + AOffset + LLength);
    FIntercept->Send(LIntercepted);
    LSource = &LIntercepted;
    LSameLength = static_cast<int>(LIntercepted.size()) == LLength;
    LLength = static_cast<int>(LIntercepted.size());
    AOffset = 0;
  }
  int LDone = 0;
  while (LLength > 0) {
    const int LSent = WriteToTransport(*LSource, AOffset, LLength);
    if (LSent < 0) {
      const int LErr = CheckTransportResult(LSent);
      if (LErr != Id_WSAETIMEDOUT) {
        FClosedGracefully = true;
        Close();
      }
      RaiseTransportError(LErr);
    }
    if (LSent == 0) FClosedGracefully = true;
    // A transport that took nothing is gone: raise even with unread input buffered, or
    // this loop would never end.
    CheckForDisconnect(true, LSent == 0);
    DoWork(wmWrite, LSent);
    AOffset += LSent;
    LLength -= LSent;
    LDone += LSent;
    VSent = LSameLength ? LDone : LCallerLength;
  }
}

void TIdIOHandler::WriteBufferOpen(int AThreshold) {
  if (FWriteBuffer) {
    FWriteBuffer->Clear();
  } else {
    FWriteBuffer = std::make_unique<TIdBuffer>();
  }
  FWriteBufferThreshold = AThreshold;
}

void TIdIOHandler::WriteBufferFlush(int AByteCount) {
  if (!FWriteBuffer || FWriteBuffer->Size() == 0) return;
  if (AByteCount < 0 || AByteCount > FWriteBuffer->Size()) AByteCount = FWriteBuffer->Size();
  // The bytes leave the buffer once sent, so a write that fails part way keeps exactly the
  // unsent ones for the next flush.
  const TIdBytes LBytes(FWriteBuffer->Data(), FWriteBuffer->Data() + AByteCount);
  int LSent = 0;
  try {
    WriteDirect(LBytes, -1, 0, LSent);
  } catch (...) {
    if (FWriteBuffer) FWriteBuffer->Remove(LSent);
    throw;
  }
  if (FWriteBuffer) FWriteBuffer->Remove(AByteCount);
}

void TIdIOHandler::WriteBufferClose() {
  try {
    WriteBufferFlush();
  } catch (...) {
    FWriteBuffer.reset();
    throw;
  }
  FWriteBuffer.reset();
}

void TIdIOHandler::WriteBufferCancel() {
  WriteBufferClear();
  WriteBufferClose();
}

void TIdIOHandler::WriteBufferClear() {
  if (FWriteBuffer) FWriteBuffer->Clear();
}
