#pragma once
#include <optional>
#include <string>

#include "rcon/qorRCON_History.h"

// The interactive prompt: libedit's line editing driven one key at a time from the program's
// own poll loop, so that answers and a lost connection show while a line is being typed. The
// history is the window's (history.txt in $XDG_DATA_HOME/qorRCON), read at start and written
// after each command. One prompt per process.
class TqorCLI_Prompt {
 public:
  TqorCLI_Prompt(const std::string& aPrompt, const std::string& aHistoryFile);
  ~TqorCLI_Prompt();
  TqorCLI_Prompt(const TqorCLI_Prompt&) = delete;
  TqorCLI_Prompt& operator=(const TqorCLI_Prompt&) = delete;

  // Shows the prompt and takes keys again.
  void Show();
  // Takes the prompt away (while a command waits for its answer).
  void Hide();
  // Takes it away and wipes its line, for the last words of a session.
  void Clear();
  // Reads the keys the terminal has; afterwards TakeLine may have a line.
  void ReadKeys();
  // A finished line, once. Ended() after Ctrl+D on an empty line.
  std::optional<std::string> TakeLine();
  bool Ended() const { return FEnded; }
  // Ctrl+C: the line typed so far is dropped and a fresh prompt shown.
  void Interrupt();
  // Writes aText (whole lines) above the prompt and shows the prompt again.
  void Print(const std::string& aText);
  // Keeps aCommand in the history, unless it holds aSecret.
  void Remember(const std::string& aCommand, const std::string& aSecret);

  // The window's history file: $XDG_DATA_HOME/qorRCON/history.txt, else
  // ~/.local/share/qorRCON/history.txt.
  static std::string HistoryFile();
  static constexpr size_t HistoryLimit = 500;

 private:
  static void OnLine(char* aLine);

  std::string FPrompt;
  TqorRCON_History FHistory;
  bool FShown = false;
  bool FEnded = false;
  std::optional<std::string> FLine;
};
