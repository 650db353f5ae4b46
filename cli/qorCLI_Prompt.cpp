#include "cli/qorCLI_Prompt.h"

#include <editline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
TqorCLI_Prompt* gPrompt = nullptr;
}

std::string TqorCLI_Prompt::HistoryFile() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string folder;
  if (data && *data) {
    folder = data;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home ? home : "") + "/.local/share";
  }
  return folder + "/qorRCON/history.txt";
}

TqorCLI_Prompt::TqorCLI_Prompt(const std::string& aPrompt, const std::string& aHistoryFile)
    : FPrompt(aPrompt), FHistory(aHistoryFile, HistoryLimit, false) {
  gPrompt = this;
  // Ctrl+C is the program's own (see Interrupt); libedit must not take the signals.
  rl_catch_signals = 0;
  using_history();
  for (const std::string& item : FHistory.Items()) add_history(item.c_str());
}

TqorCLI_Prompt::~TqorCLI_Prompt() {
  Hide();
  FHistory.Save();
  gPrompt = nullptr;
}

void TqorCLI_Prompt::Show() {
  if (FShown || FEnded) return;
  rl_callback_handler_install(FPrompt.c_str(), &TqorCLI_Prompt::OnLine);
  FShown = true;
}

void TqorCLI_Prompt::Hide() {
  if (!FShown) return;
  rl_callback_handler_remove();
  FShown = false;
}

void TqorCLI_Prompt::Clear() {
  if (!FShown) return;
  Hide();
  std::fputs("\r\x1b[K", stdout);
  std::fflush(stdout);
}

void TqorCLI_Prompt::ReadKeys() {
  if (FShown) rl_callback_read_char();
}

void TqorCLI_Prompt::OnLine(char* aLine) {
  TqorCLI_Prompt& self = *gPrompt;
  if (!aLine) {
    // Ctrl+D on an empty line: the shell's way out.
    self.FEnded = true;
    std::fputc('\n', stdout);
  } else {
    self.FLine = aLine;
    std::free(aLine);
  }
  // The prompt stays away until the line has been carried out.
  self.Hide();
}

std::optional<std::string> TqorCLI_Prompt::TakeLine() {
  std::optional<std::string> line;
  line.swap(FLine);
  return line;
}

void TqorCLI_Prompt::Interrupt() {
  std::fputs("^C\n", stdout);
  std::fflush(stdout);
  if (!FShown) return;
  // libedit starts an empty line (and draws the prompt) when its handler is installed anew.
  Hide();
  Show();
}

void TqorCLI_Prompt::Print(const std::string& aText) {
  if (!FShown) {
    std::fwrite(aText.data(), 1, aText.size(), stdout);
    std::fflush(stdout);
    return;
  }
  // Clear the prompt's line, write the text, and draw the prompt with what was typed again.
  std::fputs("\r\x1b[K", stdout);
  std::fwrite(aText.data(), 1, aText.size(), stdout);
  std::fflush(stdout);
  rl_forced_update_display();
}

void TqorCLI_Prompt::Remember(const std::string& aCommand, const std::string& aSecret) {
  if (aCommand.empty() || (!aSecret.empty() && aCommand.find(aSecret) != std::string::npos)) return;
  FHistory.Add(aCommand);
  if (!FHistory.Unsaved()) return;  // a repeat of the newest entry
  add_history(aCommand.c_str());
  FHistory.Save();
}
