#include <gtest/gtest.h>

#include <memory>

#include "tests/support/ScriptServer.h"
#include "tests/tcp_client/TCPClientTestKit.h"
#include "transport/IdIOHandler.h"
#include "transport/IdTCPClient.h"

namespace {

// A connection object on a real socket whose input buffer the test fills by hand, so that
// every read has exactly the bytes the case names.
class FrameAssembly : public ::testing::Test {
 protected:
  void SetUp() override {
    FSocket.reset(New<TIdTCPClient>(nullptr));
    FSocket->SetHost("127.0.0.1");
    FSocket->SetPort(static_cast<TIdPort>(FPeer.Port()));
    FSocket->Connect();
    FConnection.SetTCPConnection(FSocket.get());
    FConnection.SetOnBinary([this](TqorTCPConnection* c, TMemoryStream& aData) {
      EXPECT_EQ(c, &FConnection);
      EXPECT_EQ(aData.Position(), 0);
      FFrames.emplace_back(reinterpret_cast<const char*>(aData.Memory()),
                           static_cast<size_t>(aData.Size()));
    });
  }
  void TearDown() override {
    FConnection.SetTCPConnection(nullptr);
    if (FSocket) FSocket->Disconnect();
  }

  void Read(const std::string& aBytes) {
    FSocket->IOHandler()->InputBuffer()->Write(Bytes(aBytes));
    FConnection.ReadFrame();
  }
  void Delimit(TtcpEOFScanBuffer aMode, const std::string& aDelimiter) {
    FConnection.SetTCPEndOfFrameScanBuffer(aMode);
    FConnection.ClearTCPEndOfFrame();
    for (char c : aDelimiter) FConnection.AddTCPEndOfFrame(static_cast<uint8_t>(c));
  }

  // Takes whatever the connection writes until it closes.
  TScriptServer<> FPeer{[](TScriptPeer& aPeer) {
    if (!aPeer.WaitClosed()) throw std::runtime_error("the client did not close");
  }};
  std::unique_ptr<TIdTCPClient> FSocket;
  TqorTCPConnectionClient FConnection;
  std::vector<std::string> FFrames;
};

using TFrames = std::vector<std::string>;

}  // namespace

TEST_F(FrameAssembly, EveryReadIsOneFrameByDefault) {
  EXPECT_EQ(FConnection.TCPEndOfFrameScanBuffer(), eofScanNone);
  Read("ab\r\ncd");
  Read("e");
  EXPECT_EQ(FFrames, (TFrames{"ab\r\ncd", "e"}));
  EXPECT_EQ(FConnection.RecBytes(), 7);
  EXPECT_TRUE(FSocket->IOHandler()->InputBufferIsEmpty());
}

TEST_F(FrameAssembly, LatestBytesKeepsOnlyReadsEndingWithTheDelimiter) {
  Delimit(eofScanLatestBytes, "\r\n");
  Read("abc\r\n");
  Read("abc");  // discarded
  Read("\n");   // shorter than the delimiter
  Read("x\r\ny\r\n");
  EXPECT_EQ(FFrames, (TFrames{"abc\r\n", "x\r\ny\r\n"}));
  Delimit(eofScanLatestBytes, "");
  Read("abc\r\n");  // no delimiter: every read is discarded
  EXPECT_EQ(FFrames.size(), 2u);
}

TEST_F(FrameAssembly, AllBytesCutsFramesAndKeepsTheTail) {
  Delimit(eofScanAllBytes, "\r\n");
  Read("a\r\nb\r\nc");
  EXPECT_EQ(FFrames, (TFrames{"a\r\n", "b\r\n"}));
  Read("\r\n");
  EXPECT_EQ(FFrames, (TFrames{"a\r\n", "b\r\n", "c\r\n"}));
  // A delimiter split over two reads, its first byte last in the first read.
  Read("xy\r");
  EXPECT_EQ(FFrames.size(), 3u);
  Read("\nz");
  EXPECT_EQ(FFrames.back(), "xy\r\n");
  Read("\r");
  Read("\r\n");  // "z\r\r\n": the first CR is data
  EXPECT_EQ(FFrames.back(), "z\r\r\n");
  EXPECT_EQ(FFrames.size(), 5u);
}

TEST_F(FrameAssembly, AllBytesKeepsPendingBytesAcrossDelimiterChanges) {
  Delimit(eofScanAllBytes, "\r\n");
  Read("one|two");
  Delimit(eofScanAllBytes, "|");  // the pending bytes are scanned again with the new one
  Read("|");
  EXPECT_EQ(FFrames, (TFrames{"one|", "two|"}));
}

// A read in another mode between two eofScanAllBytes reads: the kept bytes are scanned from
// their start for the new delimiter.
TEST_F(FrameAssembly, AllBytesRescansAfterReadsInAnotherMode) {
  Delimit(eofScanAllBytes, "\r\n");
  Read("one|two");
  Delimit(eofScanNone, "|");
  Read("whole");
  Delimit(eofScanAllBytes, "|");
  Read("|");
  EXPECT_EQ(FFrames, (TFrames{"whole", "one|", "two|"}));
}

TEST_F(FrameAssembly, AllBytesBoundsThePendingBytes) {
  Delimit(eofScanAllBytes, "\r\n");
  FConnection.SetMaxPendingBytes(8);
  Read("12345678");  // at the bound: kept
  EXPECT_THROW(Read("9"), EqorTCPFrameTooLarge);
  Read("ok\r\n");  // the dropped bytes do not come back
  EXPECT_EQ(FFrames, (TFrames{"ok\r\n"}));
  // An empty delimiter never ends a frame, so it is bounded the same way.
  Delimit(eofScanAllBytes, "");
  Read("12345678");
  EXPECT_THROW(Read("9"), EqorTCPFrameTooLarge);
}

TEST_F(FrameAssembly, DelimiterIsBuiltBytePerByte) {
  FConnection.AddTCPEndOfFrame(13);
  FConnection.AddTCPEndOfFrame(10);
  EXPECT_EQ(FConnection.TCPEndOfFrame(), (TIdBytes{13, 10}));
  FConnection.ClearTCPEndOfFrame();
  EXPECT_TRUE(FConnection.TCPEndOfFrame().empty());
}

TEST_F(FrameAssembly, ReadDataDeliversWhatWaitsAndWritesAreCounted) {
  FSocket->IOHandler()->InputBuffer()->Write(Bytes("waiting"));
  FConnection.ReadData();
  EXPECT_EQ(FFrames, (TFrames{"waiting"}));
  FConnection.DoWriteBytes(Bytes("12345"));
  EXPECT_EQ(FConnection.SendBytes(), 5);
  FConnection.SetMustDisconnect(true);
  FSocket->IOHandler()->InputBuffer()->Write(Bytes("left"));
  FConnection.ReadData();  // a connection being closed reads no more
  EXPECT_EQ(FFrames.size(), 1u);
}

TEST(ConnectionObject, KeepsItsAddressesAndGuidWithoutASocket) {
  TScriptServer<> LPeer([](TScriptPeer& aPeer) {
    aPeer.Close();
    if (!aPeer.WaitClosed()) throw std::runtime_error("the client did not close");
  });
  std::unique_ptr<TIdTCPClient> LSocket(New<TIdTCPClient>(nullptr));
  LSocket->SetHost("127.0.0.1");
  LSocket->SetPort(static_cast<TIdPort>(LPeer.Port()));
  LSocket->Connect();
  TqorTCPConnectionClient LConnection;
  LConnection.SetTCPConnection(LSocket.get());
  const int LLocalPort = LConnection.LocalPort();
  EXPECT_TRUE(LConnection.Active());
  LSocket->Disconnect();
  EXPECT_FALSE(LConnection.Active());
  EXPECT_EQ(LConnection.IP(), "127.0.0.1");
  EXPECT_EQ(LConnection.Port(), LPeer.Port());
  EXPECT_EQ(LConnection.LocalIP(), "127.0.0.1");
  EXPECT_EQ(LConnection.LocalPort(), LLocalPort);
  EXPECT_GT(LLocalPort, 0);
  EXPECT_EQ(LConnection.IPVersion(), ipV4);
  const std::string LGuid = LConnection.Guid();
  EXPECT_EQ(LGuid.size(), 32u);
  EXPECT_EQ(LGuid.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(LConnection.Guid(), LGuid);
  EXPECT_NE(TqorTCPConnectionClient().Guid(), LGuid);
  LConnection.SetTCPConnection(nullptr);
}

TEST(ConnectionObject, DisconnectPeerWithoutHandlerOnlyAnnouncesIt) {
  std::unique_ptr<TIdTCPClient> LSocket(New<TIdTCPClient>(nullptr));
  TqorTCPConnectionClient LConnection;
  LConnection.SetTCPConnection(LSocket.get());
  int LAnnounced = 0;
  LConnection.SetOnBeforeDisconnect([&](TqorTCPConnection*) { ++LAnnounced; });
  LConnection.DisconnectPeer();
  EXPECT_EQ(LAnnounced, 1);
  EXPECT_FALSE(LConnection.Disconnected());
  EXPECT_FALSE(LConnection.Active());
  LConnection.SetTCPConnection(nullptr);
}
