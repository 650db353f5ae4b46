// TqorTCPCLient on loopback against plain sockets, in one run: event latency of a small frame
// (ping-pong), bulk throughput through OnBinary with neNoSync and neAsynchronous, the cost of
// CR LF frame scanning at two stream sizes (it must not grow with the stream), the wake-ups
// of an idle connected client, and how long Active := False takes.
// Usage: tcp_client_events [--quick]   (or TCP_CLIENT_EVENTS_QUICK=1) for a smoke run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/Figures.h"
#include "bench/OneConnectionServer.h"
#include "platform/MainThread.h"
#include "tcp_client/qorTCP_Client.h"
#include "tests/support/Loopback.h"
#include "transport/IdException.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPhaseLimit = std::chrono::seconds(30);
constexpr int kPhaseLimitMs = 30000;
constexpr size_t kFrameSize = 16;
constexpr int kLineSize = 100;  // 98 bytes + CR LF

struct TSizes {
  int Rounds;
  int ScanRounds;
  int LatencySamples;
  int64_t BulkBytes;
  int64_t ScanSmall;
  int64_t ScanLarge;
};

double Seconds(Clock::time_point aStart, Clock::time_point aEnd) {
  return std::chrono::duration<double>(aEnd - aStart).count();
}

double MiBs(int64_t aBytes, double aSeconds) {
  return double(aBytes) / 1048576.0 / aSeconds;
}

// Answers each received byte with one frame, at most aCount times.
std::function<void(int)> Answer(int aCount) {
  return [aCount](int fd) {
    const std::string frame(kFrameSize, 'f');
    char c;
    for (int i = 0; i < aCount && ::recv(fd, &c, 1, 0) == 1; ++i)
      if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) break;
  };
}

int ConnectPlain(uint16_t aPort) {
  const int fd = ConnectLoopback(aPort);
  if (fd >= 0) SetTimeouts(fd);
  return fd;
}

// The component under test, wired to report failures; Start connects it.
struct TClient {
  TqorTCPCLient Client{nullptr};
  std::atomic<bool> Failed{false};

  explicit TClient(TwsNotifyEvent aMode) {
    Client.SetNotifyEvents(aMode);
    Client.SetOnException([this](TqorTCPConnection*, Exception& E) {
      // Every peer closes once its part is done.
      if (E.Message() == RSConnectionClosedGracefully) return;
      std::fprintf(stderr, "  exception: %s\n", E.Message().c_str());
      Failed = true;
    });
  }
  bool Start(uint16_t aPort) {
    Client.SetHost("127.0.0.1");
    Client.SetPort(aPort);
    Client.SetActive(true);
    return Client.Active();
  }
  ~TClient() { Client.SetActive(false); }
};

struct TLatency {
  double Median = 0, P99 = 0;
};

TLatency Summarise(std::vector<double> aMicros) {
  if (aMicros.empty()) return {};
  std::sort(aMicros.begin(), aMicros.end());
  return {aMicros[aMicros.size() / 2],
          aMicros[std::min(aMicros.size() - 1, aMicros.size() * 99 / 100)]};
}

// Rates of several interleaved rounds: the median, and the spread as a load indicator.
struct TRate {
  std::vector<double> Rounds;
  double Median() const { return ::Median(Rounds); }
  double Min() const { return Range(Rounds).first; }
  double Max() const { return Range(Rounds).second; }
};

double Micros(Clock::time_point aStart, Clock::time_point aEnd) {
  return std::chrono::duration<double, std::micro>(aEnd - aStart).count();
}

// One request in flight at a time, so frames never coalesce: the clock runs from the write
// until OnBinary runs on this (the main) thread.
void ComponentLatency(int aSamples, std::vector<double>& us) {
  TOneConnectionServer peer(Answer(aSamples));
  TClient c(neAsynchronous);
  int frames = 0;
  Clock::time_point arrived;
  c.Client.SetOnBinary([&](TqorTCPConnection*, TMemoryStream& d) {
    arrived = Clock::now();
    if (size_t(d.Size()) != kFrameSize) c.Failed = true;
    ++frames;
  });
  if (!c.Start(peer.Port())) return;
  const auto end = Clock::now() + kPhaseLimit;
  for (int i = 0; i < aSamples && !c.Failed && Clock::now() < end; ++i) {
    const auto sent = Clock::now();
    c.Client.WriteData(TIdBytes{1});
    if (!PumpUntil([&] { return frames > i || c.Failed; }, 1000) || frames <= i) break;
    us.push_back(Micros(sent, arrived));
  }
}

void PlainLatency(int aSamples, std::vector<double>& us) {
  TOneConnectionServer peer(Answer(aSamples));
  std::thread reader([&] {
    const int fd = ConnectPlain(peer.Port());
    if (fd < 0) return;
    const uint8_t one = 1;
    char buf[kFrameSize];
    const auto end = Clock::now() + kPhaseLimit;
    for (int i = 0; i < aSamples && Clock::now() < end; ++i) {
      const auto sent = Clock::now();
      if (::send(fd, &one, 1, MSG_NOSIGNAL) != 1) break;
      size_t got = 0;
      while (got < kFrameSize) {
        const ssize_t n = ::recv(fd, buf + got, kFrameSize - got, 0);
        if (n <= 0) break;
        got += size_t(n);
      }
      if (got != kFrameSize) break;
      us.push_back(Micros(sent, Clock::now()));
    }
    ::close(fd);
  });
  reader.join();
}

// Voluntary context switches of every thread of this process but the calling one: each is a
// wake-up after a wait.
long OtherThreadsWakeUps() {
  long total = 0;
  const std::string self = std::to_string(::gettid());
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.' || self == e->d_name) continue;
      std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
      std::string key;
      while (status >> key) {
        if (key == "voluntary_ctxt_switches:") {
          long n = 0;
          status >> n;
          total += n;
          break;
        }
        status.ignore(4096, '\n');
      }
    }
    ::closedir(d);
  }
  return total;
}

// A peer that sends nothing and waits for one byte, aSeconds and a margin at most.
std::function<void(int)> QuietPeer(int aSeconds) {
  return [aSeconds](int fd) {
    char c;
    timeval tv{aSeconds + 5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::recv(fd, &c, 1, 0);
  };
}

// Wake-ups per second of the other threads while the connection idles for aSeconds: the
// server thread waits in recv throughout, so what counts is the client's.
double ComponentIdleWakeUps(int aSeconds) {
  TOneConnectionServer peer(QuietPeer(aSeconds));
  TClient c(neAsynchronous);
  if (!c.Start(peer.Port())) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settled
  const long before = OtherThreadsWakeUps();
  std::this_thread::sleep_for(std::chrono::seconds(aSeconds));
  const long after = OtherThreadsWakeUps();
  c.Client.WriteData(TIdBytes{1});
  return double(after - before) / aSeconds;
}

double PlainIdleWakeUps(int aSeconds) {
  TOneConnectionServer peer(QuietPeer(aSeconds));
  const int fd = ConnectPlain(peer.Port());
  std::thread reader([fd] {
    char c;
    ::recv(fd, &c, 1, 0);  // until the shutdown below
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = OtherThreadsWakeUps();
  std::this_thread::sleep_for(std::chrono::seconds(aSeconds));
  const long after = OtherThreadsWakeUps();
  ::send(fd, "x", 1, MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_RDWR);
  reader.join();
  ::close(fd);
  return double(after - before) / aSeconds;
}

// Active := False on a connected client whose reading thread waits for data.
void ComponentDeactivation(int aSamples, std::vector<double>& us) {
  for (int i = 0; i < aSamples; ++i) {
    TOneConnectionServer peer([](int fd) {
      char c;
      ::recv(fd, &c, 1, 0);
    });
    TClient c(neAsynchronous);
    if (!c.Start(peer.Port())) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the thread waits in poll
    const auto start = Clock::now();
    c.Client.SetActive(false);
    us.push_back(Micros(start, Clock::now()));
  }
}

// The plain counterpart: shut the socket down, join the thread blocked in recv, close.
void PlainDeactivation(int aSamples, std::vector<double>& us) {
  for (int i = 0; i < aSamples; ++i) {
    TOneConnectionServer peer([](int fd) {
      char c;
      ::recv(fd, &c, 1, 0);
    });
    const int fd = ConnectPlain(peer.Port());
    std::thread reader([fd] {
      char c;
      ::recv(fd, &c, 1, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto start = Clock::now();
    ::shutdown(fd, SHUT_RDWR);
    reader.join();
    ::close(fd);
    us.push_back(Micros(start, Clock::now()));
  }
}

// Bytes through OnBinary; the handler stamps the end, so the waiting side's pump period
// does not count.
double ComponentBulkMiBs(TwsNotifyEvent aMode, int64_t aTotal) {
  TOneConnectionServer peer(Stream(std::string(64 * 1024, 'x'), aTotal));
  TClient c(aMode);
  std::atomic<int64_t> got{0};
  std::atomic<bool> done{false};
  Clock::time_point finished;
  c.Client.SetOnBinary([&](TqorTCPConnection*, TMemoryStream& d) {
    if ((got += d.Size()) >= aTotal && !done) {
      finished = Clock::now();
      done = true;
    }
  });
  const auto start = Clock::now();
  if (!c.Start(peer.Port())) return 0;
  if (!PumpUntil([&] { return done || c.Failed; }, kPhaseLimitMs) || !done) {
    std::printf("  FAIL: %lld of %lld bytes arrived\n", static_cast<long long>(got.load()),
                static_cast<long long>(aTotal));
    return 0;
  }
  return MiBs(got, Seconds(start, finished));
}

double PlainBulkMiBs(int64_t aTotal) {
  TOneConnectionServer peer(Stream(std::string(64 * 1024, 'x'), aTotal));
  const auto start = Clock::now();
  const int fd = ConnectPlain(peer.Port());
  std::vector<char> buf(32768);
  int64_t got = 0;
  while (fd >= 0 && got < aTotal && Clock::now() - start < kPhaseLimit) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += n;
  }
  const double s = Seconds(start, Clock::now());
  if (fd >= 0) ::close(fd);
  return MiBs(got, s);
}

// Whole 100-byte lines, 655 to a block so a block ends on a line.
std::string LineBlock() {
  std::string line(kLineSize - 2, 'l');
  line += "\r\n";
  std::string block;
  for (int i = 0; i < 655; ++i) block += line;
  return block;
}

struct TScan {
  double MiBs = 0;
  int64_t Frames = 0;
  int64_t BadFrames = 0;
};

// eofScanAllBytes with CR LF; handlers run on the reading thread (neNoSync) so the figure is
// the scan's, not the main thread's queue.
TScan ComponentScan(int64_t aLines) {
  const int64_t total = aLines * kLineSize;
  TOneConnectionServer peer(Stream(LineBlock(), total));
  TClient c(neNoSync);
  std::atomic<int64_t> frames{0}, bad{0};
  std::atomic<bool> done{false};
  Clock::time_point finished;
  c.Client.SetOnConnect([](TqorTCPConnection* aConnection) {
    aConnection->SetTCPEndOfFrameScanBuffer(eofScanAllBytes);
    aConnection->AddTCPEndOfFrame(13);
    aConnection->AddTCPEndOfFrame(10);
  });
  c.Client.SetOnBinary([&](TqorTCPConnection*, TMemoryStream& d) {
    const uint8_t* m = d.Memory();
    if (d.Size() != kLineSize || m[kLineSize - 2] != '\r' || m[kLineSize - 1] != '\n') ++bad;
    if (++frames == aLines) {
      finished = Clock::now();
      done = true;
    }
  });
  const auto start = Clock::now();
  if (!c.Start(peer.Port())) return {};
  // The last frames may be followed by none: wait a little past the stream for extras.
  PumpUntil([&] { return done || c.Failed; }, kPhaseLimitMs);
  if (done) PumpUntil([] { return false; }, 50);
  TScan r;
  r.Frames = frames;
  r.BadFrames = bad;
  if (done) r.MiBs = MiBs(total, Seconds(start, finished));
  return r;
}

// The same stream cut into lines by a plain recv loop with memchr, as a reference.
TScan PlainScan(int64_t aLines) {
  const int64_t total = aLines * kLineSize;
  TOneConnectionServer peer(Stream(LineBlock(), total));
  const auto start = Clock::now();
  const int fd = ConnectPlain(peer.Port());
  std::vector<char> buf(32768 + kLineSize);
  size_t kept = 0;
  int64_t got = 0;
  TScan r;
  while (fd >= 0 && got < total && Clock::now() - start < kPhaseLimit) {
    const ssize_t n = ::recv(fd, buf.data() + kept, buf.size() - kept, 0);
    if (n <= 0) break;
    got += n;
    const char* head = buf.data();
    const char* end = buf.data() + kept + n;
    while (const char* cr = static_cast<const char*>(std::memchr(head, '\r', size_t(end - head)))) {
      if (cr + 1 == end) break;
      if (cr[1] == '\n') {
        if (cr + 2 - head != kLineSize) ++r.BadFrames;
        ++r.Frames;
        head = cr + 2;
      } else {
        head = cr + 1;
      }
    }
    kept = size_t(end - head);
    std::memmove(buf.data(), head, kept);
  }
  const double s = Seconds(start, Clock::now());
  if (fd >= 0) ::close(fd);
  r.MiBs = MiBs(got, s);
  return r;
}

bool CheckFrames(const char* aWho, const TScan& aScan, int64_t aLines) {
  const bool ok = aScan.Frames == aLines && aScan.BadFrames == 0;
  if (!ok)
    std::printf("  FAIL: %s delivered %lld frames (%lld malformed), expected %lld\n", aWho,
                static_cast<long long>(aScan.Frames), static_cast<long long>(aScan.BadFrames),
                static_cast<long long>(aLines));
  return ok;
}

void PrintRate(const char* aName, const TRate& aRate) {
  std::printf("  %-32s %9.1f  (%.0f..%.0f)", aName, aRate.Median(), aRate.Min(), aRate.Max());
}

void PrintRatio(const TRate& aRate, const TRate& aBase, double aTarget) {
  const double r = aBase.Median() > 0 ? aRate.Median() / aBase.Median() : 0;
  std::printf("  %5.2f  >= %.2f %s\n", r, aTarget, r >= aTarget ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = std::getenv("TCP_CLIENT_EVENTS_QUICK") != nullptr;
  for (int i = 1; i < argc; ++i) quick = quick || std::strcmp(argv[i], "--quick") == 0;
  const TSizes z = quick ? TSizes{1, 1, 200, 32LL << 20, 4LL << 20, 16LL << 20}
                         : TSizes{7, 15, 2000, 256LL << 20, 16LL << 20, 64LL << 20};
  const int idleSeconds = quick ? 2 : 10, closeSamples = quick ? 20 : 100;
  const int64_t smallLines = z.ScanSmall / kLineSize, largeLines = z.ScanLarge / kLineSize;

  // Rounds interleave the contenders so that a burst of outside load hits all of them.
  std::vector<double> lc, lp;
  TRate bp, bn, ba, pSmall, pLarge, cSmall, cLarge;
  bool framesOk = true;
  for (int r = 0; r < z.Rounds; ++r) {
    ComponentLatency(z.LatencySamples, lc);
    PlainLatency(z.LatencySamples, lp);
    bp.Rounds.push_back(PlainBulkMiBs(z.BulkBytes));
    bn.Rounds.push_back(ComponentBulkMiBs(neNoSync, z.BulkBytes));
    ba.Rounds.push_back(ComponentBulkMiBs(neAsynchronous, z.BulkBytes));
  }
  for (int r = 0; r < z.ScanRounds; ++r) {
    for (auto [lines, plain, component] :
         {std::tuple{smallLines, &pSmall, &cSmall}, std::tuple{largeLines, &pLarge, &cLarge}}) {
      const TScan p = PlainScan(lines), c = ComponentScan(lines);
      framesOk &= CheckFrames("plain scan", p, lines);
      framesOk &= CheckFrames("component", c, lines);
      plain->Rounds.push_back(p.MiBs);
      component->Rounds.push_back(c.MiBs);
    }
  }

  const size_t samples = size_t(z.Rounds) * size_t(z.LatencySamples);
  const TLatency sc = Summarise(lc), sp = Summarise(lp);
  std::printf("Event latency, %zu-byte frame, one request in flight, %zu samples each\n",
              kFrameSize, samples);
  std::printf("                                    median us      p99 us   samples\n");
  std::printf("  OnBinary, neAsynchronous:        %10.1f  %10.1f  %8zu\n", sc.Median, sc.P99,
              lc.size());
  std::printf("  plain blocking recv (thread):    %10.1f  %10.1f  %8zu\n", sp.Median, sp.P99,
              lp.size());
  if (lc.size() != samples || lp.size() != samples)
    std::printf("  FAIL: not every sample completed\n");

  std::printf("Bulk, %lld MiB over loopback, median of %d round(s) (min..max)\n",
              static_cast<long long>(z.BulkBytes >> 20), z.Rounds);
  std::printf("                                       MiB/s               ratio  target\n");
  PrintRate("plain recv loop:", bp);
  std::printf("\n");
  PrintRate("OnBinary, neNoSync:", bn);
  PrintRatio(bn, bp, 0.6);
  PrintRate("OnBinary, neAsynchronous:", ba);
  PrintRatio(ba, bp, 0.3);

  std::printf(
      "Frame scan, eofScanAllBytes, CR LF, %d-byte lines (neNoSync), MiB/s, median of %d "
      "round(s)\n",
      kLineSize, z.ScanRounds);
  PrintRate("plain recv + memchr, small:", pSmall);
  std::printf("  %lld MiB\n", static_cast<long long>(z.ScanSmall >> 20));
  PrintRate("plain recv + memchr, large:", pLarge);
  std::printf("  %lld MiB\n", static_cast<long long>(z.ScanLarge >> 20));
  PrintRate("TqorTCPCLient OnBinary, small:", cSmall);
  std::printf("  %lld MiB, %lld frames\n", static_cast<long long>(z.ScanSmall >> 20),
              static_cast<long long>(smallLines));
  PrintRate("TqorTCPCLient OnBinary, large:", cLarge);
  std::printf("  %lld MiB, %lld frames\n", static_cast<long long>(z.ScanLarge >> 20),
              static_cast<long long>(largeLines));
  // Per round: its two sizes ran back to back, so load that comes and goes cancels out.
  TRate linear;
  for (size_t r = 0; r < cSmall.Rounds.size(); ++r)
    linear.Rounds.push_back(cSmall.Rounds[r] > 0 ? cLarge.Rounds[r] / cSmall.Rounds[r] : 0);
  const double l = linear.Median();
  std::printf("  large/small, per round:          %9.2f  (%.2f..%.2f)  target 0.80..1.20 %s\n", l,
              linear.Min(), linear.Max(), l >= 0.8 && l <= 1.2 ? "met" : "MISSED");
  std::printf("  component/plain, large:          %9.2f\n",
              pLarge.Median() > 0 ? cLarge.Median() / pLarge.Median() : 0);
  std::printf("  frame counts: %s\n", framesOk ? "all correct" : "FAIL (see above)");

  const double wc = ComponentIdleWakeUps(idleSeconds), wp = PlainIdleWakeUps(idleSeconds);
  std::printf("Idle connected client, wake-ups of its threads per second over %d s\n", idleSeconds);
  std::printf("  TqorTCPCLient:                    %9.2f  target <= 2 %s\n", wc,
              wc >= 0 && wc <= 2 ? "met" : "MISSED");
  std::printf("  plain blocking recv (thread):     %9.2f\n", wp);

  std::vector<double> dc, dp;
  for (int r = 0; r < 2; ++r) {
    ComponentDeactivation(closeSamples / 2, dc);
    PlainDeactivation(closeSamples / 2, dp);
  }
  const TLatency sdc = Summarise(dc), sdp = Summarise(dp);
  std::printf("Active := False on a connected client, %zu samples each\n", dc.size());
  std::printf("                                    median us      p99 us\n");
  std::printf("  TqorTCPCLient:                  %10.1f  %10.1f  target median <= 1000 %s\n",
              sdc.Median, sdc.P99, sdc.Median <= 1000 ? "met" : "MISSED");
  std::printf("  shutdown + join + close (plain):%10.1f  %10.1f\n", sdp.Median, sdp.P99);
  std::printf("load average: %s\n", LoadAverage().c_str());
  return 0;
}
