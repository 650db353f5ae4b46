// qorrcon: the terminal RCON client. See qorrcon.1.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "cli/qorCLI_Options.h"
#include "cli/qorCLI_Session.h"

namespace {

// Asks for the password on the terminal without echoing it.
std::string ReadHiddenLine(const char* aPrompt) {
  // Echo goes off before the prompt shows, so that nothing typed after it is echoed or lost.
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::fputs(aPrompt, stderr);
  std::string line;
  std::getline(std::cin, line);
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::fputc('\n', stderr);
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (qorrcon ... | head) must not kill the program mid-write.
  signal(SIGPIPE, SIG_IGN);
  TqorCLI_Parsed parsed = ParseCommandLine(argc, argv, std::cout, std::cerr);
  if (!parsed.Settings) return parsed.Exit;
  TqorCLI_Settings& s = *parsed.Settings;
  const bool inputTerminal = isatty(STDIN_FILENO);
  if (s.PasswordOnCommandLine)
    std::cerr << "qorrcon: warning: a password on the command line can be seen by other users; "
                 "use --password-file or QORRCON_PASSWORD\n";
  if (!s.Password) {
    if (!inputTerminal) {
      std::cerr << "qorrcon: no password: give -p, --password-file or QORRCON_PASSWORD\n";
      return exUsage;
    }
    s.Password = ReadHiddenLine("Password: ");
  }
  const char* noColour = std::getenv("NO_COLOR");
  const bool colour = isatty(STDOUT_FILENO) && !s.NoColour && !(noColour && *noColour);
  int rc;
  {
    TqorCLI_Session session(std::move(s), colour);
    rc = session.Run(STDIN_FILENO, inputTerminal);
  }
  std::fflush(stdout);
  return rc;
}
