// qorrcon over TLS: stunnel in front of the demo server, the test CA, verification. A program
// of its own: the TLS kit's process launcher and the proxy kit's share a name.
#include <gtest/gtest.h>

#include "cli/qorCLI_Options.h"
#include "tests/cli/QorrconRun.h"
#include "tests/support/TLSPeers.h"

namespace {

TEST_F(Qorrcon, OverTLS) {
  if (access("/usr/bin/stunnel4", X_OK) != 0) GTEST_SKIP() << "stunnel4 is not installed";
  TRCONDemoServerProcess demo(RCON_DEMO_SERVER);
  TStunnel front(demo.Port(), "server-chain.pem", "server.key");
  const std::string ca = TCertificates::Get().Path("ca.pem");
  const TQorrconResult r =
      Run(At(front.Port(), {"--tls", "--ca", ca, "--verify", "echo secure", "long 9000"}));
  EXPECT_EQ(r.Exit, exOK) << r.Err;
  EXPECT_EQ(r.Out.substr(0, 8), "secure\nl");
  EXPECT_EQ(r.Out.size(), 7 + 9000 + 1u);
  // The same front with a CA that did not sign it: the handshake fails, a connection failure.
  const TQorrconResult wrong = Run(
      At(front.Port(), {"--ca", TCertificates::Get().Path("selfsigned.pem"), "--verify", "echo"}));
  EXPECT_EQ(wrong.Exit, exConnection);
  EXPECT_FALSE(wrong.Err.empty());
}

}  // namespace
