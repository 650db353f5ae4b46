#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "tcp_client/qorTCP_Classes.h"

class TqorIdTCPClient;

// idle -> connecting -> connected -> closing -> idle
enum TqorTCPState { tcpsIdle, tcpsConnecting, tcpsConnected, tcpsClosing };

// What the caller of Active := True/False does with its request (TqorTCPConnectionState::Request).
enum TqorTCPRequestRoute {
  // It runs the request, then every one queued meanwhile (NextQueued), then EndRequests.
  rrRun,
  // A transition under way on this thread carries it out later.
  rrQueued,
  // Another thread runs an activation or deactivation: the caller runs this one alone.
  rrAlongside,
};

// The one owner of the TCP client's connection life. Under one lock it answers what every
// thread asks: does a connection stand, which connection an event belongs to, who ends it, and
// when a request to connect or disconnect is carried out.
// - Exactly one party wins the close of a connection (the application's deactivation, or the
//   reading thread's report of a close by the peer or of a failed read): BeginClose answers
//   True once per connection, and the winner raises its OnDisconnect. A reading thread that
//   meets the end of a connection the application is closing therefore reports nothing. Every
//   MustDisconnect mark is made here.
// - A thread that uses the connection object (a read loop, a write) holds a lease; the
//   object's release after its OnDisconnect frees it only when no lease is left.
// - A request made while a transition is under way on the same thread waits in one queue: an
//   activation or deactivation (a handler it raises asks for another), or a reading thread's
//   report of a close by the peer, its disconnect then its exception (a handler reconnects; it
//   does so after the exception, as the same call made after the handler would). Requests held
//   for a report are dropped when a later request is made elsewhere meanwhile.
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
  // A read or write of aConnection failed: it is ending, and its read loop and writes stop.
  void MarkFailed(TqorTCPConnectionClient* aConnection);
  // closing -> idle; the connection is no longer the component's.
  void EndClose(TqorTCPConnectionClient* aConnection);
  // Whatever the state, idle again; the connection is handed to the caller (destruction).
  TqorTCPConnectionClient* Reset();

  // The current connection, kept alive while held, and only while connected. aReader: the
  // socket client whose reading thread asks; it gets only a connection made on that client
  // (an older thread may still be ending after a handler connected anew). None: a write,
  // which goes to the current connection from any thread (a neNoSync handler on an old
  // reading thread may have connected anew, and authenticates).
  class TLease {
   public:
    TLease(TqorTCPConnectionState& aOwner, const TqorIdTCPClient* aReader);
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

  // Active := aValue on the calling thread; aInReport: the thread makes or serves a close
  // report (see InReport, which needs the main thread's call queue).
  TqorTCPRequestRoute Request(bool aValue, bool aInReport);
  // rrRun's caller: the next request queued by its handlers meanwhile; False when none is left.
  bool NextQueued(bool& aValue);
  // rrRun's caller is done: requests still queued for it are dropped (the component is being
  // destroyed).
  void EndRequests();
  // The calling reading thread reports a close by the peer; False, and no report, while it runs
  // an activation or deactivation itself.
  bool BeginReport();
  // The reporting thread, while it reports; none otherwise.
  std::thread::id Reporter() const;
  // The report is over. The requests held for it, whether they were made on the reporting
  // thread, and the mark that tells whether a later request overrides them (Overridden).
  struct THeld {
    std::vector<bool> Values;
    bool OnReporter = false;
    uint64_t Mark = 0;
  };
  THeld EndReport();
  bool Overridden(uint64_t aMark) const;

 private:
  struct TUse {
    int Leases = 0;
    bool Released = false;
  };
  struct TQueued {
    bool Value;
    bool ForReport;  // held until the report's end, else carried out by the running request
  };
  bool HeldForReport() const;

  mutable std::mutex FLock;
  TqorTCPState FState = tcpsIdle;
  TqorTCPConnectionClient* FConnection = nullptr;
  // Leases of connections that threads still use.
  std::map<const TqorTCPConnectionClient*, TUse> FUses;
  TFree FFree;
  // The thread inside an activation or deactivation, the reading thread that reports a close,
  // and what was asked for meanwhile.
  std::thread::id FRunning;
  std::thread::id FReporter;
  std::deque<TQueued> FQueue;
  bool FHeldOnReporter = false;
  // Requests carried out or queued for a running one so far, and their count when the first
  // one was held for a report.
  uint64_t FRequests = 0;
  uint64_t FHeldAt = 0;
};
