// Loopback receive throughput of TIdIOHandlerStack against a plain recv() loop, and ReadLn
// cost per line at two line counts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdTCPClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kStreamBytes = 256LL << 20;
constexpr auto kPhaseLimit = std::chrono::seconds(60);

double Seconds(Clock::time_point AStart) {
  return std::chrono::duration<double>(Clock::now() - AStart).count();
}

// Accepts one connection and sends ABytes repeatedly until ATotal bytes went out.
class Sender {
 public:
  Sender(std::string ABytes, int64_t ATotal) {
    FListen = ListenOnLoopback(1, FPort);
    FThread = std::thread([this, B = std::move(ABytes), ATotal] {
      const int fd = ::accept(FListen, nullptr, nullptr);
      int64_t LLeft = ATotal;
      const auto LEnd = Clock::now() + kPhaseLimit;
      while (LLeft > 0 && Clock::now() < LEnd) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(LLeft, B.size()));
        const ssize_t r = ::send(fd, B.data(), n, MSG_NOSIGNAL);
        if (r <= 0) break;
        LLeft -= r;
      }
      ::shutdown(fd, SHUT_WR);
      char c;
      while (::recv(fd, &c, 1, 0) > 0) {
      }
      ::close(fd);
    });
  }
  ~Sender() {
    FThread.join();
    ::close(FListen);
  }
  uint16_t Port() const { return FPort; }

 private:
  int FListen;
  uint16_t FPort;
  std::thread FThread;
};

double PlainRecvMiBs() {
  Sender LSender(std::string(64 * 1024, 'x'), kStreamBytes);
  const int fd = ConnectLoopback(LSender.Port());
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
  return LGot / 1048576.0 / LSecs;
}

std::unique_ptr<TIdTCPClient> Connect(uint16_t APort) {
  std::unique_ptr<TIdTCPClient> LClient(New<TIdTCPClient>(nullptr));
  LClient->SetHost("127.0.0.1");
  LClient->SetPort(APort);
  LClient->Connect();
  return LClient;
}

double HandlerMiBs() {
  Sender LSender(std::string(64 * 1024, 'x'), kStreamBytes);
  auto LClient = Connect(LSender.Port());
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
  return LGot / 1048576.0 / LSecs;
}

double ReadLnNsPerLine(int ALines) {
  std::string LBlock;
  for (int i = 0; i < 4096; ++i) LBlock += "line " + std::to_string(100000 + i % 900000) + "\r\n";
  const int64_t LLineLen = 13;  // "line NNNNNN\r\n"
  Sender LSender(LBlock, ALines * LLineLen);
  auto LClient = Connect(LSender.Port());
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

}  // namespace

int main() {
  const double LPlain = PlainRecvMiBs();
  const double LHandler = HandlerMiBs();
  std::printf("256 MiB over loopback\n");
  std::printf("  plain recv loop:               %8.1f MiB/s\n", LPlain);
  std::printf("  TIdIOHandlerStack + buffer:    %8.1f MiB/s\n", LHandler);
  std::printf("  ratio:                         %8.2f (target >= 0.70)\n", LHandler / LPlain);
  const double L250k = ReadLnNsPerLine(250000);
  const double L1M = ReadLnNsPerLine(1000000);
  std::printf("ReadLn of 13-byte lines\n");
  std::printf("  250k lines:                    %8.1f ns/line\n", L250k);
  std::printf("  1M lines:                      %8.1f ns/line\n", L1M);
  return 0;
}
