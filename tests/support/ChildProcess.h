#pragma once
// Real peers (proxy, TLS and demo servers) as child processes for tests and benchmarks: output
// collected while they run, bounded waits for a text or a listening port, a stop by PID.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

inline bool HaveProgram(const std::string& APath) {
  return access(APath.c_str(), X_OK) == 0;
}

// The program runs under timeout(1) in a process group of its own, so it ends after ten minutes
// at the latest even when the test that started it dies first, and a signal reaches the
// program and everything it started. Standard output and error are collected; standard input
// is a pipe the test may write to.
class TChildProcess {
 public:
  explicit TChildProcess(std::vector<std::string> AArgs) {
    AArgs.insert(AArgs.begin(), {"/usr/bin/timeout", "--kill-after=5", "600"});
    std::vector<char*> LArgv;
    for (std::string& A : AArgs) LArgv.push_back(A.data());
    LArgv.push_back(nullptr);
    int LOut[2], LIn[2];
    if (pipe2(LOut, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (pipe2(LIn, O_CLOEXEC) != 0) {
      close(LOut[0]);
      close(LOut[1]);
      throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t LActions;
    posix_spawn_file_actions_init(&LActions);
    posix_spawn_file_actions_adddup2(&LActions, LOut[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&LActions, LOut[1], STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&LActions, LIn[0], STDIN_FILENO);
    // The child must not inherit a blocked SIGPIPE from a thread that drove a session.
    posix_spawnattr_t LAttr;
    posix_spawnattr_init(&LAttr);
    sigset_t LEmpty;
    sigemptyset(&LEmpty);
    posix_spawnattr_setsigmask(&LAttr, &LEmpty);
    posix_spawnattr_setpgroup(&LAttr, 0);
    posix_spawnattr_setflags(&LAttr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    const int LRc = posix_spawn(&FPid, LArgv[0], &LActions, &LAttr, LArgv.data(), environ);
    posix_spawn_file_actions_destroy(&LActions);
    posix_spawnattr_destroy(&LAttr);
    close(LOut[1]);
    close(LIn[0]);
    if (LRc != 0) {
      FPid = -1;
      close(LOut[0]);
      close(LIn[1]);
      throw std::runtime_error("cannot start " + AArgs[3]);
    }
    FStdin = LIn[1];
    FOutFd = LOut[0];
    FReader = std::thread([this] { Collect(); });
  }
  ~TChildProcess() {
    Stop();
    {
      std::lock_guard<std::mutex> LGuard(FLock);
      FStopping = true;
    }
    FReader.join();
    close(FOutFd);
    close(FStdin);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // True once the output contains AText; false when the program ended or time ran out first.
  bool WaitFor(const std::string& AText, int AMs = 10000) {
    std::unique_lock<std::mutex> LLock(FLock);
    FChanged.wait_for(LLock, std::chrono::milliseconds(AMs),
                      [&] { return FOutput.find(AText) != std::string::npos || FEnded; });
    return FOutput.find(AText) != std::string::npos;
  }
  // True once APort on 127.0.0.1 accepts; false when the program ended or time ran out.
  bool WaitListening(uint16_t APort, int AMs = 15000) {
    const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    while (std::chrono::steady_clock::now() < LEnd && Running()) {
      const int LFd = ConnectLoopback(APort);
      if (LFd >= 0) {
        close(LFd);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string Output() {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FOutput;
  }
  void WriteStdin(const std::string& AText) {
    [[maybe_unused]] const ssize_t N = ::write(FStdin, AText.data(), AText.size());
  }
  bool Running() {
    if (FPid > 0 && waitpid(FPid, nullptr, WNOHANG) == FPid) FPid = -1;
    return FPid > 0;
  }
  // Sends ASignal to the program and what it started, and reaps it.
  void Kill(int ASignal) {
    if (!Running()) return;
    kill(-FPid, ASignal);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
  }
  // SIGTERM, then SIGKILL after 5 s; always reaped.
  void Stop() {
    if (!Running()) return;
    kill(-FPid, SIGTERM);
    const auto LEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < LEnd) {
      if (!Running()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill(SIGKILL);
  }

 private:
  // Reads until the end of the output, or until the object goes (a grandchild that keeps the
  // pipe open must not hold the test).
  void Collect() {
    char LBuffer[4096];
    for (;;) {
      pollfd LPoll{FOutFd, POLLIN, 0};
      if (poll(&LPoll, 1, 50) <= 0) {
        std::lock_guard<std::mutex> LGuard(FLock);
        if (FStopping) break;
        continue;
      }
      const ssize_t N = read(FOutFd, LBuffer, sizeof LBuffer);
      if (N <= 0) break;
      std::lock_guard<std::mutex> LGuard(FLock);
      FOutput.append(LBuffer, static_cast<size_t>(N));
      FChanged.notify_all();
    }
    std::lock_guard<std::mutex> LGuard(FLock);
    FEnded = true;
    FChanged.notify_all();
  }

  pid_t FPid = -1;
  int FOutFd = -1;
  int FStdin = -1;
  std::thread FReader;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::string FOutput;
  bool FEnded = false;
  bool FStopping = false;
};

// The demo RCON server on a free loopback port.
class TRCONDemoServerProcess {
 public:
  explicit TRCONDemoServerProcess(const std::string& AExecutable,
                                  const std::vector<std::string>& AExtraArgs = {}) {
    std::vector<std::string> LArgs{AExecutable, "--port", "0"};
    LArgs.insert(LArgs.end(), AExtraArgs.begin(), AExtraArgs.end());
    FProcess = std::make_unique<TChildProcess>(LArgs);
    const std::string LPrefix = "listening on 127.0.0.1:";
    if (!FProcess->WaitFor(LPrefix) || !FProcess->WaitFor("\n")) {
      throw std::runtime_error("demo server did not start: " + FProcess->Output());
    }
    const std::string LOut = FProcess->Output();
    FPort = std::stoi(LOut.substr(LOut.find(LPrefix) + LPrefix.size()));
  }
  int Port() const { return FPort; }

 private:
  std::unique_ptr<TChildProcess> FProcess;
  int FPort = 0;
};
