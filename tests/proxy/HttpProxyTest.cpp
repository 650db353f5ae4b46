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
    return HttpProxyAt(FOwner, APort, AUser, APassword);
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

// A 2xx opens the tunnel whatever its headers say of a body (RFC 9110, 9.3.6), and interim
// 1xx replies before it are skipped: every byte after the final head is the server's.
TEST_F(HttpProxy, Any2xxOpensTheTunnelAndItsBodyHeadersAreIgnored) {
  const std::string kReplies[] = {
      "HTTP/1.0 200 OK\r\ncontent-length:   5\r\nX-Folded: a\r\n b\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
      "HTTP/1.1 201 Created\r\n\r\n",
      "HTTP/1.1 204 No Content\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\n"
      "HTTP/1.1 200 OK\r\n\r\n",
  };
  for (const std::string& Reply : kReplies) {
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      P.ReadHead(Wire);
      P.Send(Reply + "hello");
      P.WaitClosed();
    });
    EXPECT_EQ(OpenThrough(Proxy(Server.Port())).second, "") << Reply;
    TIdBytes Data;
    FIO->ReadBytes(Data, 5, false);
    EXPECT_EQ(S(Data), "hello") << Reply;
    FIO->Close();
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(HttpProxy, RefusalsCarryTheStatusWithoutTheVersion) {
  const std::pair<std::string, std::string> kCases[] = {
      {"HTTP/1.1 403 Forbidden\r\n\r\n", "403 Forbidden"},
      {"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 3\r\n\r\nbad", "502 Bad Gateway"},
      {"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", "407 Proxy Authentication Required"},
      {"HTTP/1.1  404 \t Not  Found \r\n\r\n", "404 Not  Found"},
      {"HTTP/1.1 500\r\n\r\n", "500"},
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
      {"HTTP/1.1 100 Continue\r\n" + std::string(40000, 'x') + "\r\n\r\nHTTP/1.1 100 Continue\r\n" +
           std::string(40000, 'x') + "\r\n\r\n",
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

// A 407 whose body is not framed by a Content-Length runs until the proxy closes: the
// connection cannot carry the retry, so a new one does. A length that is a number, however
// written, is skipped on the same connection.
TEST_F(HttpProxy, Auth407BodyWithoutALengthMeansANewConnection) {
  const std::pair<std::string, int> kCases[] = {
      {"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n"
       "<html>denied</html>\r\n",
       2},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n"
       "<html>denied</html>\r\n",
       2},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: unknown-len\r\n\r\n"
       "denied\r\n",
       2},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nTransfer-Encoding: chunked\r\n"
       "Content-Length: 7\r\n\r\n6\r\ndenied\r\n0\r\n\r\n",
       2},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0000000007\r\n\r\n"
       "denied!",
       1},
  };
  for (const auto& [Reply, Connections] : kCases) {
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      P.ReadHead(Wire);
      if (Server.Accepted() == 1) {
        P.Send(Reply);
        // The body has no end but the close: hold the connection as such a proxy may.
        if (Connections == 2) {
          P.WaitClosed();
          return;
        }
        P.ReadHead(Wire);
      }
      P.Send(kEstablished + "S");
      P.WaitClosed();
    });
    EXPECT_EQ(OpenThrough(Proxy(Server.Port(), "alice", "s3cret")).second, "") << Reply;
    EXPECT_EQ(FirstByte(), "S");
    FIO->Close();
    EXPECT_EQ(Wire.Bytes(), kRequest + kAuthorized);
    EXPECT_EQ(Server.Accepted(), Connections) << Reply;
    EXPECT_FALSE(Server.Failed());
  }
}

// A reason phrase is the proxy's free text: a refusal shows at most 200 characters of it,
// none of them a control character.
TEST_F(HttpProxy, RefusalShowsABoundedPrintableReasonPhrase) {
  std::string Hostile =
      "Forbidden \x1B[2J\x1B]0;pwned\x07 \xC2\x9B"
      "31m";
  Hostile += std::string(60000, 'y');
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send("HTTP/1.1 403 " + Hostile + "\r\n\r\n");
    P.WaitClosed();
  });
  FIO = HandlerThrough(Proxy(Server.Port()), "10.0.0.5", 25575);
  FIO->SetDefStringEncoding(&TEncoding::UTF8());
  const auto [Class, Text] = Failure([&] { FIO->Open(); });
  FIO->Close();
  EXPECT_EQ(Class, "EIdHttpProxyError");
  const std::string kShown = "Forbidden ?[2J?]0;pwned? ?31m";
  EXPECT_EQ(Text, "403 " + kShown + std::string(200 - kShown.size(), 'y'));
}

// Basic credentials are the UTF-8 bytes of user, colon and password (RFC 7617's charset).
TEST_F(HttpProxy, BasicCredentialsAreUtf8) {
  const std::string kUser = "j\xC3\xB6rg", kPassword = "p\xC3\xA4ss\xE2\x82\xAC";
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n");
    P.ReadHead(FWire);
    P.Send(kEstablished);
    P.WaitClosed();
  });
  EXPECT_EQ(OpenThrough(Proxy(Server.Port(), kUser, kPassword)).second, "");
  FIO->Close();
  EXPECT_EQ(FWire.Bytes(), kRequest +
                               "CONNECT 10.0.0.5:25575 HTTP/1.0\r\nProxy-Authorization: Basic " +
                               EncodeBase64(B(kUser + ":" + kPassword)) + "\r\n\r\n");
  EXPECT_EQ(EncodeBase64(B(kUser + ":" + kPassword)), "asO2cmc6cMOkc3Pigqw=");
}

TEST_F(HttpProxy, RefusedCredentialsFailAfterOneRetry) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.ReadHead(FWire);
    P.Send("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n");
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
