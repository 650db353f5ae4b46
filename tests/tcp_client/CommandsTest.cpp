#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/time.h>

#include <atomic>

#include "tests/support/ScriptServer.h"
#include "tests/tcp_client/TCPClientTestKit.h"
#include "transport/IdIOHandlerSocket.h"
#include "transport/IdSocketHandle.h"
#include "transport/IdTCPConnection.h"

namespace {

using TServer = TScriptServer<>;

int SocketOption(TqorTCPConnection* aConnection, int aLevel, int aName) {
  auto* LClient = static_cast<TqorTCPConnectionClient*>(aConnection);
  int LValue = -1;
  socklen_t LLength = sizeof LValue;
  ::getsockopt(LClient->TCPConnection()->Socket()->Binding()->Handle(), aLevel, aName, &LValue,
               &LLength);
  return LValue;
}

int TimeoutOption(TqorTCPConnection* aConnection, int aName) {
  auto* LClient = static_cast<TqorTCPConnectionClient*>(aConnection);
  timeval LTime{};
  socklen_t LLength = sizeof LTime;
  ::getsockopt(LClient->TCPConnection()->Socket()->Binding()->Handle(), SOL_SOCKET, aName, &LTime,
               &LLength);
  return static_cast<int>(LTime.tv_sec * 1000 + LTime.tv_usec / 1000);
}

}  // namespace

// In tcpmCommands the reading thread carries out the queue: connect, write, disconnect, in
// order; a write queued before any handler exists is dropped without a report.
TEST(QueuedCommands, ConnectWriteDisconnectOnTheReadingThread) {
  std::string LReceived;
  std::atomic<bool> LClosed{false};
  TServer LServer([&](TScriptPeer& aPeer) {
    uint8_t LBuffer[4];
    if (aPeer.ReadExact(LBuffer, 4)) LReceived.assign(reinterpret_cast<char*>(LBuffer), 4);
    LClosed = aPeer.WaitClosed();
  });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  LClient.SetHost("127.0.0.1");
  LClient.SetPort(LServer.Port());
  LClient.SetTCPMode(tcpmCommands);
  LClient.SetNotifyEvents(neAsynchronous);
  LLog.Hook(LClient);
  std::thread::id LConnectThread;
  LClient.SetOnConnect([&](TqorTCPConnection* c) {
    LLog.Add("connect", c);
    LConnectThread = std::this_thread::get_id();
  });
  LClient.AddBytes(Bytes("gone"));
  LClient.AddCommand(tcmNone);
  LClient.AddCommand(tcmActive);
  LClient.AddBytes(Bytes("ping"));
  LClient.AddCommand(tcmActive);  // already connected: nothing happens
  LClient.AddCommand(tcmNotActive);
  ASSERT_EVENTUALLY(LLog.Count() >= 2);
  EXPECT_EQ(LLog.Texts(), (std::vector<std::string>{"connect", "disconnect 127.0.0.1"}));
  EXPECT_EQ(LConnectThread, std::this_thread::get_id());  // delivered on the main thread
  ASSERT_EVENTUALLY(LClosed.load());
  EXPECT_EQ(LReceived, "ping");
  EXPECT_EQ(LServer.Accepted(), 1);

  // The thread stays for the next connection; a write on the closed socket is reported once
  // and dropped.
  LClient.AddBytes(Bytes("late"));
  ASSERT_EVENTUALLY(LLog.Count() >= 3);
  PumpFor(50);
  ASSERT_EQ(LLog.Count(), 3u);
  EXPECT_EQ(LLog.Texts()[2].rfind("exception ", 0), 0u);
  LClient.AddCommand(tcmActive);
  ASSERT_EVENTUALLY(LLog.Count() >= 4);
  EXPECT_EQ(LLog.Texts()[3], "connect");
  EXPECT_EVENTUALLY(LServer.Accepted() == 2);
}

TEST(QueuedCommands, DefaultModeNeverCarriesThemOut) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  TEventLog LLog;
  TqorTCPCLient LClient(nullptr);
  LClient.SetHost("127.0.0.1");
  LClient.SetPort(LServer.Port());
  LLog.Hook(LClient);
  LClient.AddCommand(tcmActive);
  LClient.AddBytes(Bytes("never"));
  PumpFor(100);
  EXPECT_EQ(LServer.Accepted(), 0);
  EXPECT_EQ(LLog.Count(), 0u);
}

TEST(QueuedCommands, ItemsKeepTheirOwnCopyAndAFreshID) {
  TqorQueueCommands LQueue;
  LQueue.SetOwnObjects(true);
  TIdBytes LBytes = Bytes("abc");
  LQueue.AddBytes(LBytes);
  LQueue.AddCommand(tcmNotActive);
  LBytes[0] = 'X';
  auto* LWrite = static_cast<TqorQueueCommand*>(LQueue.GetItem(0));
  auto* LStop = static_cast<TqorQueueCommand*>(LQueue.GetItem(1));
  EXPECT_EQ(LWrite->Command(), tcmWriteBytes);
  EXPECT_EQ(LWrite->Bytes(), Bytes("abc"));
  EXPECT_EQ(LStop->Command(), tcmNotActive);
  EXPECT_EQ(LWrite->ID().size(), 32u);
  EXPECT_NE(LWrite->ID(), LStop->ID());
  EXPECT_EQ(LQueue.GetItem(LStop->ID()), LStop);
}

// The socket options are set on every connection, before OnConnect sees it.
TEST(SocketOptions, KeepAliveAndTimeoutsReachTheSocket) {
  TServer LServer([](TScriptPeer& aPeer) { aPeer.WaitClosed(); });
  struct TSeen {
    int KeepAlive, Idle, Interval, Send, Receive;
  };
  auto Connect = [&](const std::function<void(TqorTCPCLient&)>& aSetUp) {
    TqorTCPCLient LClient(nullptr);
    LClient.SetHost("127.0.0.1");
    LClient.SetPort(LServer.Port());
    TSeen LSeen{};
    LClient.SetOnConnect([&](TqorTCPConnection* c) {
      LSeen = {SocketOption(c, SOL_SOCKET, SO_KEEPALIVE),
               SocketOption(c, IPPROTO_TCP, TCP_KEEPIDLE),
               SocketOption(c, IPPROTO_TCP, TCP_KEEPINTVL), TimeoutOption(c, SO_SNDTIMEO),
               TimeoutOption(c, SO_RCVTIMEO)};
    });
    aSetUp(LClient);
    EXPECT_TRUE(LClient.Connect(1));
    return LSeen;
  };
  TSeen LPlain = Connect([](TqorTCPCLient&) {});
  EXPECT_EQ(LPlain.KeepAlive, 0);
  EXPECT_EQ(LPlain.Send, 0);
  EXPECT_EQ(LPlain.Receive, 0);

  TSeen LSet = Connect([](TqorTCPCLient& c) {
    c.TCPKeepAlive().SetEnabled(true);
    c.SetWriteTimeout(1500);
    c.TLSOptions().SetIOHandler(iohSChannel);  // TLS stays off; the receive time-out still comes
  });
  EXPECT_EQ(LSet.KeepAlive, 1);
  EXPECT_EQ(LSet.Idle, 7200);
  EXPECT_EQ(LSet.Interval, 1);
  EXPECT_EQ(LSet.Send, 1500);
  EXPECT_GE(LSet.Receive, 10);  // the kernel rounds up to its clock ticks
  EXPECT_LT(LSet.Receive, 50);

  TSeen LRounded = Connect([](TqorTCPCLient& c) {
    c.TCPKeepAlive().SetEnabled(true);
    c.TCPKeepAlive().SetTime(1500);
    c.TCPKeepAlive().SetInterval(1);
    c.TLSOptions().SetIOHandler(iohSChannel);
    c.SetReadTimeout(0);  // no extra receive time-out once a read time-out is chosen
  });
  EXPECT_EQ(LRounded.Idle, 2);
  EXPECT_EQ(LRounded.Interval, 1);
  EXPECT_EQ(LRounded.Receive, 0);
}

// A failed activation starts the watchdog; each tick on the main thread is one more
// connection attempt, until the attempts run out or one succeeds. Ticks on the timer's own
// thread (neNoSync) only count.
TEST(WatchDog, RetriesAFailedActivationUntilTheAttemptsRunOut) {
  for (TwsNotifyEvent LMode : {neAsynchronous, neNoSync}) {
    std::atomic<int> LFailures{0};
    TqorTCPCLient LClient(nullptr);
    LClient.SetHost("127.0.0.1");
    LClient.SetPort(ClosedPort());
    LClient.SetNotifyEvents(LMode);
    LClient.SetOnException([&](TqorTCPConnection*, Exception&) { ++LFailures; });
    LClient.WatchDog().SetEnabled(true);
    LClient.WatchDog().SetInterval(1);
    LClient.SetWatchDogUnitMs(100);  // ticks every 100 ms instead of every second
    LClient.WatchDog().SetAttempts(2);
    LClient.SetActive(true);
    EXPECT_EQ(LFailures, 1);
    EXPECT_TRUE(LClient.WatchDogRunning());
    LClient.SetActive(true);  // a second failure while it runs starts no second timer
    EXPECT_EQ(LFailures, 2);
    ASSERT_TRUE(WaitUntil([&] { return !LClient.WatchDogRunning(); }, 10000)) << LMode;
    EXPECT_EQ(LClient.WatchDogAttempts(), 2);
    EXPECT_EQ(LFailures, LMode == neNoSync ? 2 : 4) << LMode;
  }
}

TEST(WatchDog, ReconnectsOnceTheServerIsBack) {
  const int LPort = ClosedPort();
  std::atomic<int> LConnects{0};
  TqorTCPCLient LClient(nullptr);
  LClient.SetHost("127.0.0.1");
  LClient.SetPort(LPort);
  LClient.SetNotifyEvents(neAsynchronous);
  LClient.SetOnConnect([&](TqorTCPConnection*) { ++LConnects; });
  LClient.WatchDog().SetEnabled(true);
  LClient.WatchDog().SetInterval(1);
  LClient.SetWatchDogUnitMs(100);
  LClient.SetActive(true);
  ASSERT_TRUE(LClient.WatchDogRunning());

  // The same port, now served.
  const int LListener = BindLoopback(static_cast<uint16_t>(LPort));
  if (LListener < 0 || ::listen(LListener, 4) != 0) {
    if (LListener >= 0) ::close(LListener);
    GTEST_SKIP() << "the port was taken meanwhile";
  }
  EXPECT_TRUE(WaitUntil([&] { return LConnects == 1; }, 10000));
  EXPECT_FALSE(LClient.WatchDogRunning());
  EXPECT_EQ(LClient.WatchDogAttempts(), 0);
  LClient.SetActive(false);
  ::close(LListener);
}

TEST(WatchDog, ZeroIntervalCreatesAnIdleTimerAndDeactivationStopsIt) {
  TqorTCPCLient LClient(nullptr);
  LClient.SetHost("127.0.0.1");
  LClient.SetPort(ClosedPort());
  LClient.SetNotifyEvents(neNoSync);
  LClient.WatchDog().SetEnabled(true);
  LClient.WatchDog().SetInterval(0);
  LClient.SetActive(true);
  EXPECT_TRUE(LClient.WatchDogRunning());
  PumpFor(300);
  EXPECT_EQ(LClient.WatchDogAttempts(), 0);
  LClient.SetActive(false);
  EXPECT_FALSE(LClient.WatchDogRunning());

  // Switched off, a failed activation starts nothing.
  LClient.WatchDog().SetEnabled(false);
  LClient.SetActive(true);
  EXPECT_FALSE(LClient.WatchDogRunning());
}
