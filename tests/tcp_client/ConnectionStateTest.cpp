// The connection's life without a socket: who may connect, who ends a connection, and when a
// released connection object is freed.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tcp_client/qorTCP_ConnectionState.h"

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
    TqorTCPConnectionState::TLease LLease(LState);
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
    TqorTCPConnectionState::TLease LRead(LState);
    TqorTCPConnectionState::TLease LWrite(LState);
    ASSERT_EQ(LRead.get(), LConnection);
    ASSERT_TRUE(LState.BeginClose(LConnection));
    LState.EndClose(LConnection);
    EXPECT_FALSE(LState.ReleaseWhenUnused(LConnection));  // its read loop still runs
  }
  EXPECT_EQ(LFreed.Objects, std::vector<TqorTCPConnectionClient*>{LConnection});

  TqorTCPConnectionClient LUnused;
  EXPECT_TRUE(LState.ReleaseWhenUnused(&LUnused));  // nobody holds it: the caller frees it
}

}  // namespace
