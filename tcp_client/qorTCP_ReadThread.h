#pragma once
#include <atomic>
#include <functional>
#include <thread>

#include "base/qorBase_Classes.h"
#include "base/qorWebSocket_Classes_SyncObjs.h"
#include "platform/Exception.h"
#include "transport/IdTCPClient.h"
#include "transport/IdWakeSignal.h"

enum TqorTCPMode { tcpmDefault, tcpmCommands };

using TqorReadThreadExceptionEvent = std::function<void(Exception& aException)>;
using TqorReadThreadNotifyEvent = std::function<void()>;

// ---- Socket client and its reading thread ----

class TqorTCPReadThread;

// The socket-level client of TqorTCPCLient: owns its reading thread. Made with New<>.
class TqorIdTCPClient : public TIdTCPClient {
 public:
  ~TqorIdTCPClient() override;
  const char* ClassName() const override { return "TqorIdTCPClient"; }

  void SetOnThread(TqorReadThreadNotifyEvent aValue) { FOnThread = std::move(aValue); }
  void SetOnRead(TqorReadThreadNotifyEvent aValue) { FOnRead = std::move(aValue); }
  void SetOnReadException(TqorReadThreadExceptionEvent aValue) {
    FOnReadException = std::move(aValue);
  }
  // Runs on the reading thread for StartConnect; it handles every failure itself.
  void SetOnBackgroundConnect(TqorReadThreadNotifyEvent aValue) {
    FOnBackgroundConnect = std::move(aValue);
  }
  // Creates the reading thread when there is none.
  TqorTCPReadThread* TCPRead();
  bool HasTCPRead() const { return FTCPRead != nullptr; }
  // The calling thread is this client's reading thread.
  bool IsReadingThread() const;
  TqorTCPMode TCPMode() const { return FTCPMode; }
  void SetTCPMode(TqorTCPMode aValue) { FTCPMode = aValue; }

  void Connect() override;
  // tcpmDefault: a new reading thread runs OnBackgroundConnect, which calls ConnectHere, and
  // then reads. The handler must be in place: the thread does not replace it.
  void StartConnect();
  // The connect itself on the calling thread (the reading thread), then reading starts.
  void ConnectHere();
  // StartConnect was used: the connect runs, or ran, on this client's reading thread.
  bool ConnectsInBackground() const { return FConnectsInBackground; }
  void Disconnect(bool ANotifyPeer) override;
  using TIdTCPClient::Disconnect;
  // Answers from the handler's flags only: any thread may ask while the reading thread
  // owns the input buffer.
  bool Connected() override;
  void EnterCS() { DoEnterCS(); }
  void LeaveCS() { DoLeaveCS(); }
  // Makes sure the reading thread no longer touches the socket: ends it (tcpmDefault) or
  // stops its reading (tcpmCommands) and waits for that, unless called on it.
  void StopReading();
  // A queued command waits: the reading thread looks at once.
  void WakeReading();
  // Ends and frees the reading thread. The thread calls this client's virtual operations, so
  // it must be gone before the client's destruction begins: DeleteSocketClient does both.
  void FreeReadThread();

 protected:
  explicit TqorIdTCPClient(TComponent* AOwner = nullptr) : TIdTCPClient(AOwner) {}
  virtual void DoOnThread();
  virtual void DoOnRead();
  virtual void DoOnReadException(Exception& aException);
  virtual void DoOnBackgroundConnect();
  virtual void DoEnterCS() { FCS.Acquire(); }
  virtual void DoLeaveCS() { FCS.Release(); }

 private:
  friend class TqorTCPReadThread;

  TqorReadThreadNotifyEvent FOnThread;
  TqorReadThreadNotifyEvent FOnRead;
  TqorReadThreadExceptionEvent FOnReadException;
  TqorReadThreadNotifyEvent FOnBackgroundConnect;
  std::atomic<TqorTCPReadThread*> FTCPRead{nullptr};
  std::atomic<bool> FConnectsInBackground{false};
  std::atomic<TqorTCPMode> FTCPMode{tcpmDefault};
  TqorCriticalSection FCS;
};

void DeleteSocketClient(TqorIdTCPClient* aClient);
struct TSocketClientDelete {
  void operator()(TqorIdTCPClient* aClient) const { DeleteSocketClient(aClient); }
};

// Sleeps until the client's socket is readable or it is woken (a termination request, a change
// of ReadSocket, a queued command), and hands waiting bytes to the client. Made with New<>; it
// starts at once, not reading. A termination request is honoured whenever it comes, before
// the first cycle too, so no wait for the thread's end can hang.
class TqorTCPReadThread : public TqorIdThread {
 public:
  ~TqorTCPReadThread() override;
  const char* ClassName() const { return "TqorTCPReadThread"; }

  bool ReadSocket() const { return FReadSocket; }
  void SetReadSocket(bool aValue);
  // The next cycle connects the client (DoOnBackgroundConnect) instead of reading.
  void ConnectFirst();
  void Terminate() override;
  // Ends the current wait at once; the next cycle looks at what changed.
  void Wake();
  TqorTCPMode TCPMode() const { return FTCPMode; }
  // Waits until a cycle that began with ReadSocket True has left the socket.
  void WaitWhileReading();
  // Waits for the end of the thread's body.
  void WaitForEnd();
  // The thread cannot be waited for from here: it is this thread, or it waits for the call
  // the main thread is running now (a synchronised delivery whose handler deactivates).
  bool BlockedOnCaller() const;

 protected:
  explicit TqorTCPReadThread(TqorIdTCPClient* aClient);
  void RunCycle() override;
  virtual void DoReadMessage();
  virtual void DoReadException(Exception& E);

 private:
  void ReadStep();
  // Stops reading (or the thread) and reports; the caller rethrows a silent one in
  // tcpmDefault, which ends the thread's body.
  void HandleReadException(Exception& E);

  std::atomic<bool> FReadSocket{false};
  std::atomic<bool> FConnectFirst{false};
  TqorIdTCPClient* FClient;
  std::atomic<bool> FExecuted{false};
  const TqorTCPMode FTCPMode;
  // True while a cycle is inside its socket work.
  std::atomic<bool> FReading{false};
  std::atomic<std::thread::id> FRunner{};
  TIdWakeSignal FWake;
};
