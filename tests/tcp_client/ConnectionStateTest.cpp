// The connection's life without a socket: who may connect, who ends a connection, when a
// released connection object is freed, and when requests made during a transition run.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "tcp_client/qorTCP_ConnectionState.h"
#include "tcp_client/qorTCP_ReadThread.h"

namespace {

struct TFreed {
  std::vector<TqorTCPConnectionClient*> Objects;
  TqorTCPConnectionState::TFree Hook() {
    return [this](TqorTCPConnectionClient* aConnection) {
      Objects.push_back(aConnection);
      delete aConnection;
    };
  }
};

TEST(ConnectionState, OnlyAnIdleClientConnectsAndAFailedConnectLeavesItIdle) {
  TFreed LFreed;
  TqorTCPConnectionState LState(LFreed.Hook());
  EXPECT_EQ(LState.State(), tcpsIdle);
  ASSERT_TRUE(LState.BeginConnect());
  EXPECT_FALSE(LState.BeginConnect());  // a second activation meanwhile does nothing
  LState.EndConnect();
  EXPECT_EQ(LState.State(), tcpsIdle);

  TqorTCPConnectionClient LConnection;
  ASSERT_TRUE(LState.BeginConnect());
  LState.SetConnected(&LConnection);
  LState.EndConnect();  // a connect that did connect stays connected
  EXPECT_EQ(LState.State(), tcpsConnected);
  EXPECT_EQ(LState.Connection(), &LConnection);
  EXPECT_FALSE(LState.BeginConnect());
  EXPECT_EQ(LState.Reset(), &LConnection);
  EXPECT_EQ(LState.State(), tcpsIdle);
}

TEST(ConnectionState, OneCloseWinsAndStopsTheConnectionsReadsAndWrites) {
  TFreed LFreed;
  TqorTCPConnectionState LState(LFreed.Hook());
  TqorTCPConnectionClient LOld, LNew;
  ASSERT_TRUE(LState.BeginConnect());
  LState.SetConnected(&LOld);
  EXPECT_FALSE(LState.BeginClose(nullptr));
  EXPECT_FALSE(LState.BeginClose(&LNew));  // not the current connection
  ASSERT_TRUE(LState.BeginClose(&LOld));
  EXPECT_TRUE(LOld.MustDisconnect());
  EXPECT_FALSE(LState.BeginClose(&LOld));  // the reading thread's report comes second
  EXPECT_EQ(LState.State(), tcpsClosing);
  EXPECT_FALSE(LState.BeginConnect());
  {
    TqorTCPConnectionState::TLease LLease(LState, nullptr);
    EXPECT_EQ(LLease.get(), nullptr);  // nothing more is read or written
  }
  LState.EndClose(&LNew);  // another connection's end changes nothing
  EXPECT_EQ(LState.State(), tcpsClosing);
  LState.EndClose(&LOld);
  EXPECT_EQ(LState.State(), tcpsIdle);
  EXPECT_EQ(LState.Connection(), nullptr);
  // A reconnect made right after (from the disconnect handler) starts from idle.
  EXPECT_TRUE(LState.BeginConnect());
}

// The application's deactivation and the reading thread's report of the peer's close race for
// the same connection: exactly one of them raises its disconnect.
TEST(ConnectionState, RacingClosesHaveExactlyOneWinner) {
  TFreed LFreed;
  TqorTCPConnectionState LState(LFreed.Hook());
  for (int LRound = 0; LRound < 200; ++LRound) {
    TqorTCPConnectionClient LConnection;
    ASSERT_TRUE(LState.BeginConnect());
    LState.SetConnected(&LConnection);
    std::atomic<int> LWins{0};
    std::atomic<bool> LGo{false};
    auto LClose = [&] {
      while (!LGo) std::this_thread::yield();
      if (LState.BeginClose(&LConnection)) {
        ++LWins;
        LState.EndClose(&LConnection);
      }
    };
    std::thread LReader(LClose);
    LGo = true;
    LClose();
    LReader.join();
    ASSERT_EQ(LWins, 1);
    ASSERT_EQ(LState.State(), tcpsIdle);
  }
}

TEST(ConnectionState, AReleasedConnectionIsFreedByItsLastLease) {
  TFreed LFreed;
  TqorTCPConnectionState LState(LFreed.Hook());
  auto* LConnection = new TqorTCPConnectionClient();
  ASSERT_TRUE(LState.BeginConnect());
  LState.SetConnected(LConnection);
  {
    TqorTCPConnectionState::TLease LRead(LState, nullptr);
    TqorTCPConnectionState::TLease LWrite(LState, nullptr);
    ASSERT_EQ(LRead.get(), LConnection);
    ASSERT_TRUE(LState.BeginClose(LConnection));
    LState.EndClose(LConnection);
    EXPECT_FALSE(LState.ReleaseWhenUnused(LConnection));  // its read loop still runs
  }
  EXPECT_EQ(LFreed.Objects, std::vector<TqorTCPConnectionClient*>{LConnection});

  TqorTCPConnectionClient LUnused;
  EXPECT_TRUE(LState.ReleaseWhenUnused(&LUnused));  // nobody holds it: the caller frees it
}

// A reading thread leases only the connection made on its own socket client: an older thread
// still ending after a handler connected anew gets nothing; a write gets the current one.
TEST(ConnectionState, AReaderLeasesOnlyTheConnectionOfItsOwnSocketClient) {
  TFreed LFreed;
  TqorTCPConnectionState LState(LFreed.Hook());
  std::unique_ptr<TqorIdTCPClient, TSocketClientDelete> LOld(New<TqorIdTCPClient>(nullptr));
  std::unique_ptr<TqorIdTCPClient, TSocketClientDelete> LNew(New<TqorIdTCPClient>(nullptr));
  TqorTCPConnectionClient LConnection;
  LConnection.SetTCPConnection(LNew.get());
  ASSERT_TRUE(LState.BeginConnect());
  LState.SetConnected(&LConnection);
  EXPECT_EQ(TqorTCPConnectionState::TLease(LState, LOld.get()).get(), nullptr);
  EXPECT_EQ(TqorTCPConnectionState::TLease(LState, LNew.get()).get(), &LConnection);
  EXPECT_EQ(TqorTCPConnectionState::TLease(LState, nullptr).get(), &LConnection);
  LState.MarkFailed(&LConnection);
  EXPECT_FALSE(LState.Stands());
  LConnection.SetTCPConnection(nullptr);
  LState.Reset();
}

// Requests made while an activation or deactivation runs on the same thread wait and come out
// in order; another thread's request goes alongside.
TEST(ConnectionState, RequestsDuringARunningOneAreQueuedInOrder) {
  TFreed LFreed;
  TqorTCPConnectionState LState(LFreed.Hook());
  ASSERT_EQ(LState.Request(true, false), rrRun);
  EXPECT_EQ(LState.Request(false, false), rrQueued);
  EXPECT_EQ(LState.Request(true, false), rrQueued);
  TqorTCPRequestRoute LOther = rrRun;
  std::thread([&] { LOther = LState.Request(false, false); }).join();
  EXPECT_EQ(LOther, rrAlongside);
  bool LValue = true;
  ASSERT_TRUE(LState.NextQueued(LValue));
  EXPECT_FALSE(LValue);
  ASSERT_TRUE(LState.NextQueued(LValue));
  EXPECT_TRUE(LValue);
  EXPECT_FALSE(LState.NextQueued(LValue));
  EXPECT_EQ(LState.Request(false, false), rrRun);  // the run is over: the next one runs
  EXPECT_EQ(LState.Request(true, false), rrQueued);
  LState.EndRequests();  // destruction: what is queued is dropped
  EXPECT_EQ(LState.Request(true, false), rrRun);
  EXPECT_FALSE(LState.NextQueued(LValue));
}

// A reconnect asked for during a close report is held to the report's end, with a later
// deactivation behind it; a plain deactivation goes ahead; a request made elsewhere later
// overrides the held ones.
TEST(ConnectionState, RequestsDuringACloseReportAreHeldUntilItsEnd) {
  TFreed LFreed;
  TqorTCPConnectionState LState(LFreed.Hook());
  ASSERT_TRUE(LState.BeginReport());
  EXPECT_EQ(LState.Reporter(), std::this_thread::get_id());
  EXPECT_EQ(LState.Request(false, true), rrRun);  // nothing held: it goes ahead
  EXPECT_EQ(LState.Request(true, true), rrQueued);
  EXPECT_EQ(LState.Request(false, true), rrQueued);
  bool LValue;
  EXPECT_FALSE(LState.NextQueued(LValue)) << "held ones wait for the report's end";
  TqorTCPConnectionState::THeld LHeld = LState.EndReport();
  EXPECT_EQ(LState.Reporter(), std::thread::id());
  EXPECT_EQ(LHeld.Values, (std::vector<bool>{true, false}));
  EXPECT_TRUE(LHeld.OnReporter);
  EXPECT_FALSE(LState.Overridden(LHeld.Mark));
  EXPECT_EQ(LState.Request(false, false), rrRun);
  EXPECT_TRUE(LState.Overridden(LHeld.Mark));
  EXPECT_FALSE(LState.NextQueued(LValue));

  // A thread inside an activation that meets a close reports nothing itself.
  ASSERT_EQ(LState.Request(true, false), rrRun);
  EXPECT_FALSE(LState.BeginReport());
  EXPECT_FALSE(LState.NextQueued(LValue));
}

}  // namespace
