#pragma once
// Runs the demo RCON server as a child process on a free loopback port (tests, benchmark).
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

class TRCONDemoServerProcess {
 public:
  explicit TRCONDemoServerProcess(const std::string& aExecutable,
                                  const std::vector<std::string>& aExtraArgs = {}) {
    std::vector<std::string> args{aExecutable, "--port", "0"};
    args.insert(args.end(), aExtraArgs.begin(), aExtraArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    int rc = posix_spawn(&FPid, aExecutable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start " + aExecutable);
    }
    std::string line = ReadLine(out[0], 10000);
    close(out[0]);
    auto colon = line.rfind(':');
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
      Stop();
      throw std::runtime_error("demo server did not start: " + line);
    }
    FPort = std::stoi(line.substr(colon + 1));
  }
  ~TRCONDemoServerProcess() { Stop(); }
  TRCONDemoServerProcess(const TRCONDemoServerProcess&) = delete;
  TRCONDemoServerProcess& operator=(const TRCONDemoServerProcess&) = delete;

  int Port() const { return FPort; }

 private:
  static std::string ReadLine(int aFd, int aTimeoutMs) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    char c;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{aFd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(aFd, &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    return line;
  }
  void Stop() {
    if (FPid <= 0) return;
    kill(FPid, SIGTERM);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
  }

  pid_t FPid = -1;
  int FPort = 0;
};
