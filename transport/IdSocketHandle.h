#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "transport/IdGlobal.h"
#include "transport/IdStack.h"
#include "transport/IdWakeSignal.h"

// One operating-system socket with its local and peer address.
class TIdSocketHandle {
 public:
  TIdSocketHandle();
  ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // Closes any socket held, then makes a new one of IPVersion's family.
  void AllocateSocket(int ASocketType = Id_SOCK_STREAM, int AProtocol = 0);
  // Binds IP and Port, or tries the ClientPortMin..ClientPortMax range highest first when
  // Port is 0 and both ends are set.
  void Bind();
  // ATimeout ms bounds the connect (EIdConnectTimeout); IdTimeoutInfinite: the system's limit.
  // Raising ACancel ends it at once (EIdConnectCancelled).
  void Connect(int ATimeout = IdTimeoutInfinite, const TIdWakeSignal* ACancel = nullptr);
  // Shuts down or lingers, then closes; nothing when no socket is held.
  void CloseSocket();
  // Forgets the socket without closing it, and the peer (and, with AResetLocal, the local) address.
  void Reset(bool AResetLocal = true);

  int Receive(TIdBytes& VBuffer);
  int Send(const TIdBytes& ABuffer, int AOffset = 0, int ASize = -1);
  int Send(const std::string& AText, IIdTextEncoding AEncoding = nullptr);
  // -1 waits without limit; raises EIdConnClosedGracefully when no socket is held.
  bool Readable(int AMSec = IdTimeoutDefault);
  bool Select(int ATimeout = IdTimeoutInfinite);
  // Waits until the socket is readable (data, a close by the peer, an error) or AWake is
  // raised, at most AMSec ms (IdTimeoutInfinite: no limit). True when the socket is readable;
  // raises EIdConnClosedGracefully when no socket is held.
  bool ReadableOrWoken(const TIdWakeSignal& AWake, int AMSec = IdTimeoutInfinite);
  // Both directions end at once: a send or a wait blocked on the socket returns.
  void Shutdown();
  // In milliseconds; the kernel rounds them up to its clock ticks.
  void SetSendTimeout(int AMSec);
  void SetReceiveTimeout(int AMSec);

  void SetPeer(const std::string& AIP, TIdPort APort, TIdIPVersion AIPVersion = Id_IPv4);
  void SetBinding(const std::string& AIP, TIdPort APort, TIdIPVersion AIPVersion = Id_IPv4);
  void UpdateBindingLocal();
  void UpdateBindingPeer();

  // Send and receive time-outs (SOL_SOCKET, SO_SNDTIMEO / SO_RCVTIMEO) are in milliseconds.
  void SetSockOpt(int ALevel, int AOptName, int AOptVal);
  void GetSockOpt(int ALevel, int AOptName, int& VOptVal);
  void SetNagleOpt(bool AEnabled);
  void SetKeepAliveValues(bool AEnabled, int ATimeMS, int AInterval);

  // Held by a call that uses the descriptor (send, receive, a wait for input; a TLS session's
  // reads and writes from outside this class). A close meanwhile
  // shuts the socket down, which ends such a call at once, and leaves the descriptor's release
  // to the last holder: its number is never reused under a call still running on it.
  class TUse {
   public:
    explicit TUse(TIdSocketHandle& AOwner);
    ~TUse();
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;
    // The descriptor at the start of the call; invalid when none was held.
    TIdStackSocketHandle Handle() const { return FHandle; }

   private:
    TIdSocketHandle& FOwner;
    TIdStackSocketHandle FHandle;
    bool FHeld;
  };

  TIdStackSocketHandle Handle() const { return FHandle; }
  bool HandleAllocated() const { return FHandleAllocated; }
  const std::string& IP() const { return FIP; }
  void SetIP(const std::string& AValue) { FIP = AValue; }
  TIdPort Port() const { return FPort; }
  void SetPort(TIdPort AValue) { FPort = AValue; }
  const std::string& PeerIP() const { return FPeerIP; }
  void SetPeerIP(const std::string& AValue) { FPeerIP = AValue; }
  TIdPort PeerPort() const { return FPeerPort; }
  void SetPeerPort(TIdPort AValue) { FPeerPort = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  // Raises EIdCannotSetIPVersionWhenConnected for a change while a socket is held.
  void SetIPVersion(TIdIPVersion AValue);
  TIdPort ClientPortMin() const { return FClientPortMin; }
  void SetClientPortMin(TIdPort AValue) { FClientPortMin = AValue; }
  TIdPort ClientPortMax() const { return FClientPortMax; }
  void SetClientPortMax(TIdPort AValue) { FClientPortMax = AValue; }
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue);
  // The value lives in the stack: one process-wide setting read at every close.
  int LingerState() const { return FLingerState; }
  void SetLingerState(int AValue);
  int SocketType() const { return FSocketType; }
  bool OverLapped() const { return FOverLapped; }
  void SetOverLapped(bool AValue) { FOverLapped = AValue; }

 private:
  // Takes a socket just made with ASocketType, or forgets the socket (Id_INVALID_SOCKET).
  void AssignHandle(TIdStackSocketHandle AHandle, int ASocketType = 0);
  void DisconnectHandle();
  bool TryBindPort(TIdPort APort);

  // The handle and its flag are read by a reading thread while another thread closes.
  std::atomic<TIdStackSocketHandle> FHandle{Id_INVALID_SOCKET};
  std::atomic<bool> FHandleAllocated{false};
  std::string FIP;
  TIdPort FPort = 0;
  std::string FPeerIP;
  TIdPort FPeerPort = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  TIdPort FClientPortMin = 0;
  TIdPort FClientPortMax = 0;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  bool FUseNagle = true;
  int FSocketType = 0;
  bool FOverLapped = false;
  int FLingerState = -1;
  std::unique_ptr<TIdSocketList> FReadSocketList;
  // Serialises closing against the address refresh after a connect, and against the calls
  // that hold the descriptor (TUse).
  std::mutex FConnectionHandle;
  int FUsers = 0;
  TIdStackSocketHandle FClosePending = Id_INVALID_SOCKET;  // closed by the last TUse
};
