#pragma once
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
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
// the exit code. Single-threaded: the component delivers its events to this (the main) thread,
// whose poll loop wakes when one is queued.
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

  void Configure();
  int Connect();
  int Execute(const std::string& aCommand);
  int RunScript(int aInput);
  int RunPrompt(int aInput);
  // Delivers the component's events until aDone() holds, aSeconds pass (0: no limit), aInput
  // (if not -1) has something to read, or Ctrl+C was pressed at the prompt.
  TWait Wait(const std::function<bool()>& aDone, double aSeconds, int aInput = -1);
  int Fail(int aExit, const std::string& aMessage);
  // The connection ended under a command or the prompt.
  int Lost();
  void Write(const std::string& aText);
  void PrintAnswer(const std::string* aCommand, const std::string& aText, int aPackets,
                   double aMilliseconds);

  TqorCLI_Settings FSettings;
  bool FColour;
  std::string FAddress;  // host:port, for messages
  TqorCLI_RCON FRCON{nullptr};
  int FWake[2] = {-1, -1};
  TqorCLI_Prompt* FPrompt = nullptr;
  int FAuthenticated = 0;  // 1 accepted, -1 refused
  bool FDisconnected = false;
  std::string FError;  // the first exception's message since the last connect
  bool FHaveError = false;
  // The command waiting for its answer.
  bool FWaiting = false;
  bool FAnswered = false;
  int FPackets = 0;
  TClock::time_point FSentAt;
};
