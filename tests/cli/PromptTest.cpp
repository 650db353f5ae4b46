// The interactive mode driven through a pseudo-terminal, as a user at a shell drives it: line
// editing, the history shared with the window, Ctrl+C and Ctrl+D, the password prompt and
// colours on a terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>

#include <fstream>

#include "cli/qorCLI_Options.h"
#include "tests/cli/QorrconRun.h"
#include "tests/rcon/RCONTestServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"

namespace {

// qorrcon on the slave side of a pseudo-terminal.
class TTerminal {
 public:
  TTerminal(const TQorrcon& aQ, std::vector<std::string> aArgs) {
    std::vector<std::string> env = aQ.Environment();
    env.push_back("TERM=xterm");
    aArgs.insert(aArgs.begin(), QORRCON);
    std::vector<char*> argv, envp;
    for (std::string& a : aArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    winsize size{24, 100, 0, 0};
    FPid = forkpty(&FMaster, nullptr, nullptr, &size);
    if (FPid == 0) {
      execve(QORRCON, argv.data(), envp.data());
      _exit(127);
    }
  }
  ~TTerminal() {
    if (FPid > 0 && !FExited) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FMaster >= 0) close(FMaster);
  }
  bool Started() const { return FPid > 0; }

  // Reads until aText appears after what earlier waits consumed; bounded.
  bool WaitFor(const std::string& aText, int aTimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    for (;;) {
      const size_t at = FOutput.find(aText, FSeen);
      if (at != std::string::npos) {
        FSeen = at + aText.size();
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd p{FMaster, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, int(left)) <= 0) return false;
      char buf[4096];
      const ssize_t n = read(FMaster, buf, sizeof buf);
      if (n <= 0) return false;
      FOutput.append(buf, size_t(n));
    }
  }
  void Type(const std::string& aKeys) {
    for (size_t done = 0; done < aKeys.size();) {
      const ssize_t n = write(FMaster, aKeys.data() + done, aKeys.size() - done);
      if (n <= 0) return;
      done += size_t(n);
    }
  }
  // The exit code, reading the terminal meanwhile; -1 when the program does not end in time.
  int Exit(int aTimeoutMs = 10000) {
    int status = 0;
    const bool ended = WaitUntil(
        [&] {
          char buf[4096];
          pollfd p{FMaster, POLLIN, 0};
          if (poll(&p, 1, 0) > 0) {
            const ssize_t n = read(FMaster, buf, sizeof buf);
            if (n > 0) FOutput.append(buf, size_t(n));
          }
          return waitpid(FPid, &status, WNOHANG) == FPid;
        },
        aTimeoutMs);
    if (!ended) return -1;
    FExited = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Output() const { return FOutput; }
  std::string Since(size_t aFrom) const { return FOutput.substr(aFrom); }
  size_t Seen() const { return FSeen; }

 private:
  pid_t FPid = -1;
  int FMaster = -1;
  bool FExited = false;
  std::string FOutput;
  size_t FSeen = 0;
};

std::string ReadFile(const std::string& aName) {
  std::ifstream in(aName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kUp = "\x1b[A";

TEST(QorrconPrompt, EditingHistoryInterruptAndEnd) {
  TRCONDemoServerProcess demo(RCON_DEMO_SERVER);
  TQorrcon q;
  q.SetEnv("QORRCON_PASSWORD", "zulu");
  // The window's history is there before: Up reaches it.
  std::filesystem::create_directories(q.Home().File("data/qorRCON"));
  q.Home().Write("data/qorRCON/history.txt", "echo from window\n");
  TTerminal t(q, {"-H", "127.0.0.1", "-P", std::to_string(demo.Port())});
  ASSERT_TRUE(t.Started());
  const std::string prompt = "127.0.0.1:" + std::to_string(demo.Port()) + "> ";
  ASSERT_TRUE(t.WaitFor(prompt)) << t.Output();

  t.Type("echo hello\r");
  EXPECT_TRUE(t.WaitFor("\r\nhello\r\n")) << t.Output();
  ASSERT_TRUE(t.WaitFor(prompt));
  // Colour codes become ANSI colours on a terminal.
  t.Type("colours\r");
  EXPECT_TRUE(t.WaitFor("\x1b[0;33mWelcome to the \x1b[1mqorRCON\x1b[0m demo server"))
      << t.Output();
  ASSERT_TRUE(t.WaitFor(prompt));
  // Up three times: colours, echo hello, then the window's entry.
  t.Type(kUp + kUp + kUp + "\r");
  EXPECT_TRUE(t.WaitFor("\r\nfrom window\r\n")) << t.Output();
  ASSERT_TRUE(t.WaitFor(prompt));

  // Ctrl+C drops the half-typed line and gives a fresh prompt.
  t.Type("echo half");
  ASSERT_TRUE(t.WaitFor("echo half"));
  t.Type("\x03");
  EXPECT_TRUE(t.WaitFor("^C")) << t.Output();
  ASSERT_TRUE(t.WaitFor(prompt));
  t.Type("echo after\r");
  EXPECT_TRUE(t.WaitFor("\r\nafter\r\n")) << t.Output();
  EXPECT_EQ(t.Output().find("halfecho"), std::string::npos);
  ASSERT_TRUE(t.WaitFor(prompt));

  // A command holding the password is not kept.
  t.Type("say zulu\r");
  ASSERT_TRUE(t.WaitFor("Unknown command"));
  ASSERT_TRUE(t.WaitFor(prompt));

  // Ctrl+D on an empty line ends the session.
  t.Type("\x04");
  EXPECT_EQ(t.Exit(), exOK) << t.Output();
  EXPECT_EQ(ReadFile(q.Home().File("data/qorRCON/history.txt")),
            "echo from window\necho hello\ncolours\necho from window\necho after\n");
}

TEST(QorrconPrompt, PasswordPromptAndLostServer) {
  TRCONDemoServerProcess demo(RCON_DEMO_SERVER);
  TQorrcon q;
  TTerminal t(q, {"-P", std::to_string(demo.Port())});
  ASSERT_TRUE(t.WaitFor("Password: ")) << t.Output();
  const size_t typed = t.Seen();
  t.Type("zulu\r");
  ASSERT_TRUE(t.WaitFor("> ")) << t.Output();
  EXPECT_EQ(t.Since(typed).find("zulu"), std::string::npos) << "the password was echoed";
  // The server closes while the prompt waits: reported at once, a connection failure.
  t.Type("quit\r");
  EXPECT_TRUE(t.WaitFor("Bye.")) << t.Output();
  EXPECT_TRUE(t.WaitFor("Connection Closed Gracefully.")) << t.Output();
  EXPECT_EQ(t.Exit(), exConnection);
}

TEST(QorrconPrompt, InterruptWhileWaitingForAnAnswer) {
  TRCONTestServer silent([](TPeer& peer) {
    TWirePacket auth;
    if (!peer.Receive(auth) || auth.Type != 3) return;
    peer.Send(Cat({Int(10), Int(auth.ID), Int(2), TBytes{0, 0}}));
    peer.WaitClosed(20000);
  });
  TQorrcon q;
  q.SetEnv("QORRCON_PASSWORD", "zulu");
  TTerminal t(q, {"-P", std::to_string(silent.Port()), "--answer-timeout", "0"});
  ASSERT_TRUE(t.WaitFor("> ")) << t.Output();
  t.Type("stuck\r");
  ASSERT_TRUE(t.WaitFor("stuck"));
  t.Type("\x03");
  EXPECT_TRUE(t.WaitFor("^C")) << t.Output();
  EXPECT_TRUE(t.WaitFor("> ")) << t.Output();
  t.Type("\x04");
  EXPECT_EQ(t.Exit(), exOK) << t.Output();
}

TEST(QorrconPrompt, NoColoursWhenAskedOnATerminal) {
  TRCONDemoServerProcess demo(RCON_DEMO_SERVER);
  for (const bool noColorVariable : {true, false}) {
    TQorrcon q;
    q.SetEnv("QORRCON_PASSWORD", "zulu");
    if (noColorVariable) q.SetEnv("NO_COLOR", "1");
    std::vector<std::string> args{"-P", std::to_string(demo.Port()), "colours"};
    if (!noColorVariable) args.push_back("-c");
    TTerminal t(q, args);
    ASSERT_TRUE(t.WaitFor("Welcome to the qorRCON demo server")) << t.Output();
    EXPECT_EQ(t.Exit(), exOK);
    EXPECT_EQ(t.Output().find("\x1b["), std::string::npos) << t.Output();
  }
}

}  // namespace
