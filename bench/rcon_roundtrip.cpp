// TqorLib_RCON against a plain blocking socket client, in one run and against one fast
// responder (a child process serving one connection at a time, so that the server is never
// the bottleneck and the client's CPU time is its own):
// - echo round trips (neAsynchronous, each next command sent from OnResponse), with client
//   and responder pinned to one CPU: rate and client CPU time per round trip;
// - connect-authenticate-disconnect cycles: time, and threads, descriptors and memory of the
//   process before and after.
// Rounds interleave the contenders; figures are medians.
// Usage: rcon_roundtrip [--quick] [--cycles] (--cycles: the cycles alone)
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/Figures.h"
#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/support/Loopback.h"
#include "tests/support/RCONWire.h"

namespace {

constexpr int kTimeoutMs = 120000;
const std::string kCommand = "echo round trip";
const std::string kAnswer = "round trip";

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Tune(int aFd) {
  int one = 1;
  setsockopt(aFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{10, 0};
  setsockopt(aFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(aFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// The responder: one connection at a time; the authentication is answered with its ID, an
// "echo X" command with X. Runs until the parent kills it.
[[noreturn]] void Respond(int aListener) {
  for (;;) {
    const int fd = accept(aListener, nullptr, nullptr);
    if (fd < 0) continue;
    Tune(fd);
    TWirePacket p;
    while (ReadWirePacket(fd, p)) {
      const bool auth = p.Type == 3;
      const std::string body = p.Body.rfind("echo ", 0) == 0 ? p.Body.substr(5) : p.Body;
      if (!SendWire(fd, auth ? WirePacket(p.ID, 2, "") : WirePacket(p.ID, 0, body))) break;
    }
    close(fd);
  }
}

struct TResponder {
  uint16_t Port = 0;
  pid_t Child = -1;
  TResponder() {
    const int listener = ListenOnLoopback(16, Port);
    if (listener < 0) throw std::runtime_error("cannot listen");
    Child = fork();
    if (Child == 0) Respond(listener);
    close(listener);
  }
  ~TResponder() {
    kill(Child, SIGKILL);
    waitpid(Child, nullptr, 0);
  }
};

int PlainConnect(uint16_t aPort) {
  const int fd = ConnectLoopback(aPort);
  if (fd < 0) throw std::runtime_error("connect failed");
  Tune(fd);
  TWirePacket p;
  if (!SendWire(fd, WirePacket(1, 3, "zulu")) || !ReadWirePacket(fd, p) || p.ID != 1)
    throw std::runtime_error("plain client not authenticated");
  return fd;
}

struct TRun {
  double Rate;   // per second
  double CpuUs;  // client CPU time per operation, microseconds
};

TRun PlainRoundTrips(uint16_t aPort, int aCount) {
  const int fd = PlainConnect(aPort);
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  TWirePacket p;
  for (int i = 0; i < aCount; ++i)
    if (!SendWire(fd, WirePacket(i + 2, 2, kCommand)) || !ReadWirePacket(fd, p) ||
        p.Body != kAnswer)
      throw std::runtime_error("plain round trip failed");
  const TRun run{aCount / Seconds(start), (CpuSeconds() - cpu) * 1e6 / aCount};
  close(fd);
  return run;
}

TRun ComponentRoundTrips(uint16_t aPort, int aCount) {
  TqorLib_RCON rcon(nullptr);
  rcon.SetNotifyEvents(neAsynchronous);
  int done = 0;
  bool failed = false;
  Clock::time_point start;
  double cpu = 0;
  rcon.SetOnAuthenticate([&](TComponent*, bool ok, const TqorRCON_Packet&) {
    failed = !ok;
    cpu = CpuSeconds();
    start = Clock::now();
    if (ok) rcon.ExecCommand(kCommand);
  });
  rcon.SetOnResponse([&](TComponent*, const std::string& r, const TqorRCON_Packet&) {
    if (r != kAnswer) failed = true;
    if (++done < aCount && !failed) rcon.ExecCommand(kCommand);
  });
  rcon.SetOnException([&](TComponent*, Exception& e) {
    std::fprintf(stderr, "exception: %s\n", e.what());
    failed = true;
  });
  rcon.RCON_Options()->SetHost("127.0.0.1");
  rcon.RCON_Options()->SetPort(aPort);
  rcon.RCON_Options()->SetPassword("zulu");
  rcon.SetActive(true);
  if (!PumpUntil([&] { return done == aCount || failed; }, kTimeoutMs) || failed)
    throw std::runtime_error("component round trips failed");
  const TRun run{aCount / Seconds(start), (CpuSeconds() - cpu) * 1e6 / aCount};
  rcon.SetActive(false);
  return run;
}

double PlainCycles(uint16_t aPort, int aCount) {
  const auto start = Clock::now();
  for (int i = 0; i < aCount; ++i) close(PlainConnect(aPort));
  return Seconds(start);
}

double ComponentCycles(TqorLib_RCON& aRcon, uint16_t aPort, int aCount) {
  bool authenticated = false, failed = false;
  aRcon.SetOnAuthenticate([&](TComponent*, bool ok, const TqorRCON_Packet&) {
    authenticated = ok;
    failed = !ok;
  });
  aRcon.SetOnException([&](TComponent*, Exception& e) {
    std::fprintf(stderr, "exception: %s\n", e.what());
    failed = true;
  });
  aRcon.RCON_Options()->SetHost("127.0.0.1");
  aRcon.RCON_Options()->SetPort(aPort);
  aRcon.RCON_Options()->SetPassword("zulu");
  const auto start = Clock::now();
  for (int i = 0; i < aCount; ++i) {
    authenticated = false;
    aRcon.SetActive(true);
    if (!PumpUntil([&] { return authenticated || failed; }, kTimeoutMs) || failed)
      throw std::runtime_error("component cycle failed");
    aRcon.SetActive(false);
  }
  return Seconds(start);
}

int CountEntries(const char* aDir) {
  int n = 0;
  if (DIR* d = opendir(aDir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, cyclesOnly = false;
  for (int i = 1; i < argc; ++i) {
    quick = quick || std::strcmp(argv[i], "--quick") == 0;
    cyclesOnly = cyclesOnly || std::strcmp(argv[i], "--cycles") == 0;
  }
  const int rounds = quick ? 1 : 5, trips = quick ? 2000 : 10000, cycles = 1000;
  try {
    std::printf("load average before: %s\n", LoadAverage().c_str());
    // Round trips on one CPU: client threads and responder compete for it, as a busy machine
    // makes them do; the client's own overhead then shows in the rate.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    cpu_set_t all;
    sched_getaffinity(0, sizeof all, &all);
    sched_setaffinity(0, sizeof one, &one);
    std::vector<double> pr, cr, pc, cc;
    if (!cyclesOnly) {
      TResponder responder;  // forked after pinning: it shares the CPU
      for (int r = 0; r < rounds; ++r) {
        const TRun p = PlainRoundTrips(responder.Port, trips);
        const TRun c = ComponentRoundTrips(responder.Port, trips);
        pr.push_back(p.Rate);
        cr.push_back(c.Rate);
        pc.push_back(p.CpuUs);
        cc.push_back(c.CpuUs);
      }
    }
    sched_setaffinity(0, sizeof all, &all);
    if (!cyclesOnly) {
      std::printf("%d echo round trips x %d round(s), client and responder on one CPU (medians)\n",
                  trips, rounds);
      std::printf("                                  round trips/s   client CPU us/trip\n");
      std::printf("  TqorLib_RCON (neAsynchronous): %12.0f %16.2f\n", Median(cr), Median(cc));
      std::printf("  plain blocking socket:         %12.0f %16.2f\n", Median(pr), Median(pc));
      const double rate = Median(cr) / Median(pr), cpu = Median(cc) / Median(pc);
      std::printf("  component/plain rate:  %5.2f (target >= 0.80) %s\n", rate,
                  rate >= 0.8 ? "met" : "MISSED");
      std::printf("  component/plain CPU:   %5.2f (target <= 1.50) %s\n", cpu,
                  cpu <= 1.5 ? "met" : "MISSED");
    }

    TResponder responder;
    std::vector<double> ps, cs;
    TqorLib_RCON rcon(nullptr);
    rcon.SetNotifyEvents(neAsynchronous);
    ComponentCycles(rcon, responder.Port, 20);  // warm up: first socket client, first thread
    const int threads = CountEntries("/proc/self/task"), fds = CountEntries("/proc/self/fd");
    const long rss = RssKiB();
    // Slices of 50 cycles alternate, so that a burst of load from elsewhere on the machine
    // falls on both contenders alike.
    constexpr int kSlice = 50;
    for (int r = 0; r < rounds; ++r) {
      double p = 0, c = 0;
      for (int done = 0; done < cycles; done += kSlice) {
        p += PlainCycles(responder.Port, kSlice);
        c += ComponentCycles(rcon, responder.Port, kSlice);
      }
      ps.push_back(p);
      cs.push_back(c);
    }
    std::printf("%d connect-authenticate-disconnect cycles x %d round(s) (medians)\n", cycles,
                rounds);
    std::printf("  TqorLib_RCON:           %8.3f s\n", Median(cs));
    std::printf("  plain blocking socket:  %8.3f s\n", Median(ps));
    const double ratio = Median(cs) / Median(ps);
    std::printf("  component/plain time:   %8.2f (target <= 3.00) %s\n", ratio,
                ratio <= 3.0 ? "met" : "MISSED");
    std::printf("  threads %d -> %d, descriptors %d -> %d, RSS %ld -> %ld KiB\n", threads,
                CountEntries("/proc/self/task"), fds, CountEntries("/proc/self/fd"), rss, RssKiB());
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rcon_roundtrip: %s\n", e.what());
    return 1;
  }
}
