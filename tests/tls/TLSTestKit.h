#pragma once
// Real TLS peers for the tests: certificates made with the openssl command, `openssl s_server`
// and stunnel4 as child processes on loopback, each stopped by its process id.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
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

// A hostile path between a TLS client and a real server: one connection, relayed as it is
// except that the server's bytes can be trickled one at a time, or the next record the server
// sends can be cut in half with the rest held back (a peer stalled mid-record), after which the
// client can be reset. Ends on its own MaxMs after the accept, so a test against a client that
// never gives up still ends.
class TTLSRecordRelay {
 public:
  explicit TTLSRecordRelay(int ATargetPort, int AMaxMs = 30000)
      : FTarget(ATargetPort), FMaxMs(AMaxMs) {
    FListen = ListenOnLoopback(1, FPort);
    if (FListen < 0) throw std::runtime_error("relay: no listener");
    FThread = std::thread([this] { Run(); });
  }
  ~TTLSRecordRelay() {
    FStop = true;
    FThread.join();
    ::close(FListen);
  }
  TTLSRecordRelay(const TTLSRecordRelay&) = delete;
  TTLSRecordRelay& operator=(const TTLSRecordRelay&) = delete;

  uint16_t Port() const { return FPort; }
  // Before the client connects: each byte of the server waits AMs after the one before.
  void SetTrickle(int AMs) { FTrickleMs = AMs; }
  void StallNextRecord() { FArmed = true; }
  // Half of a record has gone out and the rest is held.
  bool Stalled() const { return FStalled; }
  void Release() { FStalled = false; }
  // Resets the client's connection (RST) at once, held bytes unsent.
  void ResetClient() { FReset = true; }

 private:
  void Run() {
    int LClient = -1;
    pollfd LAccept{FListen, POLLIN, 0};
    while (!FStop && LClient < 0) {
      if (::poll(&LAccept, 1, 20) == 1)
        LClient = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    }
    const int LServer = LClient >= 0 ? ConnectLoopback(static_cast<uint16_t>(FTarget)) : -1;
    const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(FMaxMs);
    std::string LHeld;       // from the server, not yet sent on
    size_t LRecordLeft = 0;  // bytes of the current record still to send before a boundary
    auto LLastByte = std::chrono::steady_clock::now();
    bool LServerOpen = true;
    while (LServer >= 0 && !FStop && std::chrono::steady_clock::now() < LEnd) {
      if (FReset) {
        linger LLinger{1, 0};
        setsockopt(LClient, SOL_SOCKET, SO_LINGER, &LLinger, sizeof LLinger);
        ::close(std::exchange(LClient, -1));
        break;
      }
      pollfd LFds[2] = {{LClient, POLLIN, 0}, {LServerOpen ? LServer : -1, POLLIN, 0}};
      ::poll(LFds, 2, 5);
      char LBuffer[16384];
      if (LFds[0].revents) {
        const ssize_t N = ::read(LClient, LBuffer, sizeof LBuffer);
        if (N <= 0) break;
        if (::write(LServer, LBuffer, static_cast<size_t>(N)) != N) break;
      }
      if (LFds[1].revents) {
        const ssize_t N = ::read(LServer, LBuffer, sizeof LBuffer);
        if (N <= 0) LServerOpen = false;
        if (N > 0) LHeld.append(LBuffer, static_cast<size_t>(N));
      }
      if (!LServerOpen && LHeld.empty()) break;
      size_t LSend = 0;
      if (FStalled) {
      } else if (FTrickleMs > 0) {
        const auto LNow = std::chrono::steady_clock::now();
        if (!LHeld.empty() && LNow - LLastByte >= std::chrono::milliseconds(FTrickleMs)) {
          LSend = 1;
          LLastByte = LNow;
        }
      } else if (LRecordLeft > 0) {
        LSend = std::min(LRecordLeft, LHeld.size());
      } else if (LHeld.size() >= 5) {
        const size_t LRecord =
            5 + ((static_cast<uint8_t>(LHeld[3]) << 8) | static_cast<uint8_t>(LHeld[4]));
        if (FArmed) {
          if (LHeld.size() >= 5 + (LRecord - 5) / 2) {
            LSend = 5 + (LRecord - 5) / 2;
            LRecordLeft = LRecord;
            FArmed = false;
            FStalled = true;
          }
        } else {
          LRecordLeft = LRecord;
          LSend = std::min(LRecord, LHeld.size());
        }
      }
      if (LSend > 0) {
        if (::write(LClient, LHeld.data(), LSend) != static_cast<ssize_t>(LSend)) break;
        LHeld.erase(0, LSend);
        LRecordLeft -= std::min(LRecordLeft, LSend);
      }
    }
    if (LClient >= 0) ::close(LClient);
    if (LServer >= 0) ::close(LServer);
  }

  const int FTarget;
  const int FMaxMs;
  int FListen = -1;
  uint16_t FPort = 0;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<int> FTrickleMs{0};
  std::atomic<bool> FArmed{false};
  std::atomic<bool> FStalled{false};
  std::atomic<bool> FReset{false};
};
