#pragma once
#include <memory>
#include <string>
#include <thread>

// Finds out, off the user-interface thread, whether a server answers a TCP connect at all:
// resolves the host, opens a connection and closes it again at once. The console activates
// its RCON component (which connects on the user-interface thread) only once the server has
// answered, so that a host that drops connects cannot freeze the window, and the operator can
// cancel while waiting. A refusal or a name that does not resolve counts as an answer: the
// activation then reports it in the component's own words.
class TqorRCON_ConnectProbe {
 public:
  enum TResult { prWaiting, prAnswered, prTimedOut };

  TqorRCON_ConnectProbe(const std::string& aHost, int aPort, int aTimeoutMs);
  // Cancels at once; the thread ends on its own.
  ~TqorRCON_ConnectProbe();
  TqorRCON_ConnectProbe(const TqorRCON_ConnectProbe&) = delete;
  TqorRCON_ConnectProbe& operator=(const TqorRCON_ConnectProbe&) = delete;

  TResult Result() const;

 private:
  struct TState;
  static void Run(std::shared_ptr<TState> aState, std::string aHost, int aPort, int aTimeoutMs);

  std::shared_ptr<TState> FState;
  std::thread FThread;
};
