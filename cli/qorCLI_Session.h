#pragma once
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cli/qorCLI_Options.h"
#include "rcon/qorLib_RCON_Client.h"

class TqorCLI_Prompt;

// The RCON component with its TCP client in reach, for the proxy, TLS, log and throttle.
class TqorCLI_RCON : public TqorLib_RCON {
 public:
  using TqorLib_RCON::TqorLib_RCON;
  TqorTCPCLient& TCP() { return *GetTCPClient(); }
};

// One run of the program: connects, authenticates, sends the commands given, then those from
// standard input or the prompt, one at a time (each waits for its whole answer), and yields
// the exit code. The component raises its events on its reading thread (neNoSync): there an
// answer is printed and the next queued command sent at once, the fastest road through the
// component; the main thread reads the input, keeps the time-outs and, at the prompt, prints
// what the reading thread hands it.
class TqorCLI_Session {
 public:
  // aColour: answers' colour codes become ANSI sequences (else they are taken out).
  TqorCLI_Session(TqorCLI_Settings aSettings, bool aColour);
  ~TqorCLI_Session();
  TqorCLI_Session(const TqorCLI_Session&) = delete;
  TqorCLI_Session& operator=(const TqorCLI_Session&) = delete;

  // aInput: where further commands come from (standard input); aTerminal: whether it is a
  // terminal (then the prompt).
  int Run(int aInput, bool aTerminal);

 private:
  enum TWait { wDone, wTimedOut, wInput, wInterrupted };
  using TClock = std::chrono::steady_clock;
  using TGuard = std::lock_guard<std::recursive_mutex>;
  // Lines read ahead of the commands in flight.
  static constexpr size_t QueueLimit = 4096;

  void Configure();
  int Connect();
  // The commands given, then (aInput not -1) one command per input line.
  int RunQueue(int aInput);
  int RunPrompt(int aInput);
  int Execute(const std::string& aCommand);
  // Delivers the component's events until aDone() (asked under FLock) holds, aSeconds pass
  // (0: no limit), aInput (if not -1) has something to read, or Ctrl+C was pressed at the
  // prompt.
  TWait Wait(const std::function<bool()>& aDone, double aSeconds, int aInput = -1);
  // Runs the answer rule's timer; the poll time-out it needs (-1: none).
  int CheckAnswers(int aTimeoutMs);
  int Fail(int aExit, const std::string& aMessage);
  // The connection ended (or a write failed) while commands were left.
  int Lost();
  void Wake();

  // Called with FLock held, on either thread.
  void SendNext();
  void Output(const std::string& aText);
  void PrintAnswer(const std::string* aCommand, const std::string& aText, int aPackets,
                   double aMilliseconds);
  void SetError(const std::string& aMessage);
  // On the main thread: what the reading thread left for the prompt.
  void DrainOutput();

  TqorCLI_Settings FSettings;
  bool FColour;
  std::string FAddress;  // host:port, for messages
  int FWake[2] = {-1, -1};
  TqorCLI_Prompt* FPrompt = nullptr;

  // Shared with the reading thread.
  std::recursive_mutex FLock;
  int FAuthenticated = 0;  // 1 accepted, -1 refused
  bool FDisconnected = false;
  bool FWriteFailed = false;
  bool FHaveError = false;
  std::string FError;  // the first exception's message since the connect
  std::deque<std::string> FQueue;
  bool FChain = false;    // the answer's thread sends the next queued command
  bool FDirect = true;    // output is written at once by whichever thread has it
  std::string FPending;   // output for the prompt
  bool FWaiting = false;  // a command waits for its answer
  std::string FCommand;   // the last command sent
  int FPackets = 0;
  TClock::time_point FSentAt;
  TClock::time_point FAnsweredAt;
  bool FSentAny = false;

  // Last, so that it goes first: its threads end before what their handlers use.
  TqorCLI_RCON FRCON{nullptr};
};
