// The window's connect probe runs on a thread of its own, before any component uses the socket
// stack: its waits must stand without one.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/Loopback.h"
#include "transport/IdConnectProbe.h"
#include "transport/IdStack.h"
#include "transport/IdWakeSignal.h"

TEST(ConnectProbe, AnswersWithoutAnyOtherUserOfTheStack) {
  ASSERT_EQ(TIdStack::StackUsage(), 0);
  uint16_t LPort = 0;
  const int LListener = ListenOnLoopback(1, LPort);
  ASSERT_GE(LListener, 0);
  TIdWakeSignal LCancel;
  EXPECT_TRUE(IdProbeConnect("127.0.0.1", LPort, 5000, LCancel));
  ::close(LListener);
}
