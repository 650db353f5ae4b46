// qorrcon against a plain blocking C++ client (this program run as "--plain PORT [COMMAND]":
// one socket, send a packet, read one packet, print its body), all against the demo server:
// - 10,000 commands from standard input, wall time (target: qorrcon <= 1.1 x plain);
// - the same commands with a client started once per command (the plain client, timed over
//   1,000 starts and scaled), which qorrcon must beat;
// - one-shot start-to-answer (process start, connect, authenticate, one answer, exit), median
//   of many (target: qorrcon within 2 ms of the plain client).
// Rounds interleave the contenders; figures are medians. Usage: qorrcon_script [--quick]
#include <fcntl.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/Figures.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/RCONWire.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- The plain client ----

int PlainClient(int aPort, const char* aCommand) {
  const int fd = ConnectLoopback(uint16_t(aPort));
  if (fd < 0) return 1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  TWirePacket answer;
  auto receive = [&] { return ReadWirePacket(fd, answer, 1 << 20); };
  if (!SendWire(fd, WirePacket(1, 3, "zulu")) || !receive() || answer.ID != 1) return 3;
  auto run = [&](const std::string& aLine, int32_t aID) {
    if (!SendWire(fd, WirePacket(aID, 2, aLine)) || !receive()) return false;
    answer.Body += '\n';
    std::fwrite(answer.Body.data(), 1, answer.Body.size(), stdout);
    return true;
  };
  if (aCommand) return run(aCommand, 2) ? 0 : 1;
  char* line = nullptr;
  size_t capacity = 0;
  int32_t next = 2;
  for (ssize_t n; (n = getline(&line, &capacity, stdin)) > 0;) {
    std::string command(line, size_t(n));
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
      command.pop_back();
    if (!command.empty() && !run(command, next++)) return 1;
  }
  std::free(line);
  close(fd);
  return 0;
}

// ---- Running the contenders ----

// Runs aArgs with aInput (a file) as standard input and output to /dev/null; the wall time.
double Run(const std::vector<std::string>& aArgs, const std::string& aInput) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, aInput.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + aArgs[0]);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  const double took = Seconds(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(aArgs[0] + " failed: " + std::to_string(status));
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--plain") == 0)
    return PlainClient(std::atoi(argv[2]), argc > 3 ? argv[3] : nullptr);
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int rounds = quick ? 1 : 5, commands = 10000, starts = quick ? 200 : 1000,
            oneShots = quick ? 50 : 200;
  try {
    TRCONDemoServerProcess server(RCON_DEMO_SERVER);
    const std::string port = std::to_string(server.Port());
    const std::string self = "/proc/self/exe";
    char exe[4096];
    const ssize_t n = readlink(self.c_str(), exe, sizeof exe - 1);
    if (n <= 0) throw std::runtime_error("no own path");
    const std::string plain(exe, size_t(n));
    char script[] = "/tmp/qorrcon_script_XXXXXX";
    const int fd = mkstemp(script);
    if (fd < 0) throw std::runtime_error("no temporary file");
    close(fd);
    {
      std::ofstream out(script);
      for (int i = 0; i < commands; ++i) out << "echo command number " << i << "\n";
    }
    const std::vector<std::string> plainArgs{plain, "--plain", port};
    setenv("QORRCON_PASSWORD", "zulu", 1);
    // The password from the environment: -p would add a warning to every run.
    const std::vector<std::string> qorrconQuiet{QORRCON, "-P", port};

    std::vector<double> q, p;
    for (int r = 0; r < rounds; ++r) {
      q.push_back(Run(qorrconQuiet, script));
      p.push_back(Run(plainArgs, script));
    }
    std::vector<double> perCommand;
    for (int i = 0; i < starts; ++i) {
      std::vector<std::string> args = plainArgs;
      args.push_back("echo command number " + std::to_string(i));
      perCommand.push_back(Run(args, "/dev/null"));
    }
    double perCommandTotal = 0;
    for (double s : perCommand) perCommandTotal += s;
    perCommandTotal *= double(commands) / starts;

    std::vector<double> q1, p1;
    for (int i = 0; i < oneShots; ++i) {
      std::vector<std::string> a = qorrconQuiet, b = plainArgs;
      a.push_back("echo one shot");
      b.push_back("echo one shot");
      q1.push_back(Run(a, "/dev/null"));
      p1.push_back(Run(b, "/dev/null"));
    }
    std::remove(script);

    std::printf("%d commands from standard input against the demo server, %d round(s) (medians)\n",
                commands, rounds);
    std::printf("  qorrcon:                               %8.3f s\n", Median(q));
    std::printf("  plain blocking client:                 %8.3f s\n", Median(p));
    std::printf("  plain client started once per command: %8.3f s (%d starts, scaled)\n",
                perCommandTotal, starts);
    const double ratio = Median(q) / Median(p);
    std::printf("  qorrcon/plain: %.2f (target <= 1.10) %s\n", ratio,
                ratio <= 1.10 ? "met" : "MISSED");
    std::printf("  qorrcon faster than once per command: %s\n",
                Median(q) < perCommandTotal ? "met" : "MISSED");
    const double gap = (Median(q1) - Median(p1)) * 1000;
    std::printf("one-shot start-to-answer, %d runs (medians)\n", oneShots);
    std::printf("  qorrcon:               %6.2f ms\n", Median(q1) * 1000);
    std::printf("  plain blocking client: %6.2f ms\n", Median(p1) * 1000);
    std::printf("  difference: %.2f ms (target <= 2.00) %s\n", gap, gap <= 2.0 ? "met" : "MISSED");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qorrcon_script: %s\n", e.what());
    return 1;
  }
}
