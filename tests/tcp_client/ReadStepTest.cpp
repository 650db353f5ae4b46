// The reading thread against a layer it knows only through the I/O handler's reader interface:
// one end of a socket pair under a fake layer that cuts the stream into newline-ended records
// and hands out one record per receive, as a TLS session does. The thread must take what the
// layer holds without waiting on the socket, and must not spin on part of a record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tcp_client/qorTCP_ReadThread.h"
#include "tests/support/Eventually.h"
#include "transport/IdException.h"
#include "transport/IdIOHandler.h"

namespace {

class TRecordLayer : public TIdIOHandler {
 public:
  void Attach(int aHandle) {
    FHandle = aHandle;
    Open();
  }
  int Receives() const { return FReceives; }

  bool WaitReadableOrWoken(const TIdWakeSignal& aWake) override {
    return HoldsApplicationBytes() || aWake.WaitReadable(FHandle);
  }
  bool HoldsApplicationBytes() override {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FHeld.find('\n') != std::string::npos;
  }
  int ReceiveReady() override {
    ++FReceives;
    TIdBytes LBlock(4096);
    const ssize_t N = ::read(FHandle, LBlock.data(), LBlock.size());
    std::lock_guard<std::mutex> LGuard(FLock);
    if (N == 0) FClosedGracefully = true;
    if (N > 0) FHeld.append(reinterpret_cast<const char*>(LBlock.data()), static_cast<size_t>(N));
    const size_t LEnd = FHeld.find('\n');
    if (LEnd == std::string::npos) return N == 0 ? 0 : -1;
    FInputBuffer->Write(TIdBytes(FHeld.data(), FHeld.data() + LEnd + 1));
    FHeld.erase(0, LEnd + 1);
    return static_cast<int>(LEnd + 1);
  }
  void CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) override {
    if (FClosedGracefully && ARaiseExceptionIfDisconnected &&
        (AIgnoreBuffer || InputBufferIsEmpty()))
      RaiseConnClosedGracefully();
  }

  int ReadFromTransport(TIdBytes&) override { return 0; }
  int WriteToTransport(const TIdBytes&, int, int ALength) override { return ALength; }
  bool TransportAvailable() override { return true; }
  int CheckTransportResult(int AResult) override { return AResult; }
  [[noreturn]] void RaiseTransportError(int) override { RaiseConnClosedGracefully(); }

 protected:
  explicit TRecordLayer(TComponent* AOwner = nullptr) : TIdIOHandler(AOwner) {}

 private:
  int FHandle = -1;
  std::atomic<int> FReceives{0};
  std::mutex FLock;
  std::string FHeld;  // received, not yet handed out
};

// A socket client whose reading thread reads through a TRecordLayer over one end of a socket
// pair; the test writes to and closes the other end.
class ReadStep : public ::testing::Test {
 protected:
  void SetUp() override {
    int LPair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, LPair));
    FPeer = LPair[0];
    FOurs = LPair[1];
    ::fcntl(FOurs, F_SETFL, ::fcntl(FOurs, F_GETFL) | O_NONBLOCK);
    FLayer = New<TRecordLayer>(nullptr);
    FLayer->Attach(FOurs);
    FClient.reset(New<TqorIdTCPClient>(nullptr));
    FClient->SetIOHandler(FLayer);
    FClient->SetOnRead([this] {
      TIdBytes LBytes;
      FLayer->InputBuffer()->ExtractToBytes(LBytes, -1, false);
      std::lock_guard<std::mutex> LGuard(FLock);
      FRead.append(LBytes.begin(), LBytes.end());
    });
    FClient->SetOnReadException([this](Exception& E) {
      std::lock_guard<std::mutex> LGuard(FLock);
      FFailure = E.Message();
    });
  }
  void TearDown() override {
    FClient.reset();
    delete FLayer;
    if (FPeer >= 0) ::close(FPeer);
    ::close(FOurs);
  }
  void Send(const std::string& aText) {
    ASSERT_EQ(static_cast<ssize_t>(aText.size()), ::write(FPeer, aText.data(), aText.size()));
  }
  std::string Read() {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FRead;
  }
  std::string Failure() {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FFailure;
  }

  int FPeer = -1;
  int FOurs = -1;
  TRecordLayer* FLayer = nullptr;
  std::unique_ptr<TqorIdTCPClient, TSocketClientDelete> FClient;
  std::mutex FLock;
  std::string FRead;
  std::string FFailure;
};

// Three records in one segment: the socket is readable once, the layer then holds two.
TEST_F(ReadStep, RecordsALayerHoldsArriveWithoutTheSocketBecomingReadableAgain) {
  Send("one\ntwo\nthree\n");
  FClient->TCPRead()->SetReadSocket(true);
  EXPECT_TRUE(WaitUntil([&] { return Read() == "one\ntwo\nthree\n"; })) << Read();
  EXPECT_EQ(3, FLayer->Receives());
}

TEST_F(ReadStep, PartOfARecordCostsNoWakeUpsUntilTheRestComes) {
  FClient->TCPRead()->SetReadSocket(true);
  Send("par");
  ASSERT_TRUE(WaitUntil([&] { return FLayer->Receives() >= 1; }));
  // Nothing arrives for half a second: a spinning thread would receive thousands of times.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(FLayer->Receives(), 2);
  EXPECT_EQ("", Read());
  Send("t\n");
  EXPECT_TRUE(WaitUntil([&] { return Read() == "part\n"; })) << Read();
}

TEST_F(ReadStep, AWakeUpEndsTheWaitAndAClosedPeerIsReported) {
  FClient->TCPRead()->SetReadSocket(true);
  for (int I = 0; I < 20; ++I) FClient->WakeReading();
  Send("last\n");
  ASSERT_TRUE(WaitUntil([&] { return Read() == "last\n"; })) << Read();
  // Wake-ups are taken, not received from: the layer saw one receive per readable socket.
  EXPECT_LE(FLayer->Receives(), 2);
  ::close(std::exchange(FPeer, -1));
  EXPECT_TRUE(WaitUntil([&] { return Failure() == "Connection Closed Gracefully."; })) << Failure();
}

TEST_F(ReadStep, StoppingTheThreadEndsItsWaitAtOnce) {
  FClient->TCPRead()->SetReadSocket(true);
  const auto LStart = std::chrono::steady_clock::now();
  FClient->StopReading();
  EXPECT_TRUE(FClient->TCPRead()->Finished());
  EXPECT_LT(std::chrono::steady_clock::now() - LStart, std::chrono::seconds(5));
  EXPECT_EQ(0, FLayer->Receives());
}

}  // namespace
