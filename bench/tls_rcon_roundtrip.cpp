// RCON round trips to the demo server over TLS (stunnel in front of it) beside the same round
// trips in plain TCP, through the OpenSSL I/O handler; interleaved rounds, medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/RCONWire.h"
#include "tests/support/TLSPeers.h"
#include "tls/IdSSLOpenSSL.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTrips = 2000;
constexpr int kRounds = 5;

// Microseconds per round trip (authentication, then kTrips "echo" commands).
double MicrosPerTrip(int APort, bool ATLS) {
  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> H(New<TIdSSLIOHandlerSocketOpenSSL>(nullptr));
  H->SetHost("127.0.0.1");
  H->SetPort(APort);
  H->SetPassThrough(!ATLS);
  H->SSLOptions().SetMode(sslmClient);
  H->SSLOptions().SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
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

double Median(std::vector<double> AValues) {
  std::sort(AValues.begin(), AValues.end());
  return AValues[AValues.size() / 2];
}

}  // namespace

int main() {
  TRCONDemoServerProcess LDemo(RCON_DEMO_SERVER, {"--password", "bench"});
  const int LDemoPort = LDemo.Port();
  TStunnel LTunnel(LDemoPort, "server-chain.pem", "server.key");
  std::vector<double> LPlain, LTLS;
  for (int I = 0; I < kRounds; ++I) {
    LPlain.push_back(MicrosPerTrip(LDemoPort, false));
    LTLS.push_back(MicrosPerTrip(LTunnel.Port(), true));
  }
  std::printf("RCON round trips (%d per round), median of %d interleaved rounds\n", kTrips,
              kRounds);
  std::printf("  plain TCP to the demo server:  %8.1f us/trip\n", Median(LPlain));
  std::printf("  TLS through stunnel:           %8.1f us/trip  (one more loopback hop)\n",
              Median(LTLS));
  return 0;
}
