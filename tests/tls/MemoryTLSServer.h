#pragma once
// An OpenSSL server in the test's own process (bound through the program's binding): on
// memory BIOs for the provider's tests, or behind a loopback socket whose every segment the
// test scripts (splits, pauses, several records at once, a close in the middle of a record).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"
#include "tests/support/TLSPeers.h"
#include "tls/IdSSLOpenSSLHeaders.h"

using TBytes8 = std::vector<uint8_t>;

inline std::string Cert(const std::string& AName) {
  return TCertificates::Get().Path(AName);
}

inline TBytes8 DrainBio(PBIO ABio) {
  TBytes8 LOut;
  uint8_t LBuffer[4096];
  int N;
  while ((N = GOpenSSL.BIO_read(ABio, LBuffer, sizeof LBuffer)) > 0)
    LOut.insert(LOut.end(), LBuffer, LBuffer + N);
  return LOut;
}

// An OpenSSL server on memory BIOs: bytes in, bytes out, nothing on a socket.
class TMemoryServer {
 public:
  explicit TMemoryServer(const std::string& AChain = "server-chain.pem",
                         const std::string& AKey = "server.key",
                         const std::function<void(PSSL_CTX)>& ASetup = {}) {
    if (!LoadTLSLibrary()) throw std::runtime_error("no OpenSSL");
    FCtx = GOpenSSL.SSL_CTX_new(GOpenSSL.TLS_server_method());
    GOpenSSL.SSL_CTX_use_certificate_chain_file(FCtx, Cert(AChain).c_str());
    const std::string LKey = ReadAll(Cert(AKey));
    PBIO LBio = GOpenSSL.BIO_new_mem_buf(LKey.data(), static_cast<int>(LKey.size()));
    PEVP_PKEY LPKey = GOpenSSL.PEM_read_bio_PrivateKey(LBio, nullptr, nullptr, nullptr);
    GOpenSSL.BIO_free(LBio);
    GOpenSSL.SSL_CTX_use_PrivateKey(FCtx, LPKey);
    GOpenSSL.EVP_PKEY_free(LPKey);
    if (ASetup) ASetup(FCtx);
    FSsl = GOpenSSL.SSL_new(FCtx);
    FIn = GOpenSSL.BIO_new(GOpenSSL.BIO_s_mem());
    FOut = GOpenSSL.BIO_new(GOpenSSL.BIO_s_mem());
    GOpenSSL.SSL_set_bio(FSsl, FIn, FOut);
  }
  ~TMemoryServer() {
    GOpenSSL.SSL_free(FSsl);
    GOpenSSL.SSL_CTX_free(FCtx);
    GOpenSSL.ERR_clear_error();
  }
  static std::string ReadAll(const std::string& AFile) {
    std::ifstream LIn(AFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(LIn), {});
  }
  // Gives the server bytes; it accepts, then reads application data. Returns its answer.
  // AReads, when given, gets the size of each application read (one per record).
  TBytes8 Feed(const TBytes8& ABytes, std::vector<size_t>* AReads = nullptr) {
    if (!ABytes.empty()) GOpenSSL.BIO_write(FIn, ABytes.data(), static_cast<int>(ABytes.size()));
    if (!FAccepted) FAccepted = GOpenSSL.SSL_accept(FSsl) == 1;
    if (FAccepted) {
      char LBuffer[20000];
      int N;
      while ((N = GOpenSSL.SSL_read(FSsl, LBuffer, sizeof LBuffer)) > 0) {
        Received.append(LBuffer, static_cast<size_t>(N));
        if (AReads) AReads->push_back(static_cast<size_t>(N));
      }
      FLastError = GOpenSSL.SSL_get_error(FSsl, N);
    }
    GOpenSSL.ERR_clear_error();
    return DrainBio(FOut);
  }
  TBytes8 Send(const std::string& AText) {
    GOpenSSL.SSL_write(FSsl, AText.data(), static_cast<int>(AText.size()));
    return DrainBio(FOut);
  }
  TBytes8 Close() {
    GOpenSSL.SSL_shutdown(FSsl);
    return DrainBio(FOut);
  }
  bool Accepted() const { return FAccepted; }
  int LastError() const { return FLastError; }
  PSSL Ssl() const { return FSsl; }
  std::string Received;

 private:
  PSSL_CTX FCtx = nullptr;
  PSSL FSsl = nullptr;
  PBIO FIn = nullptr, FOut = nullptr;
  bool FAccepted = false;
  int FLastError = 0;
};

// The memory server behind one accepted loopback connection. The handshake runs by itself;
// then the script (on the peer's thread) sends records as it likes and reads what comes.
class TScriptedTLSPeer {
 public:
  using TScript = std::function<void(TScriptedTLSPeer&)>;
  explicit TScriptedTLSPeer(TScript AScript, const std::string& AChain = "server-chain.pem",
                            const std::string& AKey = "server.key",
                            const std::function<void(PSSL_CTX)>& ASetup = {})
      : FServer(AChain, AKey, ASetup), FScript(std::move(AScript)) {
    FListen = ListenOnLoopback(1, FPort);
    FThread = std::thread([this] { Run(); });
  }
  ~TScriptedTLSPeer() {
    ::shutdown(FListen, SHUT_RDWR);
    if (FFd >= 0) ::shutdown(FFd, SHUT_RDWR);
    FThread.join();
    ::close(FListen);
    if (FFd >= 0) ::close(FFd);
  }
  uint16_t Port() const { return FPort; }
  // For the script's own thread; other threads ask Received() and Locked().
  TMemoryServer& Server() { return FServer; }
  std::string Received() {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FServer.Received;
  }
  // Runs AWork on the server while the peer's thread does not touch it.
  template <typename F>
  auto Locked(F AWork) {
    std::lock_guard<std::mutex> LGuard(FLock);
    return AWork(FServer);
  }

  // Raw bytes on the socket, in pieces of at most ASplit bytes with APauseMs between them.
  void SendRaw(const TBytes8& ABytes, size_t ASplit = 0, int APauseMs = 0) {
    for (size_t LAt = 0; LAt < ABytes.size();) {
      const size_t N = ASplit ? std::min(ASplit, ABytes.size() - LAt) : ABytes.size() - LAt;
      if (::send(FFd, ABytes.data() + LAt, N, MSG_NOSIGNAL) != static_cast<ssize_t>(N)) return;
      LAt += N;
      if (LAt < ABytes.size() && APauseMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(APauseMs));
      }
    }
  }
  // Reads from the socket until the server has AAtLeast application bytes (bounded).
  bool ReadApplication(size_t AAtLeast, int AMs = 10000) {
    const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    while (FServer.Received.size() < AAtLeast && std::chrono::steady_clock::now() < LEnd) {
      if (!Pump(100)) return FServer.Received.size() >= AAtLeast;
    }
    return FServer.Received.size() >= AAtLeast;
  }
  // Reads in slices of ASlice bytes with a pause after each: a slow reader.
  bool ReadSlowly(size_t AAtLeast, size_t ASlice, int APauseMs, int AMs = 60000) {
    const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    while (FServer.Received.size() < AAtLeast && std::chrono::steady_clock::now() < LEnd) {
      if (!Pump(100, ASlice)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(APauseMs));
    }
    return FServer.Received.size() >= AAtLeast;
  }
  // The sizes of the application reads the server made (one per record).
  std::vector<size_t> Reads;
  void Close() { ::shutdown(FFd, SHUT_RDWR); }

 private:
  // One socket read (of at most AMax bytes) handed to the server; false at the end.
  bool Pump(int AWaitMs, size_t AMax = 65536) {
    pollfd P{FFd, POLLIN, 0};
    if (::poll(&P, 1, AWaitMs) <= 0) return true;
    uint8_t LBuffer[65536];
    const ssize_t N = ::recv(FFd, LBuffer, std::min(AMax, sizeof LBuffer), 0);
    if (N <= 0) return false;
    TBytes8 LOut;
    {
      std::lock_guard<std::mutex> LGuard(FLock);
      LOut = FServer.Feed(TBytes8(LBuffer, LBuffer + N), &Reads);
    }
    if (!LOut.empty()) SendRaw(LOut);
    return true;
  }
  void Run() {
    FFd = ::accept(FListen, nullptr, nullptr);
    if (FFd < 0) return;
    for (int I = 0; I < 200 && !FServer.Accepted(); ++I) {
      if (!Pump(50)) return;
    }
    if (FServer.Accepted()) FScript(*this);
  }

  TMemoryServer FServer;
  TScript FScript;
  std::mutex FLock;
  int FListen = -1;
  std::atomic<int> FFd{-1};
  uint16_t FPort = 0;
  std::thread FThread;
};
