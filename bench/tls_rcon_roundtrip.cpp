// RCON round trips to the demo server over TLS (stunnel in front of it) beside the same round
// trips in plain TCP, through the OpenSSL and the SChannel I/O handler; interleaved rounds,
// medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/Figures.h"
#include "tests/support/RCONWire.h"
#include "tests/support/TLSPeers.h"
#include "tls/IdSSLOpenSSL.h"
#include "tls/qorSSL_SChannel.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTrips = 2000;
constexpr int kRounds = 5;

enum TRoad { rPlain, rOpenSSL, rSChannel };

// Microseconds per round trip (authentication, then kTrips "echo" commands).
double MicrosPerTrip(int APort, TRoad ARoad) {
  std::unique_ptr<TIdSSLIOHandlerSocketBase> H;
  if (ARoad == rSChannel) {
    auto* L = New<TqorIdSSLIOHandlerSocketSChannel>(nullptr);
    L->SetTLSVersion(tlsUndefined);
    H.reset(L);
  } else {
    auto* L = New<TIdSSLIOHandlerSocketOpenSSL>(nullptr);
    L->SSLOptions().SetMode(sslmClient);
    L->SSLOptions().SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
    H.reset(L);
  }
  H->SetHost("127.0.0.1");
  H->SetPort(APort);
  H->SetPassThrough(ARoad == rPlain);
  H->SetReadTimeout(10000);
  H->Open();
  H->Write(WirePacket(1, 3, "bench"));
  ReadWirePacketFrom(*H);
  const auto LStart = Clock::now();
  for (int I = 0; I < kTrips; ++I) {
    H->Write(WirePacket(I + 2, 2, "echo round trip"));
    if (ReadWirePacketFrom(*H).ID != I + 2) {
      std::printf("  (wrong answer at trip %d)\n", I);
      break;
    }
  }
  const double LMicros =
      std::chrono::duration<double, std::micro>(Clock::now() - LStart).count() / kTrips;
  H->Close();
  return LMicros;
}

}  // namespace

int main() {
  TRCONDemoServerProcess LDemo(RCON_DEMO_SERVER, {"--password", "bench"});
  const int LDemoPort = LDemo.Port();
  TStunnel LTunnel(LDemoPort, "server-chain.pem", "server.key");
  std::vector<double> LPlain, LTLS, LSChannel, LRatios;
  for (int I = 0; I < kRounds; ++I) {
    LPlain.push_back(MicrosPerTrip(LDemoPort, rPlain));
    LTLS.push_back(MicrosPerTrip(LTunnel.Port(), rOpenSSL));
    LSChannel.push_back(MicrosPerTrip(LTunnel.Port(), rSChannel));
    LRatios.push_back(LSChannel.back() / LTLS.back());
  }
  std::printf("RCON round trips (%d per round), median of %d interleaved rounds\n", kTrips,
              kRounds);
  std::printf("  plain TCP to the demo server:  %8.1f us/trip\n", Median(LPlain));
  std::printf("  TLS through stunnel, OpenSSL:  %8.1f us/trip  (one more loopback hop)\n",
              Median(LTLS));
  std::printf("  TLS through stunnel, SChannel: %7.1f us/trip\n", Median(LSChannel));
  std::printf("  SChannel / OpenSSL, per round: %8.2f  target <= 1.10\n", Median(LRatios));
  return 0;
}
