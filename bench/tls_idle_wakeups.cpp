// Wake-ups of an idle TLS connection: a connected TCP client whose server stays silent, over
// the OpenSSL and over the SChannel handler, side by side. The reading thread's context
// switches over a quiet stretch, per second.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "tcp_client/qorTCP_Client.h"
#include "tests/tls/MemoryTLSServer.h"

namespace {

constexpr int kQuietSeconds = 5;

std::set<int> Threads() {
  std::set<int> LIds;
  if (DIR* D = opendir("/proc/self/task")) {
    while (dirent* E = readdir(D)) {
      if (E->d_name[0] != '.') LIds.insert(std::stoi(E->d_name));
    }
    closedir(D);
  }
  return LIds;
}

// Voluntary and involuntary context switches of one thread of this process.
long Switches(int ATid) {
  std::ifstream LIn("/proc/self/task/" + std::to_string(ATid) + "/status");
  std::string LLine;
  long LSum = 0;
  while (std::getline(LIn, LLine)) {
    if (LLine.find("ctxt_switches:") != std::string::npos) {
      LSum += std::stol(LLine.substr(LLine.find(':') + 1));
    }
  }
  return LSum;
}

// Wake-ups per second of the threads the activation started, while nothing is sent.
double IdleWakeups(TwsTLSIOHandler AKind, int APort) {
  TqorTCPCLient LClient(nullptr);
  LClient.SetNotifyEvents(neNoSync);
  LClient.SetHost("127.0.0.1");
  LClient.SetPort(APort);
  LClient.SetTLS(true);
  LClient.TLSOptions().SetIOHandler(AKind);
  const std::set<int> LBefore = Threads();
  LClient.SetActive(true);
  if (!LClient.Active()) {
    std::printf("  (no connection)\n");
    return -1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the handshake's tail
  std::map<int, long> LStart;
  for (int LTid : Threads()) {
    if (!LBefore.count(LTid)) LStart[LTid] = Switches(LTid);
  }
  std::this_thread::sleep_for(std::chrono::seconds(kQuietSeconds));
  long LCount = 0;
  for (const auto& [LTid, LAt] : LStart) LCount += Switches(LTid) - LAt;
  LClient.SetActive(false);
  return static_cast<double>(LCount) / kQuietSeconds;
}

}  // namespace

int main() {
  TSServer LServer("server-chain.pem", "server.key");
  const double LOpenSSL = IdleWakeups(iohOpenSSL, LServer.Port());
  TSServer LServer2("server-chain.pem", "server.key");
  const double LSChannel = IdleWakeups(iohSChannel, LServer2.Port());
  std::printf("Idle connected TLS client, %d s without traffic: reading-thread wake-ups\n",
              kQuietSeconds);
  std::printf("  OpenSSL handler:   %6.1f /s\n", LOpenSSL);
  std::printf("  SChannel handler:  %6.1f /s  target <= 2\n", LSChannel);
  // A server that sends part of a record and stalls: the part must not keep the thread busy.
  std::atomic<bool> LStop{false};
  TScriptedTLSPeer LStall([&](TScriptedTLSPeer& S) {
    const TBytes8 LRecord = S.Server().Send("never finished");
    S.SendRaw(TBytes8(LRecord.begin(), LRecord.begin() + 12));
    for (int I = 0; I < 200 && !LStop; ++I)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  const double LPartial = IdleWakeups(iohSChannel, LStall.Port());
  LStop = true;
  std::printf("  SChannel handler, part of a record pending: %4.1f /s  target <= 2\n", LPartial);
  return 0;
}
