// A 16 MB answer (16 RCON packets of mixed ASCII and multi-byte UTF-8 text) received
// through TqorLib_RCON and through two plain blocking clients, in interleaved rounds: one that
// only cuts packets and copies their bodies, and one that also turns each body into checked
// text (the platform's UTF-8 decoder), which is what the component hands to OnResponse. The whole
// process runs on one CPU, as `taskset -c N` would pin it, so that the figures compare CPU cost
// rather than how the scheduler spreads the server, the reading thread and the main thread over
// cores.
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/time.h>

#include "bench/Figures.h"
#include "platform/Encoding.h"
#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/support/Loopback.h"
#include "tests/support/RCONWire.h"
#include "tests/support/ScriptServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPackets = 16;
constexpr int kRounds = 7;
constexpr int kTimeoutMs = 120000;

// About 1 MB of console text that never cuts a character: whole phrases only.
std::string MakeBody() {
  const std::string phrase = "player 17 M\xC3\xBCller \xE2\x9C\x93 ping 35 ms score 1024\n";
  std::string body;
  while (body.size() + phrase.size() <= 1000000) body += phrase;
  return body;
}

const std::string& Body() {
  static const std::string body = MakeBody();
  return body;
}

// Reads one whole packet (the sockets have receive time-outs: this cannot hang).
void ReceivePacket(int aFd, TWirePacket& aPacket) {
  if (!ReadWirePacket(aFd, aPacket, TqorLib_RCON_Client::MaxPacketSize))
    throw std::runtime_error("receive failed");
}

// Both sides' waits end after a minute, whatever the other side does.
void SetTimeouts(int aFd) {
  const timeval tv{60, 0};
  ::setsockopt(aFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(aFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// The server: authenticates anyone, then answers the one command with the 16 packets and
// stays until the client closes, as a game server does.
void Serve(TScriptPeer& aPeer) {
  SetTimeouts(aPeer.Fd());
  TWirePacket request;
  ReceivePacket(aPeer.Fd(), request);
  aPeer.Send(WirePacket(1, 2, ""));
  ReceivePacket(aPeer.Fd(), request);
  const TBytes answer = WirePacket(request.ID, 0, Body());
  for (int i = 0; i < kPackets; ++i) aPeer.Send(answer);
  if (!aPeer.WaitClosed(60000)) throw std::runtime_error("the client did not close");
}

double PlainSeconds(bool aText) {
  TScriptServer<> server(Serve);
  const int fd = ConnectLoopback(uint16_t(server.Port()));
  if (fd < 0) throw std::runtime_error("connect failed");
  SetTimeouts(fd);
  const TScriptPeer client(fd);  // the same bounded sends
  TWirePacket packet;
  client.Send(WirePacket(1, 3, "zulu"));
  ReceivePacket(fd, packet);
  const auto start = Clock::now();
  client.Send(WirePacket(2, 2, "status"));
  size_t total = 0;
  for (int i = 0; i < kPackets; ++i) {
    ReceivePacket(fd, packet);
    const auto* bytes = packet.Raw.data() + 12;
    const size_t count = packet.Raw.size() - 14;
    const std::string body = aText ? TEncoding::UTF8().GetString(bytes, count)
                                   : std::string(reinterpret_cast<const char*>(bytes), count);
    total += body.size();
  }
  const double seconds = Seconds(start);
  ::close(fd);
  if (total != size_t(kPackets) * Body().size()) throw std::runtime_error("plain: short answer");
  return seconds;
}

double ComponentSeconds() {
  TScriptServer<> server(Serve);
  TqorLib_RCON rcon(nullptr);
  rcon.SetNotifyEvents(neAsynchronous);
  size_t total = 0;
  int responses = 0;
  bool failed = false;
  Clock::time_point start;
  rcon.SetOnAuthenticate([&](TComponent*, bool ok, const TqorRCON_Packet&) {
    failed = !ok;
    start = Clock::now();
    if (ok) rcon.ExecCommand("status");
  });
  rcon.SetOnResponse([&](TComponent*, const std::string& r, const TqorRCON_Packet&) {
    if (r.size() != Body().size()) failed = true;
    total += r.size();
    ++responses;
  });
  rcon.SetOnException([&](TComponent*, Exception& e) {
    std::fprintf(stderr, "exception: %s\n", e.what());
    failed = true;
  });
  rcon.RCON_Options()->SetHost("127.0.0.1");
  rcon.RCON_Options()->SetPort(server.Port());
  rcon.RCON_Options()->SetPassword("zulu");
  rcon.SetActive(true);
  if (!PumpUntil([&] { return responses == kPackets || failed; }, kTimeoutMs) || failed)
    throw std::runtime_error("component: answer not received");
  const double seconds = Seconds(start);
  rcon.SetActive(false);
  if (total != size_t(kPackets) * Body().size())
    throw std::runtime_error("component: short answer");
  return seconds;
}

// Decoding the answer's text alone: the UTF-8 decoder against decoding and re-encoding one
// character at a time, as text was decoded before.
std::pair<double, double> DecodeSeconds() {
  const auto* bytes = reinterpret_cast<const uint8_t*>(Body().data());
  const size_t count = Body().size();
  auto start = Clock::now();
  size_t total = 0;
  for (int i = 0; i < kPackets; ++i) total += TEncoding::UTF8().GetString(bytes, count).size();
  const double bulk = Seconds(start);
  start = Clock::now();
  for (int i = 0; i < kPackets; ++i) {
    std::string out;
    out.reserve(count);
    for (size_t k = 0; k < count;) {
      uint32_t cp;
      k += NextUTF8(bytes + k, count - k, cp);
      AppendUTF8(cp, out);
    }
    total -= out.size();
  }
  const double single = Seconds(start);
  if (total != 0) throw std::runtime_error("the decoders disagree");
  return {bulk, single};
}

}  // namespace

int main() {
  try {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(size_t(sched_getcpu()), &one);  // -1 (unknown) sets no CPU: pinning then fails
    if (sched_setaffinity(0, sizeof one, &one) != 0) throw std::runtime_error("cannot pin");
    std::printf("load average before: %s\n", LoadAverage().c_str());
    std::vector<double> plain, text, component, ratios, textRatios, bulk, single;
    for (int i = 0; i < kRounds; ++i) {
      plain.push_back(PlainSeconds(false));
      text.push_back(PlainSeconds(true));
      component.push_back(ComponentSeconds());
      ratios.push_back(plain.back() / component.back());
      textRatios.push_back(text.back() / component.back());
      const auto [b, s] = DecodeSeconds();
      bulk.push_back(b);
      single.push_back(s);
    }
    const double mb = double(kPackets * Body().size()) / 1e6;
    std::printf("%.1f MB answer in %d packets, one CPU, median of %d interleaved rounds\n", mb,
                kPackets, kRounds);
    std::printf("  plain client, bytes:    %8.1f MB/s\n", mb / Median(plain));
    std::printf("  plain client, text:     %8.1f MB/s\n", mb / Median(text));
    std::printf("  TqorLib_RCON:           %8.1f MB/s\n", mb / Median(component));
    auto ratio = [](const char* aName, const std::vector<double>& aRatios) {
      std::printf("  component/%-12s  %6.2f (%.2f..%.2f)  target >= 1.00\n", aName, Median(aRatios),
                  Range(aRatios).first, Range(aRatios).second);
    };
    ratio("plain bytes:", ratios);
    ratio("plain text:", textRatios);
    std::printf("decoding the answer's UTF-8 text alone\n");
    std::printf("  well-formed runs whole: %8.1f MB/s\n", mb / Median(bulk));
    std::printf("  one character at a time:%7.1f MB/s\n", mb / Median(single));
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rcon_large_answer: %s\n", e.what());
    return 1;
  }
}
