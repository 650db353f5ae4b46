// Loopback receive throughput over TLS: the OpenSSL and the SChannel I/O handler (as the
// reading thread uses them) against a plain blocking SSL_read loop over the same binding,
// interleaved rounds.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Figures.h"
#include "bench/OneConnectionServer.h"
#include "tests/support/TLSPeers.h"
#include "tls/IdSSLOpenSSL.h"
#include "tls/qorSSL_SChannel.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kStreamBytes = 256LL << 20;
constexpr auto kPhaseLimit = std::chrono::seconds(60);

// Serves one TLS connection that carries kStreamBytes to the client.
std::function<void(int)> TLSStream() {
  return [](int AFd) {
    try {
      TTLSServerSession LTLS(AFd);
      TIdSSLSocket& LSession = LTLS.Session();
      const TIdBytes LBlock(64 * 1024, 'x');
      int64_t LLeft = kStreamBytes;
      const auto LEnd = Clock::now() + kServeLimit;
      while (LLeft > 0 && Clock::now() < LEnd) {
        const int LSize = static_cast<int>(std::min(LLeft, static_cast<int64_t>(LBlock.size())));
        if (LSession.Send(LBlock, 0, LSize) != LSize) break;
        LLeft -= LSize;
      }
      LSession.Shutdown();
      // The server's drain and close that follow expect a blocking socket again.
      fcntl(AFd, F_SETFL, fcntl(AFd, F_GETFL) & ~O_NONBLOCK);
    } catch (const std::exception& E) {
      std::fprintf(stderr, "server: %s\n", E.what());
    }
  };
}

TIdSSLContext& ClientContext() {
  static TIdSSLContext LContext;
  static bool LPrepared = false;
  if (!LPrepared) {
    LContext.Mode = sslmClient;
    LContext.Method = sslvSSLv23;
    LContext.SSLVersions = SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3);
    LContext.PrepareContext(sslCtxClient);
    LPrepared = true;
  }
  return LContext;
}

// The baseline: a blocking socket, SSL_read into a 32 KiB buffer until everything arrived.
double PlainSSLReadMiBs() {
  TOneConnectionServer LSender(TLSStream());
  const int LFd = ConnectLoopback(LSender.Port());
  const auto& G = GOpenSSL;
  PSSL LSSL = G.SSL_new(ClientContext().Context());
  G.SSL_set_fd(LSSL, LFd);
  int64_t LGot = 0;
  double LSecs = 0;
  if (G.SSL_connect(LSSL) == 1) {
    std::vector<char> LBuf(32768);
    const auto LStart = Clock::now();
    while (LGot < kStreamBytes && Clock::now() - LStart < kPhaseLimit) {
      const int N = G.SSL_read(LSSL, LBuf.data(), static_cast<int>(LBuf.size()));
      if (N <= 0) break;
      LGot += N;
    }
    LSecs = Seconds(LStart);
    G.SSL_shutdown(LSSL);
  }
  G.SSL_free(LSSL);
  ::close(LFd);
  if (LGot != kStreamBytes)
    std::printf("  (SSL_read loop got %lld bytes)\n", static_cast<long long>(LGot));
  return double(LGot) / 1048576.0 / LSecs;
}

// As the reading thread does: wait for data, then take the whole input buffer.
double Drain(TIdSSLIOHandlerSocketBase& H) {
  TIdBytes LFrame;
  int64_t LGot = 0;
  const auto LStart = Clock::now();
  while (LGot < kStreamBytes && Clock::now() - LStart < kPhaseLimit) {
    H.CheckForDataOnSource(10);
    if (!H.InputBufferIsEmpty()) {
      LGot += H.InputBuffer()->Size();
      LFrame.clear();
      H.InputBuffer()->ExtractToBytes(LFrame, -1, true);
    } else if (!H.Connected()) {
      break;
    }
  }
  const double LSecs = Seconds(LStart);
  H.Close();
  if (LGot != kStreamBytes) {
    std::printf("  (%s got %lld bytes)\n", H.ClassName(), static_cast<long long>(LGot));
  }
  return double(LGot) / 1048576.0 / LSecs;
}

double HandlerMiBs() {
  TOneConnectionServer LSender(TLSStream());
  std::unique_ptr<TqorIdSSLIOHandlerSocketOpenSSL> H(New<TqorIdSSLIOHandlerSocketOpenSSL>(nullptr));
  H->SetHost("127.0.0.1");
  H->SetPort(LSender.Port());
  H->SetPassThrough(false);
  H->SSLOptions().SetMode(sslmClient);
  H->SSLOptions().SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
  H->Open();
  return Drain(*H);
}

double SChannelMiBs() {
  TOneConnectionServer LSender(TLSStream());
  std::unique_ptr<TqorIdSSLIOHandlerSocketSChannel> H(
      New<TqorIdSSLIOHandlerSocketSChannel>(nullptr));
  H->SetHost("127.0.0.1");
  H->SetPort(LSender.Port());
  H->SetTLSVersion(tlsUndefined);
  H->SetPassThrough(false);
  H->Open();
  return Drain(*H);
}

constexpr int kRounds = 5;

}  // namespace

int main() {
  if (!LoadTLSLibrary()) {
    std::printf("OpenSSL could not be loaded\n");
    return 1;
  }
  std::vector<double> LPlain, LHandler, LRatios, LSChannel, LSChannelRatios;
  for (int I = 0; I < kRounds; ++I) {
    LPlain.push_back(PlainSSLReadMiBs());
    LHandler.push_back(HandlerMiBs());
    LSChannel.push_back(SChannelMiBs());
    LRatios.push_back(LHandler.back() / LPlain.back());
    LSChannelRatios.push_back(LSChannel.back() / LPlain.back());
  }
  std::printf("256 MiB over TLS 1.3 on loopback, median of %d interleaved rounds (min..max)\n",
              kRounds);
  std::printf("  blocking SSL_read loop:        %8.1f MiB/s  (%.0f..%.0f)\n", Median(LPlain),
              Range(LPlain).first, Range(LPlain).second);
  std::printf("  OpenSSL handler + buffer:      %8.1f MiB/s  (%.0f..%.0f)\n", Median(LHandler),
              Range(LHandler).first, Range(LHandler).second);
  std::printf("  ratio, per round:              %8.2f (%.2f..%.2f)  target >= 0.80\n",
              Median(LRatios), Range(LRatios).first, Range(LRatios).second);
  std::printf("  SChannel handler + buffer:     %8.1f MiB/s  (%.0f..%.0f)\n", Median(LSChannel),
              Range(LSChannel).first, Range(LSChannel).second);
  std::printf("  ratio, per round:              %8.2f (%.2f..%.2f)  target >= 0.80\n",
              Median(LSChannelRatios), Range(LSChannelRatios).first, Range(LSChannelRatios).second);
  return 0;
}
