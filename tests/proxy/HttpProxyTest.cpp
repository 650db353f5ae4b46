// HTTP CONNECT against scripted proxies: the request bytes, refusals, the 407 paths and
// replies a careful client must not trust.
#include <gtest/gtest.h>

#include "platform/Base64.h"
#include "proxy/IdConnectThroughHttpProxy.h"
#include "proxy/IdHeaderList.h"
#include "tests/proxy/ProxyTestKit.h"
#include "transport/IdException.h"

namespace {

const std::string kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";
const std::string kRequest = "CONNECT 10.0.0.5:25575 HTTP/1.0\r\n\r\n";
const std::string kAuthorized = "CONNECT 10.0.0.5:25575 HTTP/1.0\r\nProxy-Authorization: Basic " +
                                EncodeBase64(B("alice:s3cret")) + "\r\n\r\n";

class HttpProxy : public ::testing::Test {
 protected:
  TIdConnectThroughHttpProxy* Proxy(int APort, const std::string& AUser = "",
                                    const std::string& APassword = "") {
    auto* P = New<TIdConnectThroughHttpProxy>(&FOwner);
    P->SetHost("127.0.0.1");
    P->SetPort(static_cast<TIdPort>(APort));
    P->SetEnabled(true);
    P->SetUsername(AUser);
    P->SetPassword(APassword);
    return P;
  }
  // Opens through the proxy; the exception's class and text, or empty ones.
  std::pair<std::string, std::string> OpenThrough(TIdCustomTransparentProxy* AProxy,
                                                  const std::string& ATarget = "10.0.0.5") {
    FIO = HandlerThrough(AProxy, ATarget, 25575);
    return Failure([&] { FIO->Open(); });
  }
  std::string FirstByte() {
    TIdBytes b;
    FIO->ReadBytes(b, 1, false);
    return S(b);
  }
  TComponent FOwner{nullptr};
  TWire FWire;
  std::unique_ptr<TIdIOHandlerStack> FIO;
};

TEST_F(HttpProxy, ConnectLineThenEmptyLineAndTheTunnelStartsAfterTheReply) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send(kEstablished + "S");
    P.WaitClosed();
  });
  EXPECT_EQ(OpenThrough(Proxy(Server.Port())).second, "");
  EXPECT_EQ(FWire.Bytes(), kRequest);
  EXPECT_EQ(FirstByte(), "S");
  FIO->Close();
  EXPECT_FALSE(Server.Failed());
}

TEST_F(HttpProxy, IPv6TargetIsBracketed) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send(kEstablished);
  });
  EXPECT_EQ(OpenThrough(Proxy(Server.Port()), "::1").second, "");
  EXPECT_EQ(FWire.Bytes(), "CONNECT [::1]:25575 HTTP/1.0\r\n\r\n");
}

TEST_F(HttpProxy, ReplyBodyWithContentLengthIsConsumed) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send("HTTP/1.0 200 OK\r\ncontent-length:   5\r\nX-Folded: a\r\n b\r\n\r\nhelloS");
    P.WaitClosed();
  });
  EXPECT_EQ(OpenThrough(Proxy(Server.Port())).second, "");
  EXPECT_EQ(FirstByte(), "S");
  FIO->Close();
}

TEST_F(HttpProxy, RefusalsCarryTheStatusWithoutTheVersion) {
  const std::pair<std::string, std::string> kCases[] = {
      {"HTTP/1.1 403 Forbidden\r\n\r\n", "403 Forbidden"},
      {"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 3\r\n\r\nbad", "502 Bad Gateway"},
      {"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", "407 Proxy Authentication Required"},
  };
  for (const auto& [Reply, Text] : kCases) {
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      P.ReadHead(Wire);
      P.Send(Reply);
      P.WaitClosed();
    });
    // No credentials: a 407 is a refusal, not a retry.
    EXPECT_EQ(OpenThrough(Proxy(Server.Port())),
              std::make_pair(std::string("EIdHttpProxyError"), Text));
    FIO->Close();
    EXPECT_EQ(Wire.Bytes(), kRequest);
    EXPECT_EQ(Server.Accepted(), 1);
    EXPECT_FALSE(Server.Failed());
  }
}

// Replies that are no HTTP status line, or too big to read, never open a tunnel.
TEST_F(HttpProxy, ForeignAndHostileRepliesAreRefusals) {
  const std::pair<std::string, std::string> kCases[] = {
      {"\r\nS", "The HTTP proxy sent no valid status line: \"\""},
      {"HTTP/1.1 OK\r\n\r\n", "The HTTP proxy sent no valid status line: \"HTTP/1.1 OK\""},
      {"SSH-2.0-OpenSSH_9.2\r\n",
       "The HTTP proxy sent no valid status line: \"SSH-2.0-OpenSSH_9.2\""},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'x') + "\r\n\r\n",
       "The HTTP proxy's reply is too large."},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n",
       "The HTTP proxy's reply is too large."},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
       "The HTTP proxy's reply is too large."},
  };
  for (const auto& [Reply, Text] : kCases) {
    TProxyServer Server([&](TRecordingPeer& P) {
      P.ReadHead(FWire);
      try {
        P.Send(Reply);
      } catch (const std::exception&) {
        // The client may hang up before a huge reply is all out.
      }
      P.WaitClosed();
    });
    EXPECT_EQ(OpenThrough(Proxy(Server.Port())),
              std::make_pair(std::string("EIdHttpProxyError"), Text));
    FIO->Close();
  }
}

TEST_F(HttpProxy, Auth407WithCloseReopensAndSendsBasicCredentials) {
  for (const char* Header : {"Proxy-Connection: close", "connection: Close"}) {
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      if (Server.Accepted() == 1) {
        P.ReadHead(Wire);
        P.Send(std::string("HTTP/1.1 407 Proxy Authentication Required\r\n") + Header +
               "\r\nProxy-Authenticate: Basic realm=\"x\"\r\n\r\n");
        return;
      }
      P.ReadHead(Wire);
      P.Send(kEstablished + "S");
      P.WaitClosed();
    });
    EXPECT_EQ(OpenThrough(Proxy(Server.Port(), "alice", "s3cret")).second, "");
    EXPECT_EQ(FirstByte(), "S");
    FIO->Close();
    EXPECT_EQ(Wire.Bytes(), kRequest + kAuthorized);
    EXPECT_EQ(Server.Accepted(), 2);
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(HttpProxy, Auth407WithoutCloseRetriesOnTheSameConnection) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 4\r\n\r\nnope");
    P.ReadHead(FWire);
    P.Send(kEstablished + "S");
    P.WaitClosed();
  });
  EXPECT_EQ(OpenThrough(Proxy(Server.Port(), "alice", "s3cret")).second, "");
  EXPECT_EQ(FirstByte(), "S");
  FIO->Close();
  EXPECT_EQ(FWire.Bytes(), kRequest + kAuthorized);
  EXPECT_EQ(Server.Accepted(), 1);
  EXPECT_FALSE(Server.Failed());
}

// As ncat does: a 407 with no close header, then the connection ends.
TEST_F(HttpProxy, Auth407ThenSilentCloseReopensOnce) {
  TProxyServer Server([&](TRecordingPeer& P) {
    if (Server.Accepted() == 1) {
      P.ReadHead(FWire);
      P.Send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n");
      return;
    }
    P.ReadHead(FWire);
    P.Send(kEstablished + "S");
    P.WaitClosed();
  });
  EXPECT_EQ(OpenThrough(Proxy(Server.Port(), "alice", "s3cret")).second, "");
  EXPECT_EQ(FirstByte(), "S");
  FIO->Close();
  EXPECT_EQ(Server.Accepted(), 2);
  EXPECT_EQ(FWire.Bytes().substr(FWire.Bytes().size() - kAuthorized.size()), kAuthorized);
  EXPECT_FALSE(Server.Failed());
}

TEST_F(HttpProxy, RefusedCredentialsFailAfterOneRetry) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
    P.ReadHead(FWire);
    P.Send("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
    P.WaitClosed();
  });
  EXPECT_EQ(OpenThrough(Proxy(Server.Port(), "alice", "s3cret")),
            std::make_pair(std::string("EIdHttpProxyError"),
                           std::string("407 Proxy Authentication Required")));
  FIO->Close();
  EXPECT_EQ(FWire.Bytes(), kRequest + kAuthorized);
}

TEST_F(HttpProxy, SilentProxyEndsAtTheConnectTimeout) {
  TProxyServer Server([&](TRecordingPeer& P) { P.Silence(10000); });
  FIO = HandlerThrough(Proxy(Server.Port()), "10.0.0.5", 25575);
  FIO->SetConnectTimeout(300);
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(Failure([&] { FIO->Open(); }),
            std::make_pair(std::string("EIdConnectTimeout"), std::string("Connect timed out.")));
  const int64_t Elapsed = MsSince(Start);
  EXPECT_GE(Elapsed, 290);
  EXPECT_LT(Elapsed, 5000);
  FIO->Close();
}

TEST_F(HttpProxy, EnabledIsItsOwnSwitchAndAssignCopiesIt) {
  auto* P = New<TIdConnectThroughHttpProxy>(&FOwner);
  EXPECT_FALSE(P->Enabled());
  auto* Q = Proxy(3128, "u", "p");
  P->Assign(*Q);
  EXPECT_TRUE(P->Enabled());
  EXPECT_EQ(P->Port(), 3128);
  EXPECT_EQ(P->Username(), "u");
  EXPECT_EQ(P->Password(), "p");
  EXPECT_THROW(P->Bind(nullptr, 0), EIdTransparentProxyCantBind);
  EXPECT_THROW(P->CloseUDP(nullptr), EIdTransparentProxyUDPNotSupported);
}

TEST(HeaderList, NamesIgnoreCaseValuesUnfoldAndBlanksBeforeTheColonDoNotMatch) {
  TIdHeaderList H(QuoteHTTP);
  EXPECT_EQ(H.FoldLinesLength(), 2147483647);
  EXPECT_EQ(TIdHeaderList(QuoteMIME).FoldLinesLength(), 78);
  H.Add("proxy-connection: close");
  H.Add("Content-Length : 5");
  H.Add("X-Long:  first ");
  H.Add("\tsecond");
  H.Add("  third");
  H.Add("Via: 1.1 a:b");
  EXPECT_EQ(H.IndexOfName("Proxy-Connection"), 0);
  EXPECT_EQ(H.GetValue("PROXY-CONNECTION"), "close");
  EXPECT_EQ(H.IndexOfName("Content-Length"), -1);
  EXPECT_EQ(H.GetValue("Content-Length"), "");
  EXPECT_EQ(H.GetValue("x-long"), "first second third");
  EXPECT_EQ(H.GetValue("Via"), "1.1 a:b");
  EXPECT_EQ(H.GetValue("Missing"), "");
}

}  // namespace
