// The throttler's delays, the traffic log's lines and file, and both in a chain on a real
// connection.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/SysUtils.h"
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

// A sent block waits before it goes; a received one costs its time before the next read.
TEST(Throttler, SendWaitsAReceivedBlockHoldsTheNextReadZeroNeverWaits) {
  auto T = Make<TIdInterceptThrottler>();
  TIdBytes Block(10, 'x');
  auto Start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    T->Receive(Block);
    T->AwaitReceive();
    T->Send(Block);
  }
  EXPECT_LT(MsSince(Start), 900);

  T->SetRecvBitsPerSec(80);
  Start = std::chrono::steady_clock::now();
  T->Send(Block);
  T->Receive(Block);
  EXPECT_LT(MsSince(Start), 500);
  T->AwaitReceive();
  int64_t Elapsed = MsSince(Start);
  EXPECT_GE(Elapsed, 999);
  EXPECT_LT(Elapsed, 3000);
  // The rest is taken: the next read goes at once.
  Start = std::chrono::steady_clock::now();
  T->AwaitReceive();
  EXPECT_LT(MsSince(Start), 500);

  T->SetSendBitsPerSec(80);
  Start = std::chrono::steady_clock::now();
  T->Send(Block);
  Elapsed = MsSince(Start);
  EXPECT_GE(Elapsed, 999);
  EXPECT_LT(Elapsed, 3000);
}

// 30 s of rest are cut short by a stop, by a connect's deadline and by the end of the
// connection, wherever the throttler sits in the chain.
TEST(Throttler, WaitsEndAtAStopAtTheDeadlineAndAtTheDisconnect) {
  auto Head = Make<TIdConnectionIntercept>();
  auto T = Make<TIdInterceptThrottler>();
  Head->SetIntercept(T.get());
  T->SetBitsPerSec(8);
  TIdBytes Block(30, 'x');

  T->Receive(Block);
  auto Start = std::chrono::steady_clock::now();
  std::thread Reader([&] { Head->AwaitReceive(); });
  Head->SetPausesInterrupted(true);
  Reader.join();
  EXPECT_LT(MsSince(Start), 10000);
  Start = std::chrono::steady_clock::now();
  std::thread Sender([&] {
    TIdBytes b(30, 's');
    Head->Send(b);
  });
  Sender.join();
  EXPECT_LT(MsSince(Start), 10000);
  Head->SetPausesInterrupted(false);

  Head->SetPauseDeadline(GetTickCount64() + 300);
  Start = std::chrono::steady_clock::now();
  Head->AwaitReceive();
  EXPECT_GE(MsSince(Start), 290);
  EXPECT_LT(MsSince(Start), 10000);
  Head->SetPauseDeadline(0);

  Head->Disconnect();
  Start = std::chrono::steady_clock::now();
  Head->AwaitReceive();
  EXPECT_LT(MsSince(Start), 500);
}

// 1000 bytes out cost a second before they go; 995 back arrive at once and hold the next
// read for about a second. The same exchange unthrottled is the baseline.
TEST(Throttler, ThrottledExchangeOnARealConnection) {
  struct TTimes {
    int64_t Reply, Total;
  };
  auto Exchange = [](int ABitsPerSec, int& VBlocks) {
    TProxyServer Server([](TRecordingPeer& P) {
      TWire W;
      P.Read(W, 1000);
      P.Send(std::string(995, 'r'));
      P.Read(W, 1);
      P.Send("more!");
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
    auto Start = std::chrono::steady_clock::now();
    IO->Write(TIdBytes(1000, 'q'));
    const auto Sent = std::chrono::steady_clock::now();
    TIdBytes Reply;
    IO->ReadBytes(Reply, 995, false);
    TTimes Times{MsSince(Sent), 0};
    IO->Write(TIdBytes(1, 'n'));
    TIdBytes More;
    IO->ReadBytes(More, 5, false);
    Times.Total = MsSince(Start);
    IO->Close();
    EXPECT_EQ(Reply, TIdBytes(995, 'r'));
    EXPECT_EQ(S(More), "more!");
    EXPECT_FALSE(Server.Failed());
    VBlocks = Blocks;
    return Times;
  };
  int BaseBlocks = 0, Blocks = 0;
  const TTimes Baseline = Exchange(0, BaseBlocks);
  const TTimes Throttled = Exchange(8000, Blocks);
  EXPECT_GE(Throttled.Total, 1995 - Blocks) << "blocks: " << Blocks;
  EXPECT_LT(Throttled.Total, 1995 + 3000 + Baseline.Total);
  // The reply was not held back: the rest came after it, before the next read.
  EXPECT_LT(Throttled.Reply, 900 + Baseline.Reply);
  EXPECT_LT(Baseline.Total, 1000);
}

// A 40000-byte reply head at 8000 bit/s would rest 40 s between its reads; with a connect
// time-out of 1.5 s the handshake is done at about that time, holding every byte.
TEST(Throttler, HandshakeRestsEndAtTheConnectDeadline) {
  TProxyServer Server([](TRecordingPeer& P) {
    TWire W;
    P.ReadHead(W);
    P.Send("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(40000, 'p') + "\r\n\r\nS");
    P.WaitClosed();
  });
  TComponent Owner(nullptr);
  auto* Proxy = HttpProxyAt(Owner, Server.Port());
  auto T = Make<TIdInterceptThrottler>();
  T->SetRecvBitsPerSec(8000);
  auto IO = HandlerThrough(Proxy, "10.0.0.5", 25575);
  IO->SetIntercept(T.get());
  IO->SetConnectTimeout(1500);
  const auto Start = std::chrono::steady_clock::now();
  const auto Result = Failure([&] { IO->Open(); });
  const int64_t Elapsed = MsSince(Start);
  EXPECT_LT(Elapsed, 10000);
  if (Result.first.empty()) {
    TIdBytes First;
    IO->ReadBytes(First, 1, false);
    EXPECT_EQ(S(First), "S");
  } else {
    EXPECT_EQ(Result.second, "Connect timed out.");
  }
  EXPECT_EQ(T->PauseDeadline(), 0u) << "the bound ends with the handshake";
  IO->Close();
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
      TIdBytes b(static_cast<size_t>(1 + i % 300), 'r');
      Log->Receive(b);
    }
  });
  for (int i = 0; i < kBlocks; ++i) {
    TIdBytes b(static_cast<size_t>(1 + i % 257), 's');
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

// The disk fills up (a file size limit of 15000 bytes) while a reading and a writing thread
// move 40000 bytes: the log reports once, switches itself off and never stops the traffic.
TEST(LogFile, AFailedWriteSwitchesTheLogOffWithOneReport) {
  LogFolder Folder;
  auto Log = OpenLog(Folder);
  std::mutex Lock;
  std::vector<std::string> Reports;
  Log->SetOnWriteError([&](TIdLogFile* Sender, Exception& E) {
    std::lock_guard<std::mutex> G(Lock);
    Reports.push_back(std::string(E.ClassName()) + ": " + E.Message());
    EXPECT_EQ(Sender, Log.get());
  });
  rlimit Old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Old), 0);
  const auto OldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit Small = Old;
  Small.rlim_cur = 15000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
  std::atomic<int> Moved{0};
  auto Move = [&](bool ASend) {
    for (int i = 0; i < 200; ++i) {
      TIdBytes b(100, ASend ? 's' : 'r');
      try {
        ASend ? Log->Send(b) : Log->Receive(b);
      } catch (const Exception&) {
        continue;
      }
      if (b == TIdBytes(100, ASend ? 's' : 'r')) ++Moved;
    }
  };
  std::thread Reader(Move, false);
  Move(true);
  Reader.join();
  setrlimit(RLIMIT_FSIZE, &Old);
  signal(SIGXFSZ, OldHandler);
  EXPECT_EQ(Moved, 400);
  EXPECT_EQ(Reports, std::vector<std::string>{"EWriteError: Cannot write to file \"" +
                                              Folder.Name() + "\". File too large"});
  EXPECT_FALSE(Log->Active());
  EXPECT_LE(Folder.Contents().size(), 15000u);
  // Switched on again, it writes where it stopped.
  Log->SetActive(true);
  TIdBytes b{'x'};
  Log->Receive(b);
  Log->SetActive(false);
  const std::string Contents = Folder.Contents();
  EXPECT_EQ(Contents.substr(Contents.size() - 10), "Recv : x\r\n");
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
      if (Sending) {
        T->Send(b);
      } else {
        T->Receive(b);
        T->AwaitReceive();
      }
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
  auto* Proxy = HttpProxyAt(Owner, Server.Port());
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
