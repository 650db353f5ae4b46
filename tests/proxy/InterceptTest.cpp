// The throttler's delays, the traffic log's lines and file, and both in a chain on a real
// connection.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "proxy/IdConnectThroughHttpProxy.h"
#include "proxy/IdInterceptThrottler.h"
#include "proxy/qorIdLogFile.h"
#include "tests/proxy/ProxyTestKit.h"
#include "tests/support/TempFolder.h"
#include "transport/IdException.h"

namespace {

// A temporary folder with one log file name in it.
class LogFolder : public TTempFolder {
 public:
  std::string Name() const { return File("traffic.log"); }
  std::string Contents() const { return Read("traffic.log"); }
  bool Exists() const { return access(Name().c_str(), F_OK) == 0; }
};

template <class T>
std::unique_ptr<T> Make() {
  return std::unique_ptr<T>(New<T>(nullptr));
}

std::unique_ptr<TqorIdLogFileClient> OpenLog(const LogFolder& AFolder, bool ALogTime = false) {
  auto Log = Make<TqorIdLogFileClient>();
  Log->SetFilename(AFolder.Name());
  Log->SetLogTime(ALogTime);
  Log->SetActive(true);
  return Log;
}

TEST(Throttler, DelayIsBytesTimesEightThousandOverTheRate) {
  EXPECT_EQ(TIdInterceptThrottler::DelayFor(1000, 8000), 1000);
  EXPECT_EQ(TIdInterceptThrottler::DelayFor(10, 80), 1000);
  EXPECT_EQ(TIdInterceptThrottler::DelayFor(1, 3), 2666);
  EXPECT_EQ(TIdInterceptThrottler::DelayFor(1000, 0), 0);
  EXPECT_EQ(TIdInterceptThrottler::DelayFor(1000, -5), 0);
  // 64-bit arithmetic: no overflow for big blocks at low rates.
  EXPECT_EQ(TIdInterceptThrottler::DelayFor(size_t(1) << 31, 1), (int64_t(1) << 31) * 8000);

  auto T = Make<TIdInterceptThrottler>();
  T->SetBitsPerSec(8000);
  EXPECT_EQ(T->RecvBitsPerSec(), 8000);
  EXPECT_EQ(T->SendBitsPerSec(), 8000);
  T->SetSendBitsPerSec(0);
  EXPECT_EQ(T->BitsPerSec(), 8000);
}

TEST(Throttler, EachDirectionSleepsAfterItsBlockAndZeroNeverSleeps) {
  auto T = Make<TIdInterceptThrottler>();
  TIdBytes Block(10, 'x');
  auto Start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    T->Receive(Block);
    T->Send(Block);
  }
  EXPECT_LT(MsSince(Start), 900);

  T->SetRecvBitsPerSec(80);
  Start = std::chrono::steady_clock::now();
  T->Send(Block);
  EXPECT_LT(MsSince(Start), 900);  // a block at 80 bit/s would take 1000 ms
  T->Receive(Block);
  const int64_t Elapsed = MsSince(Start);
  EXPECT_GE(Elapsed, 999);
  EXPECT_LT(Elapsed, 3000);
}

// 1000 bytes out and 995 back at 8000 bit/s cost about two seconds; the same exchange
// unthrottled is the baseline.
TEST(Throttler, ThrottledExchangeOnARealConnection) {
  auto Exchange = [](int ABitsPerSec, int& VBlocks) {
    TProxyServer Server([](TRecordingPeer& P) {
      TWire W;
      P.Read(W, 1000);
      P.Send(std::string(995, 'r'));
      P.WaitClosed();
    });
    auto T = Make<TIdInterceptThrottler>();
    T->SetBitsPerSec(ABitsPerSec);
    std::atomic<int> Blocks{0};
    T->SetOnReceive([&](TIdConnectionIntercept*, TIdBytes&) { ++Blocks; });
    T->SetOnSend([&](TIdConnectionIntercept*, TIdBytes&) { ++Blocks; });
    std::unique_ptr<TIdIOHandlerStack> IO(New<TIdIOHandlerStack>(nullptr));
    IO->SetHost("127.0.0.1");
    IO->SetPort(Server.Port());
    IO->SetIntercept(T.get());
    IO->Open();
    const auto Start = std::chrono::steady_clock::now();
    IO->Write(TIdBytes(1000, 'q'));
    TIdBytes Reply;
    IO->ReadBytes(Reply, 995, false);
    const int64_t Elapsed = MsSince(Start);
    IO->Close();
    EXPECT_EQ(Reply, TIdBytes(995, 'r'));
    EXPECT_FALSE(Server.Failed());
    VBlocks = Blocks;
    return Elapsed;
  };
  int BaseBlocks = 0, Blocks = 0;
  const int64_t Baseline = Exchange(0, BaseBlocks);
  const int64_t Throttled = Exchange(8000, Blocks);
  EXPECT_GE(Throttled, 1995 - Blocks) << "blocks: " << Blocks;
  EXPECT_LT(Throttled, 1995 + 3000 + Baseline);
  EXPECT_LT(Baseline, 1000);
}

TEST(LogFile, LineFormatsWithoutTime) {
  LogFolder Folder;
  auto Log = OpenLog(Folder);
  Log->Connect(nullptr);
  TIdBytes Out = B("ping\r\n");
  Log->Send(Out);
  TIdBytes In = B("OK\r\n\n");
  Log->Receive(In);
  TIdBytes Bare = B("a\rb");
  Log->Receive(Bare);
  Log->Disconnect();
  EXPECT_EQ(Folder.Contents(),
            "Stat Connected.\r\n"
            "Sent : ping<EOL>\r\n"
            "Recv : OK<EOL><LF>\r\n"
            "Recv : a<CR>b\r\n"
            "Stat Disconnected.\r\n");
  EXPECT_EQ(S(In), "OK\r\n\n");  // the traffic itself is untouched
}

TEST(LogFile, RawLineBreaksAndHighBytesAsSingleBytes) {
  LogFolder Folder;
  auto Log = OpenLog(Folder);
  Log->SetReplaceCRLF(false);
  TIdBytes In{'O', 'K', '\r', '\n', '\n', 233, 0, 255};
  Log->Receive(In);
  EXPECT_EQ(Folder.Contents(), std::string("Recv : OK\r\n\n\xE9\x00\xFF\r\n", 17));
}

TEST(LogFile, DataLinesCarryTheTimeStatusLinesNever) {
  LogFolder Folder;
  auto Log = OpenLog(Folder, true);
  Log->Connect(nullptr);
  TIdBytes Out = B("x");
  Log->Send(Out);
  Log->LogRecvDecodedString("a\r\nb");
  Log->LogSendString("y\r\n");
  const std::regex Expected(
      "Stat Connected\\.\r\n"
      "Sent \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: x\r\n"
      "Recv \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: a\r\nb\r\n"
      "Sent \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: y\r\n\r\n");
  EXPECT_TRUE(std::regex_match(Folder.Contents(), Expected)) << Folder.Contents();
}

TEST(LogFile, FormattedLinesOpenTheLog) {
  LogFolder Folder;
  auto Log = Make<TqorIdLogFileClient>();
  Log->SetFilename(Folder.Name());
  Log->SetLogTime(false);
  Log->WriteFormattedLine("%s=%d\n", "n", 42);
  EXPECT_TRUE(Log->Active());
  EXPECT_EQ(Folder.Contents(), "n=42<LF>\r\n");
}

TEST(LogFile, InactiveLogOpensNothingAndTrafficStillFlows) {
  LogFolder Folder;
  auto Log = Make<TqorIdLogFileClient>();
  Log->SetFilename(Folder.Name());
  std::string Seen;
  Log->SetOnReceive([&](TIdConnectionIntercept*, TIdBytes& b) { Seen += S(b); });
  TIdBytes In = B("data");
  Log->Receive(In);
  Log->Connect(nullptr);
  EXPECT_EQ(Seen, "data");
  EXPECT_FALSE(Folder.Exists());
}

TEST(LogFile, OwnerOnlyFileAppendedAcrossActivations) {
  LogFolder Folder;
  const mode_t Old = umask(0);
  OpenLog(Folder)->Connect(nullptr);
  umask(Old);
  struct stat St {};
  ASSERT_EQ(stat(Folder.Name().c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  OpenLog(Folder)->Connect(nullptr);
  EXPECT_EQ(Folder.Contents(), "Stat Connected.\r\nStat Connected.\r\n");
}

TEST(LogFile, FilenameIsFixedWhileOpenAndAFailedOpenLeavesItInactive) {
  LogFolder Folder;
  auto Log = OpenLog(Folder);
  EXPECT_EQ(Failure([&] { Log->SetFilename("other.log"); }),
            std::make_pair(std::string("EIdException"),
                           std::string("Unable to set Filename while log file is open.")));
  EXPECT_EQ(Log->Filename(), Folder.Name());
  Log->SetActive(false);
  Log->SetFilename(Folder.Path() + "/missing/traffic.log");
  EXPECT_EQ(Failure([&] { Log->SetActive(true); }).first, "EFCreateError");
  EXPECT_FALSE(Log->Active());
}

TEST(LogFile, LoadingStoresTheFlagAndLoadedOpens) {
  LogFolder Folder;
  auto Log = Make<TqorIdLogFileClient>();
  Log->Loading();
  Log->SetFilename(Folder.Name());
  Log->SetActive(true);
  EXPECT_FALSE(Folder.Exists());
  Log->Loaded();
  EXPECT_TRUE(Log->Active());
  EXPECT_TRUE(Folder.Exists());
}

// Lines from a reading and a writing thread never mix inside a line.
TEST(LogFile, ConcurrentDirectionsKeepLinesWhole) {
  LogFolder Folder;
  auto Log = OpenLog(Folder);
  constexpr int kBlocks = 2000;
  std::thread Reader([&] {
    for (int i = 0; i < kBlocks; ++i) {
      TIdBytes b(1 + i % 300, 'r');
      Log->Receive(b);
    }
  });
  for (int i = 0; i < kBlocks; ++i) {
    TIdBytes b(1 + i % 257, 's');
    Log->Send(b);
  }
  Reader.join();
  Log->SetActive(false);
  std::istringstream Lines(Folder.Contents());
  std::string Line;
  int Sent = 0, Received = 0;
  const std::regex Whole("(Sent : s+|Recv : r+)\r");
  while (std::getline(Lines, Line)) {
    ASSERT_TRUE(std::regex_match(Line, Whole)) << Line.substr(0, 60);
    (Line[0] == 'S' ? Sent : Received)++;
  }
  EXPECT_EQ(Sent, kBlocks);
  EXPECT_EQ(Received, kBlocks);
}

TEST(InterceptChain, CircularLinksRefusedAndDestroyedLinksDropped) {
  auto Log = Make<TqorIdLogFileClient>();
  auto T = Make<TIdInterceptThrottler>();
  T->SetIntercept(Log.get());
  EXPECT_EQ(Failure([&] { Log->SetIntercept(T.get()); }),
            std::make_pair(std::string("EIdInterceptCircularLink"),
                           std::string("TqorIdLogFileClient: Circular links are not allowed")));
  EXPECT_EQ(Log->Intercept(), nullptr);
  Log.reset();
  EXPECT_EQ(T->Intercept(), nullptr);
}

// Throttler chained to the log: an outgoing block is in the file before the throttler's
// sleep ends; an incoming one is logged, then slept on.
TEST(InterceptChain, LogWritesBeforeTheThrottlerSleeps) {
  LogFolder Folder;
  auto Log = OpenLog(Folder);
  auto T = Make<TIdInterceptThrottler>();
  T->SetBitsPerSec(8000);
  T->SetIntercept(Log.get());
  for (const bool Sending : {true, false}) {
    std::atomic<bool> Done{false};
    std::thread Mover([&] {
      TIdBytes b(1000, 'x');
      Sending ? T->Send(b) : T->Receive(b);
      Done = true;
    });
    const std::string Prefix = Sending ? "Sent : x" : "Recv : x";
    const auto Start = std::chrono::steady_clock::now();
    while (Folder.Contents().find(Prefix) == std::string::npos && MsSince(Start) < 5000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_NE(Folder.Contents().find(Prefix), std::string::npos);
    EXPECT_FALSE(Done) << "logged only after the sleep";
    Mover.join();
  }
}

// On a real connection through a proxy: the handshake's bytes pass the log too.
TEST(InterceptChain, HandlerLogsEveryBlockOfAProxiedConnection) {
  LogFolder Folder;
  auto Log = OpenLog(Folder);
  Log->SetReplaceCRLF(true);
  TProxyServer Server([](TRecordingPeer& P) {
    TWire W;
    P.ReadHead(W);
    P.Send("HTTP/1.0 200 OK\r\n\r\n");
    P.Read(W, 4);
    P.Send("pong");
    P.WaitClosed();
  });
  TComponent Owner(nullptr);
  auto* Proxy = New<TIdConnectThroughHttpProxy>(&Owner);
  Proxy->SetHost("127.0.0.1");
  Proxy->SetPort(static_cast<TIdPort>(Server.Port()));
  Proxy->SetEnabled(true);
  auto IO = HandlerThrough(Proxy, "10.0.0.5", 25575);
  IO->SetIntercept(Log.get());
  IO->Open();
  IO->Write(B("ping"));
  TIdBytes Reply;
  IO->ReadBytes(Reply, 4, false);
  IO->Close();
  EXPECT_EQ(Folder.Contents(),
            "Sent : CONNECT 10.0.0.5:25575 HTTP/1.0<EOL>\r\n"
            "Sent : <EOL>\r\n"
            "Recv : HTTP/1.0 200 OK<EOL><EOL>\r\n"
            "Sent : ping\r\n"
            "Recv : pong\r\n"
            "Stat Disconnected.\r\n");
  EXPECT_FALSE(Server.Failed());
}

}  // namespace
