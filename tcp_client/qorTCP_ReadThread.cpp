#include "tcp_client/qorTCP_ReadThread.h"

#include "platform/MainThread.h"
#include "platform/SysUtils.h"
#include "transport/IdIOHandler.h"

namespace {

// Waits on any thread; on the main thread the call queue keeps running meanwhile, so a
// thread blocked in a synchronised delivery can get to its end.
void WaitUntil(const std::function<bool()>& aDone) {
  if (IsMainThread()) {
    while (!PumpUntil(aDone, 1000)) {
    }
  } else {
    while (!aDone()) Sleep(1);
  }
}

}  // namespace

// ---- TqorIdTCPClient ----

TqorIdTCPClient::~TqorIdTCPClient() {
  FreeReadThread();
}

void DeleteSocketClient(TqorIdTCPClient* aClient) {
  if (!aClient) return;
  aClient->FreeReadThread();
  delete aClient;
}

TqorTCPReadThread* TqorIdTCPClient::TCPRead() {
  if (!FTCPRead) FTCPRead = New<TqorTCPReadThread>(this);
  return FTCPRead;
}

bool TqorIdTCPClient::IsReadingThread() const {
  const TqorTCPReadThread* LThread = FTCPRead;
  return LThread && LThread->IsCurrentThread();
}

// Waits for the end rather than handing the thread over to free itself: the thread calls
// into this client, so it must not outlive it.
void TqorIdTCPClient::FreeReadThread() {
  TqorTCPReadThread* LThread = FTCPRead.exchange(nullptr);
  if (!LThread) return;
  if (LThread->IsCurrentThread()) {
    LThread->SetFreeOnTerminate(true);
    LThread->Terminate();
    return;
  }
  LThread->Terminate();
  delete LThread;
}

// A connect handler may already have closed the connection again: then nothing is read.
void TqorIdTCPClient::Connect() {
  if (FTCPMode == tcpmCommands) {
    TIdTCPClient::Connect();
    if (Connected()) TCPRead()->SetReadSocket(true);
    return;
  }
  FreeReadThread();
  TIdTCPClient::Connect();
  if (!Connected()) return;
  try {
    TCPRead()->SetReadSocket(true);
  } catch (...) {
    try {
      Disconnect(true);
    } catch (...) {
    }
  }
}

void TqorIdTCPClient::StartConnect() {
  FreeReadThread();
  FConnectsInBackground = true;
  TCPRead()->ConnectFirst();
}

void TqorIdTCPClient::ConnectHere() {
  TIdTCPClient::Connect();
  if (Connected()) TCPRead()->SetReadSocket(true);
}

void TqorIdTCPClient::Disconnect(bool ANotifyPeer) {
  StopReading();
  TIdTCPClient::Disconnect(ANotifyPeer);
  TIdIOHandler* LHandler = IOHandler();
  if (LHandler && !LHandler->InputBufferIsEmpty()) LHandler->InputBuffer()->Clear();
}

bool TqorIdTCPClient::Connected() {
  TIdIOHandler* LHandler = IOHandler();
  return LHandler && LHandler->Opened() && !LHandler->ClosedGracefully();
}

void TqorIdTCPClient::StopReading() {
  TqorTCPReadThread* LThread = FTCPRead;
  if (!LThread) return;
  // A throttled connection may be resting between two reads: the stop ends that at once.
  struct TInterrupt {
    TIdConnectionIntercept* Chain;
    explicit TInterrupt(TIdIOHandler* AHandler)
        : Chain(AHandler ? AHandler->Intercept() : nullptr) {
      if (Chain) Chain->SetPausesInterrupted(true);
    }
    ~TInterrupt() {
      if (Chain) Chain->SetPausesInterrupted(false);
    }
  } LInterrupt{IOHandler()};
  if (FTCPMode == tcpmCommands) {
    LThread->SetReadSocket(false);
    LThread->WaitWhileReading();
  } else {
    LThread->Terminate();
    LThread->WaitForEnd();
  }
}

void TqorIdTCPClient::WakeReading() {
  if (TqorTCPReadThread* LThread = FTCPRead) LThread->Wake();
}

void TqorIdTCPClient::DoOnThread() {
  if (FOnThread) FOnThread();
}

void TqorIdTCPClient::DoOnRead() {
  if (FOnRead) FOnRead();
}

void TqorIdTCPClient::DoOnReadException(Exception& aException) {
  if (FOnReadException) FOnReadException(aException);
}

void TqorIdTCPClient::DoOnBackgroundConnect() {
  if (FOnBackgroundConnect) FOnBackgroundConnect();
}

// ---- TqorTCPReadThread ----

TqorTCPReadThread::TqorTCPReadThread(TqorIdTCPClient* aClient)
    : TqorIdThread(false, true, "TCPRead"), FClient(aClient), FTCPMode(aClient->TCPMode()) {}

// The body has ended before the descriptor goes (the base destruction waits for it).
TqorTCPReadThread::~TqorTCPReadThread() {
  Terminate();
  WaitForEnd();
}

void TqorTCPReadThread::Wake() {
  FWake.Raise();
}

void TqorTCPReadThread::SetReadSocket(bool aValue) {
  FReadSocket = aValue;
  Wake();
}

void TqorTCPReadThread::ConnectFirst() {
  FConnectFirst = true;
  Wake();
}

void TqorTCPReadThread::Terminate() {
  TqorIdThread::Terminate();
  Wake();
}

// FReading is raised before ReadSocket is looked at, and StopReading lowers ReadSocket before
// it looks at FReading: one of the two always sees the other.
void TqorTCPReadThread::WaitWhileReading() {
  if (IsCurrentThread()) return;
  WaitUntil([this] { return !FReading || BlockedOnCaller(); });
}

// A thread blocked in a synchronised delivery touches nothing until the main thread's current
// call returns, so not waiting for it then is safe, and waiting would never end.
void TqorTCPReadThread::WaitForEnd() {
  WaitUntil([this] { return Finished() || BlockedOnCaller(); });
}

bool TqorTCPReadThread::BlockedOnCaller() const {
  return IsCurrentThread() || IsServingSynchronizedCall(FRunner);
}

void TqorTCPReadThread::RunCycle() {
  TqorIdThread::RunCycle();
  FRunner = std::this_thread::get_id();
  FExecuted = true;
  FReading = true;
  struct TReading {
    TqorTCPReadThread& Thread;
    ~TReading() {
      Thread.FReading = false;
      if (!Thread.FReadSocket) WakeMainThreadPump();  // StopReading may be waiting
    }
  } LReading{*this};
  try {
    // Even when terminated already: the connect's owner learns of its end there.
    if (FConnectFirst.exchange(false)) {
      FClient->DoOnBackgroundConnect();
      return;
    }
    if (!Terminated()) FClient->DoOnThread();
    if (!FReadSocket) {
      FReading = false;
      WakeMainThreadPump();  // StopReading may be waiting
      if (!Terminated()) FWake.Wait();
      FWake.Take();
      return;
    }
    ReadStep();
  } catch (EIdSilentException& E) {
    HandleReadException(E);
    if (FTCPMode == tcpmDefault) throw;
  } catch (Exception& E) {
    HandleReadException(E);
  } catch (std::exception& E) {
    Exception LGeneral(E.what());
    HandleReadException(LGeneral);
  }
}

// Sleeps until the layer that carries the bytes has some for this thread (or a close, or an
// error), or until woken, and then moves what waits into the input buffer.
void TqorTCPReadThread::ReadStep() {
  TIdIOHandler* LLayer = FClient->IOHandler();
  if (!Terminated() && LLayer && LLayer->InputBufferIsEmpty()) {
    FClient->EnterCS();
    try {
      if (LLayer->WaitReadableOrWoken(FWake))
        LLayer->ReceiveReady();
      else
        FWake.Take();
    } catch (...) {
      FClient->LeaveCS();
      throw;
    }
    FClient->LeaveCS();
  }
  if (!Terminated() && LLayer && !LLayer->InputBufferIsEmpty()) DoReadMessage();
  LLayer = FClient->IOHandler();
  // A close by the peer is reported even when a handler has meanwhile asked this thread to end:
  // its disconnect may already have been raised.
  if (LLayer && (!Terminated() || LLayer->ClosedGracefully()))
    LLayer->CheckForDisconnect(true, false);
}

void TqorTCPReadThread::HandleReadException(Exception& E) {
  if (FTCPMode == tcpmCommands)
    FReadSocket = false;
  else if (!Terminated())
    Terminate();
  DoReadException(E);
}

void TqorTCPReadThread::DoReadMessage() {
  SetIsExecuting(true);
  try {
    FClient->DoOnRead();
  } catch (...) {
    SetIsExecuting(false);
    throw;
  }
  SetIsExecuting(false);
}

void TqorTCPReadThread::DoReadException(Exception& E) {
  SetIsExecuting(true);
  try {
    FClient->DoOnReadException(E);
  } catch (...) {
    SetIsExecuting(false);
    throw;
  }
  SetIsExecuting(false);
}
