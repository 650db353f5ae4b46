// Whole RCON sessions through each kind of real proxy server to the demo server: connect,
// authenticate, "help" and a long answer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/MainThread.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProxyPeers.h"

namespace {

// The component with its TCP client in reach, as an application that sets proxy options.
class TProxiedRCON : public TqorLib_RCON {
 public:
  using TqorLib_RCON::TqorLib_RCON;
  TqorTCPCLient& TCP() { return *GetTCPClient(); }
};

struct TKind {
  const char* Peer;
  TwsProxy Type;
  bool Auth;
};

class RCONThroughProxy : public ::testing::TestWithParam<TKind> {};

TEST_P(RCONThroughProxy, WholeSession) {
  const TKind K = GetParam();
  const std::string Missing = MissingProgram(ProgramsOf(K.Peer));
  if (!Missing.empty()) GTEST_SKIP() << "not installed: " << Missing;
  if (std::string(K.Peer) == "ssh" && getuid() != 0) {
    GTEST_SKIP() << "a private sshd needs root for its privilege separation";
  }
  TRCONDemoServerProcess Server(RCON_DEMO_SERVER);
  auto Peer = K.Auth ? StartProxyPeer(K.Peer, "alice", "s3cret") : StartProxyPeer(K.Peer);
  TTempFolder Folder;

  std::vector<std::string> Log;
  TProxiedRCON RCON(nullptr);
  RCON.SetNotifyEvents(neAsynchronous);
  RCON.SetOnConnect([&](TComponent*) { Log.push_back("#connected"); });
  RCON.SetOnDisconnect([&](TComponent*) { Log.push_back("#disconnected"); });
  RCON.SetOnAuthenticate([&](TComponent*, bool ok, const TqorRCON_Packet&) {
    Log.push_back(ok ? "#authenticated" : "#not authenticated");
  });
  size_t Answered = 0;
  RCON.SetOnResponse([&](TComponent*, const std::string& r, const TqorRCON_Packet&) {
    Answered += r.size();
    Log.push_back(r.substr(0, 8));
  });
  RCON.SetOnException(
      [&](TComponent*, Exception& e) { Log.push_back("#exception: " + e.Message()); });
  TqorTCPProxy_Options& P = RCON.TCP().Proxy();
  P.SetEnabled(true);
  P.SetProxyType(K.Type);
  P.SetHost("127.0.0.1");
  P.SetPort(Peer->Port);
  if (K.Auth) {
    P.SetUsername("alice");
    P.SetPassword("s3cret");
  }
  RCON.TCP().LogFile().SetEnabled(true);
  RCON.TCP().LogFile().SetFileName(Folder.File("traffic.log"));
  RCON.RCON_Options()->SetHost("127.0.0.1");
  RCON.RCON_Options()->SetPort(Server.Port());
  RCON.RCON_Options()->SetPassword("zulu");
  RCON.SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return Log.size() >= 2; }, 15000)) << ::testing::PrintToString(Log);
  ASSERT_EQ(Log, (std::vector<std::string>{"#connected", "#authenticated"}));
  RCON.ExecCommand("help");
  ASSERT_TRUE(PumpUntil([&] { return Log.size() >= 3; }, 15000));
  EXPECT_EQ(Log[2], "Commands");
  Answered = 0;
  RCON.ExecCommand("long");
  ASSERT_TRUE(PumpUntil([&] { return Answered >= 10000; }, 15000)) << Answered;
  EXPECT_EQ(Answered, 10000u);
  RCON.SetActive(false);

  // The log holds the password; only its owner may read it.
  struct stat St {};
  ASSERT_EQ(stat(Folder.File("traffic.log").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  EXPECT_NE(Folder.Read("traffic.log").find("zulu"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, RCONThroughProxy,
    ::testing::Values(TKind{"microsocks", pxySocks5, true}, TKind{"danted", pxySocks4, false},
                      TKind{"ssh", pxySocks4A, false}, TKind{"tinyproxy", pxyHTTP, true},
                      TKind{"squid", pxyHTTP, true}, TKind{"ncat", pxyHTTP, true}),
    [](const ::testing::TestParamInfo<TKind>& I) { return std::string(I.param.Peer); });

}  // namespace
