// Loopback receive throughput of TIdIOHandlerStack against a plain recv() loop, and ReadLn
// cost per line at two line counts.
#include <arpa/inet.h>
#include <netinet/in.h>
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
#include "tests/support/Loopback.h"
#include "tests/support/ScriptServer.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdTCPClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kStreamBytes = 256LL << 20;
constexpr auto kPhaseLimit = std::chrono::seconds(60);

// A server that sends ABlock over and over until ATotal bytes went out.
class TStreamServer : public TScriptServer<> {
 public:
  TStreamServer(std::string ABlock, int64_t ATotal)
      : TScriptServer<>([B = std::move(ABlock), ATotal](TScriptPeer& APeer) {
          for (int64_t LLeft = ATotal; LLeft > 0;) {
            const auto LCount =
                static_cast<size_t>(std::min(LLeft, static_cast<int64_t>(B.size())));
            APeer.Send(B.data(), LCount);
            LLeft -= static_cast<int64_t>(LCount);
          }
        }) {}
};

double PlainRecvMiBs() {
  TStreamServer LSender(std::string(64 * 1024, 'x'), kStreamBytes);
  const int fd = ConnectLoopback(static_cast<uint16_t>(LSender.Port()));
  std::vector<char> LBuf(32768);
  int64_t LGot = 0;
  const auto LStart = Clock::now();
  while (LGot < kStreamBytes && Clock::now() - LStart < kPhaseLimit) {
    const ssize_t n = ::recv(fd, LBuf.data(), LBuf.size(), 0);
    if (n <= 0) break;
    LGot += n;
  }
  const double LSecs = Seconds(LStart);
  ::close(fd);
  return double(LGot) / 1048576.0 / LSecs;
}

std::unique_ptr<TIdTCPClient> Connect(uint16_t APort) {
  std::unique_ptr<TIdTCPClient> LClient(New<TIdTCPClient>(nullptr));
  LClient->SetHost("127.0.0.1");
  LClient->SetPort(APort);
  LClient->Connect();
  return LClient;
}

double HandlerMiBs() {
  TStreamServer LSender(std::string(64 * 1024, 'x'), kStreamBytes);
  auto LClient = Connect(static_cast<uint16_t>(LSender.Port()));
  TIdIOHandler* LIO = LClient->IOHandler();
  TIdBytes LFrame;
  int64_t LGot = 0;
  const auto LStart = Clock::now();
  // As a reading thread does: poll for data, then take the whole input buffer into a fresh
  // array (the frame it hands on).
  while (LGot < kStreamBytes && Clock::now() - LStart < kPhaseLimit) {
    LIO->CheckForDataOnSource(10);
    if (!LIO->InputBufferIsEmpty()) {
      LGot += LIO->InputBuffer()->Size();
      LFrame.clear();
      LIO->InputBuffer()->ExtractToBytes(LFrame, -1, true);
    } else if (!LIO->Connected()) {
      break;
    }
  }
  const double LSecs = Seconds(LStart);
  LClient->Disconnect();
  return double(LGot) / 1048576.0 / LSecs;
}

double ReadLnNsPerLine(int ALines) {
  std::string LBlock;
  for (int i = 0; i < 4096; ++i) LBlock += "line " + std::to_string(100000 + i % 900000) + "\r\n";
  const int64_t LLineLen = 13;  // "line NNNNNN\r\n"
  TStreamServer LSender(LBlock, ALines * LLineLen);
  auto LClient = Connect(static_cast<uint16_t>(LSender.Port()));
  TIdIOHandler* LIO = LClient->IOHandler();
  int LCount = 0;
  const auto LStart = Clock::now();
  while (LCount < ALines && Clock::now() - LStart < kPhaseLimit) {
    if (LIO->ReadLn().size() != 11) break;
    ++LCount;
  }
  const double LSecs = Seconds(LStart);
  LClient->Disconnect();
  if (LCount != ALines) std::printf("  (only %d of %d lines read)\n", LCount, ALines);
  return LSecs * 1e9 / LCount;
}

// Loopback throughput on a shared 2-core machine swings by a factor of two from one second to
// the next, so the two readers take turns over several rounds and the medians are compared.
constexpr int kRounds = 5;

}  // namespace

int main() {
  std::vector<double> LPlain, LHandler, LRatios;
  for (int i = 0; i < kRounds; ++i) {
    LPlain.push_back(PlainRecvMiBs());
    LHandler.push_back(HandlerMiBs());
    LRatios.push_back(LHandler.back() / LPlain.back());
  }
  std::printf("256 MiB over loopback, median of %d interleaved rounds (min..max)\n", kRounds);
  std::printf("  plain recv loop:               %8.1f MiB/s  (%.0f..%.0f)\n", Median(LPlain),
              Range(LPlain).first, Range(LPlain).second);
  std::printf("  TIdIOHandlerStack + buffer:    %8.1f MiB/s  (%.0f..%.0f)\n", Median(LHandler),
              Range(LHandler).first, Range(LHandler).second);
  std::printf("  ratio, per round:              %8.2f (%.2f..%.2f)  target >= 0.70\n",
              Median(LRatios), Range(LRatios).first, Range(LRatios).second);
  const double L250k = ReadLnNsPerLine(250000);
  const double L1M = ReadLnNsPerLine(1000000);
  std::printf("ReadLn of 13-byte lines\n");
  std::printf("  250k lines:                    %8.1f ns/line\n", L250k);
  std::printf("  1M lines:                      %8.1f ns/line\n", L1M);
  return 0;
}
