#pragma once
// Real TLS peers for the tests: certificates made with the openssl command, `openssl s_server`
// and stunnel4 as child processes on loopback, each stopped by its process id.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

// A child process whose standard output and error are collected while it runs. Its standard
// input is a pipe the test may write to.
class TPeerProcess {
 public:
  explicit TPeerProcess(std::vector<std::string> AArgs) {
    std::vector<char*> LArgv;
    for (std::string& A : AArgs) LArgv.push_back(A.data());
    LArgv.push_back(nullptr);
    int LOut[2], LIn[2];
    if (pipe2(LOut, O_CLOEXEC) != 0 || pipe2(LIn, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
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
    posix_spawnattr_setflags(&LAttr, POSIX_SPAWN_SETSIGMASK);
    const int LRc = posix_spawnp(&FPid, LArgv[0], &LActions, &LAttr, LArgv.data(), environ);
    posix_spawn_file_actions_destroy(&LActions);
    posix_spawnattr_destroy(&LAttr);
    close(LOut[1]);
    close(LIn[0]);
    FStdin = LIn[1];
    if (LRc != 0) {
      close(LOut[0]);
      throw std::runtime_error("cannot start " + AArgs[0]);
    }
    FOutFd = LOut[0];
    FReader = std::thread([this] { Collect(); });
  }
  ~TPeerProcess() {
    Kill(SIGTERM);
    FReader.join();
    close(FOutFd);
    if (FStdin >= 0) close(FStdin);
  }
  TPeerProcess(const TPeerProcess&) = delete;
  TPeerProcess& operator=(const TPeerProcess&) = delete;

  // Waits (bounded) until the output contains AText.
  bool WaitFor(const std::string& AText, int AMs = 10000) {
    std::unique_lock<std::mutex> LLock(FLock);
    return FChanged.wait_for(LLock, std::chrono::milliseconds(AMs), [&] {
      return FOutput.find(AText) != std::string::npos || FEnded;
    }) && FOutput.find(AText) != std::string::npos;
  }
  std::string Output() {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FOutput;
  }
  void WriteStdin(const std::string& AText) {
    if (FStdin < 0) return;
    [[maybe_unused]] const ssize_t N = ::write(FStdin, AText.data(), AText.size());
  }
  // Sends ASignal and reaps the child; the exit status is kept.
  void Kill(int ASignal) {
    if (FPid <= 0) return;
    kill(FPid, ASignal);
    waitpid(FPid, &FStatus, 0);
    FPid = -1;
  }
  pid_t Pid() const { return FPid; }

 private:
  void Collect() {
    char LBuffer[4096];
    for (;;) {
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
  int FStatus = 0;
  int FOutFd = -1;
  int FStdin = -1;
  std::thread FReader;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::string FOutput;
  bool FEnded = false;
};

// The certificates of the tests, made once in the build tree and shared by the test
// processes (one per test case); made again when older than half a day.
class TCertificates {
 public:
  static const TCertificates& Get() {
    static TCertificates LInstance;
    return LInstance;
  }
  std::string Path(const std::string& AName) const { return FFolder + "/" + AName; }
  const std::string& Folder() const { return FFolder; }

 private:
  TCertificates() : FFolder(TLS_CERT_DIR) {
    if (system(("mkdir -p " + FFolder).c_str()) != 0) throw std::runtime_error("mkdir");
    const int LLock = ::open((FFolder + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (LLock < 0 || flock(LLock, LOCK_EX) != 0) throw std::runtime_error("lock");
    struct stat LStat {};
    const std::string LReady = Path("ready-3");  // the number follows the set of files
    if (stat(LReady.c_str(), &LStat) != 0 || time(nullptr) - LStat.st_mtime > 12 * 3600) {
      const std::string LCommand = std::string(TLS_MAKE_CERTS) + " " + FFolder;
      if (system(LCommand.c_str()) != 0) throw std::runtime_error("cannot make certificates");
      std::ofstream(LReady) << "ok\n";
    }
    flock(LLock, LOCK_UN);
    ::close(LLock);
  }
  std::string FFolder;
};

// `openssl s_server` on a free loopback port, line-buffered so its log can be read live.
class TSServer {
 public:
  // AArgs follow the common ones (certificate, key, -accept); the server stays up until the
  // object goes.
  TSServer(const std::string& ACert, const std::string& AKey,
           const std::vector<std::string>& AArgs = {}) {
    const TCertificates& C = TCertificates::Get();
    std::vector<std::string> LArgs{"stdbuf",      "-oL",     "-eL",         "openssl",
                                   "s_server",    "-accept", "127.0.0.1:0", "-cert",
                                   C.Path(ACert), "-key",    C.Path(AKey)};
    // s_server sends only the first certificate of -cert; the intermediate goes separately.
    if (ACert.find("chain") != std::string::npos) {
      LArgs.insert(LArgs.end(), {"-cert_chain", C.Path("inter.pem")});
    }
    LArgs.insert(LArgs.end(), AArgs.begin(), AArgs.end());
    FProcess = std::make_unique<TPeerProcess>(LArgs);
    if (!FProcess->WaitFor("ACCEPT 127.0.0.1:")) {
      throw std::runtime_error("s_server did not start: " + FProcess->Output());
    }
    const std::string LOut = FProcess->Output();
    const size_t LAt = LOut.find("ACCEPT 127.0.0.1:") + 17;
    FPort = std::stoi(LOut.substr(LAt));
  }
  int Port() const { return FPort; }
  TPeerProcess& Process() { return *FProcess; }

 private:
  std::unique_ptr<TPeerProcess> FProcess;
  int FPort = 0;
};

// stunnel4 in server mode on a free loopback port, forwarding to 127.0.0.1:ATargetPort.
class TStunnel {
 public:
  TStunnel(int ATargetPort, const std::string& ACertChain, const std::string& AKey) {
    const TCertificates& C = TCertificates::Get();
    // A free port can be taken between the probe and stunnel's bind: try a few.
    for (int LAttempt = 0; LAttempt < 5 && !FProcess; ++LAttempt) {
      uint16_t LPort = 0;
      const int LProbe = BindLoopback(0, &LPort);
      if (LProbe < 0) continue;
      ::close(LProbe);
      const std::string LConfig = C.Path("stunnel-" + std::to_string(LPort) + ".conf");
      std::ofstream(LConfig) << "foreground = yes\n"
                             << "pid =\n"
                             << "debug = notice\n"
                             << "[rcon]\n"
                             << "accept = 127.0.0.1:" << LPort << "\n"
                             << "connect = 127.0.0.1:" << ATargetPort << "\n"
                             << "cert = " << C.Path(ACertChain) << "\n"
                             << "key = " << C.Path(AKey) << "\n";
      auto LProcess = std::make_unique<TPeerProcess>(std::vector<std::string>{"stunnel4", LConfig});
      if (LProcess->WaitFor("Configuration successful") && WaitListening(LPort)) {
        FProcess = std::move(LProcess);
        FPort = LPort;
      }
    }
    if (!FProcess) throw std::runtime_error("stunnel did not start");
  }
  int Port() const { return FPort; }
  TPeerProcess& Process() { return *FProcess; }

 private:
  static bool WaitListening(uint16_t APort) {
    for (int I = 0; I < 100; ++I) {
      const int LFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in A = LoopbackAddress(APort);
      const bool LUp = ::connect(LFd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
      ::close(LFd);
      if (LUp) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  std::unique_ptr<TPeerProcess> FProcess;
  int FPort = 0;
};
