#pragma once
// Real TLS peers for tests and benchmarks: certificates made with the openssl command,
// `openssl s_server` and stunnel4 as child processes on loopback, and a server-side session on
// an accepted socket for peers the test scripts itself.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
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
    const std::string LReady = Path("ready");
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
