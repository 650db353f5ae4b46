// SOCKS 4, 4A and 5 handshakes against scripted proxies: wire bytes, every reply code and
// every failure text.
#include <gtest/gtest.h>

#include "proxy/IdSocksInfo.h"
#include "tests/proxy/ProxyTestKit.h"
#include "transport/IdException.h"

namespace {

const std::string kSocks4Success("\x00\x5A\x00\x00\x00\x00\x00\x00", 8);
const std::string kSocks5Success("\x05\x00\x00\x01\x7F\x00\x00\x01\x1F\x90", 10);

class Socks : public ::testing::Test {
 protected:
  TIdSocksInfo* Proxy(TSocksVersion AVersion, int APort, const std::string& AUser = "",
                      const std::string& APassword = "") {
    TIdSocksInfo* P = New<TIdSocksInfo>(&FOwner);
    P->SetHost("127.0.0.1");
    P->SetPort(static_cast<TIdPort>(APort));
    P->SetVersion(AVersion);
    P->SetUsername(AUser);
    P->SetPassword(APassword);
    P->SetAuthentication(AUser.empty() ? saNoAuthentication : saUsernamePassword);
    return P;
  }
  TComponent FOwner{nullptr};
  TWire FWire;
};

TEST_F(Socks, Socks4RequestIsNineBytesAndTheTunnelCarriesTheServersBytes) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 9);
    P.Send(kSocks4Success + "S");
    P.WaitClosed();
  });
  auto IO = HandlerThrough(Proxy(svSocks4, Server.Port()), "127.0.0.1", 25575);
  IO->Open();
  EXPECT_EQ(FWire.Bytes(), std::string("\x04\x01\x63\xE7\x7F\x00\x00\x01\x00", 9));
  TIdBytes First;
  IO->ReadBytes(First, 1, false);
  EXPECT_EQ(S(First), "S");
  IO->Close();
  EXPECT_FALSE(Server.Failed());
}

TEST_F(Socks, Socks4ResolvesANameLocallyAndSendsOnlyTheAddress) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 9);
    P.Send(kSocks4Success);
  });
  auto IO = HandlerThrough(Proxy(svSocks4, Server.Port()), "localhost", 80);
  IO->Open();
  EXPECT_EQ(FWire.Bytes(), std::string("\x04\x01\x00\x50\x7F\x00\x00\x01\x00", 9));
  EXPECT_FALSE(Server.Failed());
}

TEST_F(Socks, Socks4ASendsTheNameAfterTheUserId) {
  const std::string kName = "game.example";
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 8 + 2 + kName.size() + 1);
    P.Send(kSocks4Success);
  });
  auto IO = HandlerThrough(Proxy(svSocks4A, Server.Port(), "u", "not sent"), kName, 25575);
  IO->Open();
  EXPECT_EQ(FWire.Bytes(), std::string("\x04\x01\x63\xE7\x00\x00\x00\x01u\x00", 10) + kName +
                               std::string(1, '\0'));
  EXPECT_FALSE(Server.Failed());
}

TEST_F(Socks, Socks4ReplyCodesBecomeTheirExceptions) {
  const struct {
    uint8_t Code;
    const char* Class;
    const char* Text;
  } kCases[] = {
      {91, "EIdSocksRequestFailed", "Request rejected or failed."},
      {92, "EIdSocksRequestServerFailed", "Request rejected because SOCKS server cannot connect."},
      {93, "EIdSocksRequestIdentFailed",
       "Request rejected because the client program and identd report different user-ids."},
      {0, "EIdSocksUnknownError", "Unknown socks error."},
      {94, "EIdSocksUnknownError", "Unknown socks error."},
  };
  for (const auto& C : kCases) {
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(FWire, 9);
      std::string Reply = kSocks4Success;
      Reply[1] = char(C.Code);
      P.Send(Reply);
    });
    auto IO = HandlerThrough(Proxy(svSocks4, Server.Port()), "127.0.0.1", 25575);
    EXPECT_EQ(Failure([&] { IO->Open(); }),
              std::make_pair(std::string(C.Class), std::string(C.Text)))
        << int(C.Code);
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(Socks, Socks4ShortReplyFailsWithTheTransportsOwnError) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 9);
    P.Send(std::string("\x00\x5A\x00", 3));
  });
  auto IO = HandlerThrough(Proxy(svSocks4, Server.Port()), "127.0.0.1", 25575);
  EXPECT_EQ(Failure([&] { IO->Open(); }).first, "EIdConnClosedGracefully");
}

TEST_F(Socks, Socks5GreetingOffersOneMethodAndRefusedMethodsFail) {
  for (const std::string& Answer : {std::string("\x05\xFF", 2), std::string("\x05\x02", 2)}) {
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(Wire, 3);
      P.Send(Answer);
    });
    auto IO = HandlerThrough(Proxy(svSocks5, Server.Port()), "127.0.0.1", 25575);
    EXPECT_EQ(Failure([&] { IO->Open(); }),
              std::make_pair(std::string("EIdSocksAuthMethodError"),
                             std::string("Invalid socks authentication method.")));
    EXPECT_EQ(Wire.Bytes(), std::string("\x05\x01\x00", 3));
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(Socks, Socks5UserNameAndPasswordSubNegotiation) {
  for (const uint8_t Status : {uint8_t(0), uint8_t(1)}) {
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(Wire, 3);
      P.Send(std::string("\x05\x02", 2));
      P.Read(Wire, 1 + 1 + 5 + 1 + 6);
      P.Send(std::string("\x01", 1) + char(Status));
      if (Status != 0) return;
      P.Read(Wire, 10);
      P.Send(kSocks5Success);
    });
    auto IO = HandlerThrough(Proxy(svSocks5, Server.Port(), "alice", "secret"), "127.0.0.1", 25575);
    const auto Result = Failure([&] { IO->Open(); });
    std::string Expected = std::string("\x05\x01\x02\x01\x05", 5) + "alice\x06" + "secret";
    if (Status == 0) {
      EXPECT_EQ(Result.first, "");
      Expected += std::string("\x05\x01\x00\x01\x7F\x00\x00\x01\x63\xE7", 10);
    } else {
      EXPECT_EQ(Result, std::make_pair(std::string("EIdSocksAuthError"),
                                       std::string("Authentication error to socks server.")));
    }
    EXPECT_EQ(Wire.Bytes(), Expected);
    EXPECT_FALSE(Server.Failed());
  }
}

// Non-ASCII credentials as UTF-8; a name longer than 255 bytes is cut before a character.
TEST_F(Socks, Socks5CredentialsAreUtf8Bytes) {
  const std::string kUser = "j\xC3\xB6rg";                                   // "jörg"
  const std::string kPassword = "p\xC3\xA4ss \xE2\x82\xAC\xF0\x9F\x94\x91";  // "päss €🔑"
  std::string LongUser;
  for (int i = 0; i < 200; ++i) LongUser += "\xC3\xA9";  // 400 bytes of "é"
  const std::pair<std::string, std::string> kCases[] = {{kUser, kPassword}, {LongUser, "pw"}};
  for (const auto& [User, Password] : kCases) {
    const std::string SentUser = User.substr(0, User.size() > 255 ? 254 : User.size());
    TWire Wire;
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(Wire, 3);
      P.Send(std::string("\x05\x02", 2));
      P.Read(Wire, 1 + 1 + SentUser.size() + 1 + Password.size());
      P.Send(std::string("\x01\x00", 2));
      P.Read(Wire, 10);
      P.Send(kSocks5Success);
    });
    auto IO = HandlerThrough(Proxy(svSocks5, Server.Port(), User, Password), "127.0.0.1", 25575);
    EXPECT_EQ(Failure([&] { IO->Open(); }).second, "");
    const std::string Wired = Wire.Bytes();
    EXPECT_EQ(Wired.substr(3, 3 + SentUser.size() + Password.size()),
              "\x01" + std::string(1, char(SentUser.size())) + SentUser +
                  std::string(1, char(Password.size())) + Password);
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(Socks, Socks5ReplyCodesBecomeTheirExceptions) {
  const char* kTexts[][2] = {
      {"", ""},
      {"EIdSocksServerGeneralError", "General SOCKS server failure."},
      {"EIdSocksServerPermissionError", "Connection not allowed by ruleset."},
      {"EIdSocksServerNetUnreachableError", "Network unreachable."},
      {"EIdSocksServerHostUnreachableError", "Host unreachable."},
      {"EIdSocksServerConnectionRefusedError", "Connection refused."},
      {"EIdSocksServerTTLExpiredError", "TTL expired."},
      {"EIdSocksServerCommandError", "Command not supported."},
      {"EIdSocksServerAddressError", "Address type not supported."},
      {"EIdSocksUnknownError", "Unknown socks error."},
  };
  for (int Code = 1; Code <= 9; ++Code) {
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(FWire, 3);
      P.Send(std::string("\x05\x00", 2));
      P.Read(FWire, 10);
      std::string Reply = kSocks5Success;
      Reply[1] = char(Code);
      P.Send(Reply);
    });
    auto IO = HandlerThrough(Proxy(svSocks5, Server.Port()), "127.0.0.1", 25575);
    EXPECT_EQ(Failure([&] { IO->Open(); }),
              std::make_pair(std::string(kTexts[Code][0]), std::string(kTexts[Code][1])))
        << Code;
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(Socks, Socks5RequestAddressTypes) {
  TIdSocksInfo* P = Proxy(svSocks5, 1080);
  EXPECT_EQ(S(P->BuildSocks5Request("10.1.2.3", 25575, 1)),
            std::string("\x05\x01\x00\x01\x0A\x01\x02\x03\x63\xE7", 10));
  EXPECT_EQ(S(P->BuildSocks5Request("2001:db8::7", 443, 1)),
            std::string("\x05\x01\x00\x04\x20\x01\x0D\xB8", 8) + std::string(11, '\0') +
                std::string("\x07\x01\xBB", 3));
  EXPECT_EQ(S(P->BuildSocks5Request("example.org", 80, 1)),
            std::string("\x05\x01\x00\x03\x0B", 5) + "example.org" + std::string("\x00\x50", 2));
  const std::string LongName(300, 'a');
  const TIdBytes Long = P->BuildSocks5Request(LongName, 80, 1);
  EXPECT_EQ(Long.size(), 7u + 255u);
  EXPECT_EQ(Long[4], 255);
}

// Each success reply form is consumed in full: the next byte is the server's.
TEST_F(Socks, Socks5SuccessRepliesAreConsumedToTheirEnd) {
  const std::string kReplies[] = {
      kSocks5Success,
      std::string("\x05\x00\x00\x04", 4) + std::string(16, '\x01') + std::string("\x00\x50", 2),
      std::string("\x05\x00\x00\x03\x09", 5) + "proxy.lan" + std::string("\x00\x50", 2),
  };
  for (const std::string& Reply : kReplies) {
    TProxyServer Server([&](TRecordingPeer& P) {
      P.Read(FWire, 3);
      P.Send(std::string("\x05\x00", 2));
      P.Read(FWire, 7 + 9);
      P.Send(Reply + "S");
      P.WaitClosed();
    });
    auto IO = HandlerThrough(Proxy(svSocks5, Server.Port()), "rcon.game", 25575);
    IO->Open();
    TIdBytes First;
    IO->ReadBytes(First, 1, false);
    EXPECT_EQ(S(First), "S");
    EXPECT_TRUE(IO->InputBufferIsEmpty());
    IO->Close();
    EXPECT_FALSE(Server.Failed());
  }
}

TEST_F(Socks, Socks5UnknownAddressTypeInASuccessReplyFails) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 3);
    P.Send(std::string("\x05\x00", 2));
    P.Read(FWire, 10);
    P.Send(std::string("\x05\x00\x00\x07\x00", 5));
  });
  auto IO = HandlerThrough(Proxy(svSocks5, Server.Port()), "127.0.0.1", 25575);
  EXPECT_EQ(Failure([&] { IO->Open(); }).first, "EIdSocksServerAddressError");
  EXPECT_FALSE(Server.Failed());
}

TEST_F(Socks, Socks5ProxyThatClosesInsteadOfAnsweringDidNotRespond) {
  TProxyServer Server([&](TRecordingPeer& P) { P.Read(FWire, 3); });
  auto IO = HandlerThrough(Proxy(svSocks5, Server.Port()), "127.0.0.1", 25575);
  EXPECT_EQ(Failure([&] { IO->Open(); }),
            std::make_pair(std::string("EIdSocksServerRespondError"),
                           std::string("Socks server did not respond.")));
  EXPECT_FALSE(Server.Failed());
}

// A proxy that accepts and never answers: the connect time-out bounds the handshake.
TEST_F(Socks, SilentProxyEndsAtTheConnectTimeout) {
  for (const TSocksVersion Version : {svSocks4, svSocks5}) {
    TProxyServer Server([&](TRecordingPeer& P) { P.Silence(10000); });
    auto IO = HandlerThrough(Proxy(Version, Server.Port()), "127.0.0.1", 25575);
    IO->SetConnectTimeout(300);
    const auto Start = std::chrono::steady_clock::now();
    const auto Result = Failure([&] { IO->Open(); });
    const int64_t Elapsed = MsSince(Start);
    EXPECT_EQ(Result.first,
              Version == svSocks4 ? "EIdConnectTimeout" : "EIdSocksServerRespondError")
        << Result.second;
    EXPECT_GE(Elapsed, 290);
    EXPECT_LT(Elapsed, 5000);
    IO->Close();
  }
}

TEST_F(Socks, EnabledFollowsTheVersionAndAssignCopiesSettings) {
  TIdSocksInfo* P = New<TIdSocksInfo>(&FOwner);
  EXPECT_EQ(P->Port(), 1080);
  EXPECT_FALSE(P->Enabled());
  P->SetEnabled(true);
  EXPECT_FALSE(P->Enabled());
  P->SetVersion(svSocks4A);
  EXPECT_TRUE(P->Enabled());

  TIdSocksInfo* Q = Proxy(svSocks5, 9050, "bob", "pw");
  TIdSocksInfo* Other = New<TIdSocksInfo>(&FOwner);
  Q->SetChainedProxy(Other);
  P->Assign(*Q);
  EXPECT_EQ(P->Host(), "127.0.0.1");
  EXPECT_EQ(P->Port(), 9050);
  EXPECT_EQ(P->Username(), "bob");
  EXPECT_EQ(P->Password(), "pw");
  EXPECT_EQ(P->Version(), svSocks5);
  EXPECT_EQ(P->Authentication(), saUsernamePassword);
  EXPECT_EQ(P->ChainedProxy(), nullptr);
}

TEST_F(Socks, ChainRunsEachHandshakeInOrderOverOneSocket) {
  TProxyServer Server([&](TRecordingPeer& P) {
    P.Read(FWire, 3);  // first proxy: SOCKS 5 towards the second
    P.Send(std::string("\x05\x00", 2));
    P.Read(FWire, 10);
    P.Send(kSocks5Success);
    P.Read(FWire, 9);  // second proxy: SOCKS 4 towards the target
    P.Send(kSocks4Success + "S");
    P.WaitClosed();
  });
  TIdSocksInfo* First = Proxy(svSocks5, Server.Port());
  TIdSocksInfo* Second = Proxy(svSocks4, 1081);
  Second->SetHost("127.0.0.2");
  First->SetChainedProxy(Second);
  auto IO = HandlerThrough(First, "127.0.0.1", 25575);
  IO->Open();
  EXPECT_EQ(FWire.Bytes(), std::string("\x05\x01\x00", 3) +
                               std::string("\x05\x01\x00\x01\x7F\x00\x00\x02\x04\x39", 10) +
                               std::string("\x04\x01\x63\xE7\x7F\x00\x00\x01\x00", 9));
  TIdBytes First1;
  IO->ReadBytes(First1, 1, false);
  EXPECT_EQ(S(First1), "S");
  IO->Close();
  EXPECT_FALSE(Server.Failed());
}

TEST_F(Socks, CircularChainsAreRefusedAndDestroyedLinksDropped) {
  TIdSocksInfo* A = New<TIdSocksInfo>(&FOwner);
  TIdSocksInfo* Bp = New<TIdSocksInfo>(&FOwner);
  A->SetChainedProxy(Bp);
  EXPECT_EQ(Failure([&] { Bp->SetChainedProxy(A); }),
            std::make_pair(std::string("EIdTransparentProxyCircularLink"),
                           std::string("TIdSocksInfo: Circular links are not allowed")));
  EXPECT_EQ(Bp->ChainedProxy(), nullptr);
  EXPECT_THROW(A->SetChainedProxy(A), EIdTransparentProxyCircularLink);
  delete Bp;
  EXPECT_EQ(A->ChainedProxy(), nullptr);
}

TEST_F(Socks, BindListenAndUdpAreRefused) {
  TIdSocksInfo* P = New<TIdSocksInfo>(&FOwner);
  TIdBytes Buffer;
  std::string Ip;
  TIdPort Port;
  TIdIPVersion Version;
  for (const TSocksVersion V : {svSocks4, svSocks4A}) {
    P->SetVersion(V);
    EXPECT_EQ(Failure([&] { P->OpenUDP(nullptr); }),
              std::make_pair(std::string("EIdSocksUDPNotSupportedBySOCKSVersion"),
                             std::string("UDP is not support in this SOCKS version.")));
    EXPECT_THROW(P->RecvFromUDP(nullptr, Buffer, Ip, Port, Version, 0),
                 EIdSocksUDPNotSupportedBySOCKSVersion);
  }
  P->SetVersion(svSocks5);
  EXPECT_EQ(Failure([&] { P->SendToUDP(nullptr, "h", 1, Id_IPv4, Buffer); }),
            std::make_pair(std::string("EIdTransparentProxyUDPNotSupported"),
                           std::string("UDP Not supported by this proxy.")));
  EXPECT_THROW(P->CloseUDP(nullptr), EIdTransparentProxyUDPNotSupported);
  EXPECT_EQ(Failure([&] { P->Bind(nullptr, 0); }),
            std::make_pair(std::string("EIdTransparentProxyCantBind"),
                           std::string("Transparent proxy cannot bind.")));
  EXPECT_THROW(P->Listen(nullptr, 0), EIdTransparentProxyCantBind);
}

}  // namespace
