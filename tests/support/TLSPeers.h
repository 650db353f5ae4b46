#pragma once
// Real TLS peers for tests and benchmarks: certificates made with the openssl command,
// `openssl s_server` and stunnel4 as child processes on loopback, and a server-side session on
// an accepted socket for peers the test scripts itself.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tls/IdSSLOpenSSL.h"

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
    FProcess = std::make_unique<TChildProcess>(LArgs);
    if (!FProcess->WaitFor("ACCEPT 127.0.0.1:")) {
      throw std::runtime_error("s_server did not start: " + FProcess->Output());
    }
    const std::string LOut = FProcess->Output();
    const size_t LAt = LOut.find("ACCEPT 127.0.0.1:") + 17;
    FPort = std::stoi(LOut.substr(LAt));
  }
  int Port() const { return FPort; }
  TChildProcess& Process() { return *FProcess; }

 private:
  std::unique_ptr<TChildProcess> FProcess;
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
      auto LProcess =
          std::make_unique<TChildProcess>(std::vector<std::string>{"stunnel4", LConfig});
      if (LProcess->WaitFor("Configuration successful") && LProcess->WaitListening(LPort)) {
        FProcess = std::move(LProcess);
        FPort = LPort;
      }
    }
    if (!FProcess) throw std::runtime_error("stunnel did not start");
  }
  int Port() const { return FPort; }
  TChildProcess& Process() { return *FProcess; }

 private:
  std::unique_ptr<TChildProcess> FProcess;
  int FPort = 0;
};

// The server side of a TLS session on an accepted socket, with the tests' certificate chain;
// TLS 1.2 and 1.3.
class TTLSServerSession {
 public:
  explicit TTLSServerSession(int AFd) {
    const TCertificates& C = TCertificates::Get();
    FContext.Mode = sslmServer;
    FContext.Method = sslvSSLv23;
    FContext.SSLVersions = SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3);
    FContext.CertFile = C.Path("server-chain.pem");
    FContext.KeyFile = C.Path("server.key");
    FContext.PrepareContext(sslCtxServer);
    FSession.SetContext(&FContext);
    FSession.Accept(AFd);
  }
  TIdSSLSocket& Session() { return FSession; }

 private:
  TIdSSLContext FContext;
  TIdSSLSocket FSession{nullptr};
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
        const size_t LRecord = 5 + static_cast<size_t>(static_cast<uint8_t>(LHeld[3]) << 8 |
                                                       static_cast<uint8_t>(LHeld[4]));
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
