#pragma once
#include "transport/IdStack.h"

// A signal another thread raises to end a wait at once; raises count until the waiter takes
// them. A reading thread sleeps on it beside its transport, so a termination request or a
// queued command costs one wake-up and an idle connection none.
class TIdWakeSignal {
 public:
  // Raises EOSError when the system has no signal left to give.
  TIdWakeSignal();
  ~TIdWakeSignal();
  TIdWakeSignal(const TIdWakeSignal&) = delete;
  TIdWakeSignal& operator=(const TIdWakeSignal&) = delete;

  void Raise();
  // Forgets every raise made so far.
  void Take();
  // Sleeps until raised or AMSec passes (IdTimeoutInfinite: no limit); true when raised.
  bool Wait(int AMSec = IdTimeoutInfinite) const;
  // Sleeps until AHandle is readable (bytes, a close, an error), this is raised, or AMSec
  // passes; true when AHandle is readable. Failures of the wait raise the stack's error.
  bool WaitReadable(TIdStackSocketHandle AHandle, int AMSec = IdTimeoutInfinite) const;
  // The same for a socket that can take a send (a connect has ended, either way).
  bool WaitWritable(TIdStackSocketHandle AHandle, int AMSec = IdTimeoutInfinite) const;
  // Sleeps until AOther or this is raised; true when AOther was.
  bool WaitOther(const TIdWakeSignal& AOther) const { return WaitReadable(AOther.FHandle); }
  // Raised and not taken since.
  bool Raised() const { return Wait(0); }

 private:
  bool WaitFor(TIdStackSocketHandle AHandle, short AEvents, int AMSec) const;

  const int FHandle;  // an eventfd
};
