#pragma once
#include <functional>
#include <mutex>

#include "tcp_client/qorTCP_Classes.h"

class TqorIdTCPClient;

// idle -> connecting -> connected -> closing -> idle
enum TqorTCPState { tcpsIdle, tcpsConnecting, tcpsConnected, tcpsClosing };

// The one owner of the TCP client's connection life. Under one lock it answers what every
// thread asks: does a connection stand, which connection an event belongs to, and who ends it.
// - Exactly one party wins the close of a connection (the application's deactivation, or the
//   reading thread's report of a close by the peer or of a failed read): BeginClose answers
//   True once per connection, and the winner raises its OnDisconnect. A reading thread that
//   meets the end of a connection the application is closing therefore reports nothing.
// - A thread that uses the connection object (a read loop, a write) holds a lease; the
//   object's release after its OnDisconnect frees it only when no lease is left.
class TqorTCPConnectionState {
 public:
  using TFree = std::function<void(TqorTCPConnectionClient*)>;

  // aFree frees a released connection whose last lease has ended.
  explicit TqorTCPConnectionState(TFree aFree) : FFree(std::move(aFree)) {}
  TqorTCPConnectionState(const TqorTCPConnectionState&) = delete;
  TqorTCPConnectionState& operator=(const TqorTCPConnectionState&) = delete;

  TqorTCPState State() const;
  // Connected, and no read or write of the connection has failed (MustDisconnect).
  bool Stands() const;
  // The connection while connected or closing; none otherwise.
  TqorTCPConnectionClient* Connection() const;

  // idle -> connecting; False, and nothing changes, in any other state.
  bool BeginConnect();
  // connecting -> connected with aConnection.
  void SetConnected(TqorTCPConnectionClient* aConnection);
  // connecting -> idle: the connect failed or made no connection. Nothing in another state.
  void EndConnect();
  // connected -> closing for aConnection: True for one caller only, who then calls EndClose.
  // Marks the connection MustDisconnect: its read loop and writes stop delivering.
  bool BeginClose(TqorTCPConnectionClient* aConnection);
  // closing -> idle; the connection is no longer the component's.
  void EndClose(TqorTCPConnectionClient* aConnection);
  // Whatever the state, idle again; the connection is handed to the caller (destruction).
  TqorTCPConnectionClient* Reset();

  // The current connection, kept alive while held. On a reading thread only a connection
  // made on that thread's own socket client is given (an older thread may still be ending
  // after a handler connected anew), and only while it is connected. aWrite: the lease of a
  // write, which goes to the current connection from any thread (a neNoSync handler on an old
  // reading thread may have connected anew, and authenticates).
  class TLease {
   public:
    explicit TLease(TqorTCPConnectionState& aOwner, bool aWrite = false);
    ~TLease();
    TLease(const TLease&) = delete;
    TLease& operator=(const TLease&) = delete;
    TqorTCPConnectionClient* get() const { return FConnection; }

   private:
    TqorTCPConnectionState& FOwner;
    TqorTCPConnectionClient* FConnection;
  };

  // True: free aConnection now. False: a lease holds it, and the last lease frees it.
  bool ReleaseWhenUnused(TqorTCPConnectionClient* aConnection);

 private:
  mutable std::mutex FLock;
  TqorTCPState FState = tcpsIdle;
  TqorTCPConnectionClient* FConnection = nullptr;
  TFree FFree;
};
