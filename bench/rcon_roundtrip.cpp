// Echo round trips against the demo server: through TqorLib_RCON (events delivered
// asynchronously to this main thread, each next command sent from OnResponse) and through a
// plain blocking socket, in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/support/Loopback.h"
#include "tools/RCONDemoServerProcess.h"

namespace {

constexpr int kRoundTrips = 20000;
constexpr int kTimeoutMs = 300000;
const std::string kCommand = "echo round trip";
const std::string kAnswer = "round trip";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point aStart) {
  return std::chrono::duration<double>(Clock::now() - aStart).count();
}

double ComponentRoundTrips(int aPort) {
  TqorLib_RCON rcon(nullptr);
  rcon.SetNotifyEvents(neAsynchronous);
  int done = 0;
  bool failed = false;
  Clock::time_point start;
  rcon.SetOnAuthenticate([&](TComponent*, bool ok, const TqorRCON_Packet&) {
    failed = !ok;
    start = Clock::now();
    if (ok) rcon.ExecCommand(kCommand);
  });
  rcon.SetOnResponse([&](TComponent*, const std::string& r, const TqorRCON_Packet&) {
    if (r != kAnswer) failed = true;
    if (++done < kRoundTrips && !failed) rcon.ExecCommand(kCommand);
  });
  rcon.SetOnException([&](TComponent*, Exception& e) {
    std::fprintf(stderr, "exception: %s\n", e.what());
    failed = true;
  });
  rcon.RCON_Options()->SetHost("127.0.0.1");
  rcon.RCON_Options()->SetPort(aPort);
  rcon.RCON_Options()->SetPassword("zulu");
  rcon.SetActive(true);
  if (!PumpUntil([&] { return done == kRoundTrips || failed; }, kTimeoutMs) || failed)
    throw std::runtime_error("component round trips failed");
  double s = Seconds(start);
  rcon.SetActive(false);
  return kRoundTrips / s;
}

void SendAll(int aFd, const TBytes& aBytes) {
  size_t sent = 0;
  while (sent < aBytes.size()) {
    ssize_t n = send(aFd, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += size_t(n);
  }
}

// Reads one whole packet (the socket has a receive time-out, so this cannot hang).
TqorRCON_Packet ReceivePacket(int aFd) {
  TBytes bytes(4);
  auto readExact = [&](uint8_t* aOut, size_t aCount) {
    for (size_t got = 0; got < aCount;) {
      ssize_t n = recv(aFd, aOut + got, aCount - got, 0);
      if (n <= 0) throw std::runtime_error("receive failed");
      got += size_t(n);
    }
  };
  readExact(bytes.data(), 4);
  int32_t size = int32_t(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24);
  if (size < 10 || size > TqorLib_RCON_Client::MaxPacketSize) throw std::runtime_error("bad size");
  bytes.resize(size_t(size) + 4);
  readExact(bytes.data() + 4, size_t(size));
  TqorRCON_Packet p;
  int32_t offset = 0;
  p.ReadBytes(bytes, offset);
  return p;
}

TBytes Request(int32_t aID, int32_t aType, const std::string& aBody) {
  TqorRCON_Packet p;
  p.SetID(aID);
  p.SetPacketType(aType);
  p.SetBody(aBody);
  return p.WriteBytes();
}

double PlainRoundTrips(int aPort) {
  int fd = ConnectLoopback(uint16_t(aPort));
  if (fd < 0) throw std::runtime_error("connect failed");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  SendAll(fd, Request(1, 3, "zulu"));
  if (ReceivePacket(fd).ID() != 1) throw std::runtime_error("not authenticated");
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kRoundTrips; ++i) {
    SendAll(fd, Request(i + 2, 2, kCommand));
    if (ReceivePacket(fd).Body() != kAnswer) throw std::runtime_error("wrong answer");
  }
  double s = Seconds(start);
  close(fd);
  return kRoundTrips / s;
}

}  // namespace

int main() {
  try {
    TRCONDemoServerProcess server(RCON_DEMO_SERVER);
    double plain = PlainRoundTrips(server.Port());
    double component = ComponentRoundTrips(server.Port());
    std::printf("%d echo round trips against the demo server\n", kRoundTrips);
    std::printf("  TqorLib_RCON (neAsynchronous): %10.0f round trips/s\n", component);
    std::printf("  plain blocking socket:         %10.0f round trips/s\n", plain);
    std::printf("  ratio component/plain:         %10.2f (target >= 0.50)\n", component / plain);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rcon_roundtrip: %s\n", e.what());
    return 1;
  }
}
