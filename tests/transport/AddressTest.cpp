// Address text rules, error texts and the errno / resolver code mapping.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "platform/Exception.h"
#include "transport/IdException.h"
#include "transport/IdIPAddress.h"
#include "transport/IdStackBSDBase.h"

namespace {

struct StackUser {
  StackUser() { TIdStack::IncUsage(); }
  ~StackUser() { TIdStack::DecUsage(); }
};

struct TextCase {
  const char* Text;
  bool Valid;
};

class IsIPTest : public ::testing::TestWithParam<TextCase> {};
TEST_P(IsIPTest, Table) {
  EXPECT_EQ(IsIPv4Text(GetParam().Text), GetParam().Valid) << GetParam().Text;
}
INSTANTIATE_TEST_SUITE_P(Rows, IsIPTest,
                         ::testing::Values(TextCase{"10.0.0.1", true},
                                           TextCase{" 10. 0 .0 .1 ", true},
                                           TextCase{"255.255.255.255", true},
                                           TextCase{"1.2.3", false}, TextCase{"1.2.3.4.5", false},
                                           TextCase{"1.2.3.256", false}, TextCase{"1.2.a.4", false},
                                           TextCase{"1.2.3.4.", false}, TextCase{"", false},
                                           TextCase{"1..3.4", false}));

struct CanonicalCase {
  const char* Text;
  const char* Expected;
};
class CanonicalIPv6Test : public ::testing::TestWithParam<CanonicalCase> {};
TEST_P(CanonicalIPv6Test, Table) {
  EXPECT_EQ(CanonicalIPv6(GetParam().Text), GetParam().Expected) << GetParam().Text;
}
INSTANTIATE_TEST_SUITE_P(
    Rows, CanonicalIPv6Test,
    ::testing::Values(
        CanonicalCase{"::1", "0:0:0:0:0:0:0:1"}, CanonicalCase{"fe80::1", "FE80:0:0:0:0:0:0:1"},
        CanonicalCase{"::ffff:1.2.3.4", "0:0:0:0:0:FFFF:0102:0304"},
        CanonicalCase{"::", "0:0:0:0:0:0:0:0"}, CanonicalCase{"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        CanonicalCase{"2001:0db8::00ff", "2001:DB8:0:0:0:0:0:FF"},
        // RFC 4291: "::" stands for one or more zero groups, at either end.
        CanonicalCase{"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        CanonicalCase{"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        CanonicalCase{"1:2:3:4:5:6::8", "1:2:3:4:5:6:0:8"},
        CanonicalCase{"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:0102:0304"},
        CanonicalCase{"::1.2.3.4", "0:0:0:0:0:0:0102:0304"}, CanonicalCase{"1:2:3:4:5:6:7:", ""},
        CanonicalCase{":1:2:3:4:5:6:7", ""}, CanonicalCase{":1::", ""}, CanonicalCase{"::1:", ""},
        CanonicalCase{":::1", ""}, CanonicalCase{"1:::2", ""},
        CanonicalCase{"1:2:3:4:5:6:7:8::", ""}, CanonicalCase{"::1:2:3:4:5:6:7:8", ""},
        CanonicalCase{"1:2:3:4:5:6:7::8", ""}, CanonicalCase{"1.2.3.4::", ""},
        CanonicalCase{"1:2:3:4:5:6:7:1.2.3.4", ""}, CanonicalCase{"::1.2.3", ""},
        CanonicalCase{"1.2.3.4:1::", ""}, CanonicalCase{"::ffff:1.2.3.4:5", ""},
        // A zone is kept; it must name something.
        CanonicalCase{"fe80::1%eth0", "FE80:0:0:0:0:0:0:1%eth0"},
        CanonicalCase{"fe80::1%lo", "FE80:0:0:0:0:0:0:1%lo"},
        CanonicalCase{"fe80::1%2", "FE80:0:0:0:0:0:0:1%2"}, CanonicalCase{"fe80::1%", ""},
        CanonicalCase{"fe80::1%a b", ""}, CanonicalCase{"%lo", ""},
        CanonicalCase{"fe80::1%lo%lo", ""}, CanonicalCase{"1::2::3", ""},
        CanonicalCase{"1.2.3.4", ""}, CanonicalCase{"12345::1", ""}, CanonicalCase{"[::1]", ""},
        CanonicalCase{"1:2:3", ""}, CanonicalCase{"1:2:3:4:5:6:7:8:9", ""},
        CanonicalCase{"::1.2.3.256", ""}, CanonicalCase{"", ""}));

struct IPv4ValueCase {
  const char* Text;
  uint32_t Value;
  bool Err;
};
class ParseIPv4ValueTest : public ::testing::TestWithParam<IPv4ValueCase> {};
TEST_P(ParseIPv4ValueTest, Table) {
  bool LErr = false;
  const uint32_t LValue = ParseIPv4Value(GetParam().Text, LErr);
  EXPECT_EQ(LErr, GetParam().Err) << GetParam().Text;
  if (!GetParam().Err) {
    EXPECT_EQ(LValue, GetParam().Value) << GetParam().Text;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, ParseIPv4ValueTest,
                         ::testing::Values(IPv4ValueCase{"127.0.0.1", 0x7F000001, false},
                                           IPv4ValueCase{"127.1", 0x7F000001, false},
                                           IPv4ValueCase{"0x7f.1", 0x7F000001, false},
                                           IPv4ValueCase{"0177.0.0.01", 0x7F000001, false},
                                           IPv4ValueCase{"2130706433", 0x7F000001, false},
                                           IPv4ValueCase{"10.1.65535", 0x0A01FFFF, false},
                                           IPv4ValueCase{"08.0.0.1", 0x08000001, false},
                                           IPv4ValueCase{"1.2.3.x", 0, true},
                                           IPv4ValueCase{"0xg.1", 0, true},
                                           IPv4ValueCase{"1.2.3.4.5", 0, true},
                                           IPv4ValueCase{"", 0, true}));

TEST(IPAddress, ObjectsAndComparison) {
  auto LV4 = TIdIPAddress::MakeAddressObject("127.1");
  ASSERT_TRUE(LV4);
  EXPECT_EQ(LV4->AddrType(), Id_IPv4);
  EXPECT_EQ(LV4->IPv4AsString(), "127.0.0.1");
  EXPECT_EQ(LV4->HToNBytes(), (TIdBytes{127, 0, 0, 1}));
  auto LV6 = TIdIPAddress::MakeAddressObject("::1");
  ASSERT_TRUE(LV6);
  EXPECT_EQ(LV6->IPv6AsString(), "0000:0000:0000:0000:0000:0000:0000:0001");
  EXPECT_EQ(LV6->IPv4AsString(), "");
  EXPECT_FALSE(TIdIPAddress::MakeAddressObject("not an address"));
  bool LErr;
  EXPECT_EQ(LV4->CompareAddress("127.0.0.2", LErr), -1);
  EXPECT_FALSE(LErr);
  EXPECT_EQ(LV4->CompareAddress("126.255.255.255", LErr), 1);
  EXPECT_EQ(LV4->CompareAddress("127.0.0.1", LErr), 0);
  EXPECT_EQ(LV4->CompareAddress("::1", LErr), 0);
  EXPECT_TRUE(LErr);
}

// Text with a NUL inside is no address, however much of it reads as one.
TEST(AddressText, EmbeddedNulIsRefused) {
  using namespace std::string_literals;
  StackUser LUser;
  const std::string LText = "127.0.0.1\0"s;
  EXPECT_FALSE(IsIPv4Text(LText));
  EXPECT_FALSE(IsIPv4Text("127.0.0.1\0junk"s));
  EXPECT_EQ(IPVersionOfHost(LText, Id_IPv6), Id_IPv6);
  EXPECT_EQ(CanonicalIPv6("::1\0"s), "");
  in_addr LAddr{};
  EXPECT_THROW(
      static_cast<TIdStackBSDBase*>(GStack())->TranslateStringToTInAddr(LText, &LAddr, Id_IPv4),
      EConvertError);
}

TEST(StackErrors, TextsAndClasses) {
  EXPECT_EQ(TIdStack::WSTranslateSocketErrorMsg(10061),
            "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(TIdStack::WSTranslateSocketErrorMsg(11001), "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(TIdStack::WSTranslateSocketErrorMsg(10101), "Socket Error # 10101\r\n");
  try {
    TIdStack::RaiseSocketError(10038);
    FAIL();
  } catch (const EIdNotASocket& E) {
    EXPECT_EQ(E.LastError(), 10038);
  }
  try {
    TIdStack::RaiseSocketError(10054);
    FAIL();
  } catch (const EIdNotASocket&) {
    FAIL() << "only 10038 is EIdNotASocket";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), 10054);
    EXPECT_STREQ(E.ClassName(), "EIdSocketError");
  }
}

struct CodeCase {
  int From;
  int Code;
};
class ErrnoMappingTest : public ::testing::TestWithParam<CodeCase> {};
TEST_P(ErrnoMappingTest, Table) {
  EXPECT_EQ(ErrnoToSocketError(GetParam().From), GetParam().Code);
}
INSTANTIATE_TEST_SUITE_P(Rows, ErrnoMappingTest,
                         ::testing::Values(CodeCase{ECONNREFUSED, 10061},
                                           CodeCase{ECONNRESET, 10054}, CodeCase{ETIMEDOUT, 10060},
                                           CodeCase{EPIPE, 10058}, CodeCase{ENOTSOCK, 10038},
                                           CodeCase{EADDRINUSE, 10048},
                                           CodeCase{EWOULDBLOCK, 10035},
                                           CodeCase{ECONNABORTED, 10053},
                                           CodeCase{EHOSTUNREACH, 10065}, CodeCase{EINTR, 10004}));

class ResolverMappingTest : public ::testing::TestWithParam<CodeCase> {};
TEST_P(ResolverMappingTest, Table) {
  EXPECT_EQ(ResolverErrorToSocketError(GetParam().From), GetParam().Code);
}
INSTANTIATE_TEST_SUITE_P(Rows, ResolverMappingTest,
                         ::testing::Values(CodeCase{EAI_NONAME, 11001}, CodeCase{EAI_AGAIN, 11002},
                                           CodeCase{EAI_FAIL, 11003}, CodeCase{EAI_NODATA, 11004},
                                           CodeCase{EAI_FAMILY, 10047},
                                           CodeCase{EAI_SERVICE, 10109},
                                           CodeCase{EAI_SOCKTYPE, 10044},
                                           CodeCase{EAI_BADFLAGS, 10022}, CodeCase{EAI_MEMORY, 8},
                                           CodeCase{EAI_ADDRFAMILY, 11001},
                                           CodeCase{-12345, -12345}));

TEST(Resolver, UnresolvedNameRaisesHostNotFound) {
  try {
    RaiseResolverError(EAI_NONAME);
    FAIL();
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), 11001);
    EXPECT_EQ(E.Message(), "Socket Error # 11001\r\nHost not found.");
  }
}

TEST(Resolver, LocalhostAndLiteralsNeedNoResolver) {
  StackUser LUser;
  EXPECT_EQ(GStack()->ResolveHost("localhost", Id_IPv4), "127.0.0.1");
  EXPECT_EQ(GStack()->ResolveHost("LocalHost", Id_IPv6), "::1");
  EXPECT_EQ(GStack()->ResolveHost("127.0.0.5", Id_IPv4), "127.0.0.5");
  EXPECT_EQ(GStack()->ResolveHost("::1", Id_IPv6), "0:0:0:0:0:0:0:1");
}

// The loopback address has a name in every hosts file; text that is no address is refused
// before any lookup.
TEST(Resolver, HostByAddressNamesLoopbackAndRefusesNonAddresses) {
  StackUser LUser;
  EXPECT_FALSE(GStack()->HostByAddress("127.0.0.1", Id_IPv4).empty());
  EXPECT_THROW(GStack()->HostByAddress("not an address", Id_IPv4), EIdSocketError);
}

TEST(StackUsage, CountsAndUndefinedClass) {
  const int LBefore = TIdStack::StackUsage();
  {
    StackUser LUser;
    EXPECT_EQ(TIdStack::StackUsage(), LBefore + 1);
    EXPECT_NE(GStack(), nullptr);
  }
  EXPECT_EQ(TIdStack::StackUsage(), LBefore);
  if (LBefore == 0) {
    const auto LClass = TIdStack::StackClass();
    TIdStack::SetStackClass(nullptr);
    EXPECT_THROW(TIdStack::IncUsage(), EIdStackError);
    TIdStack::SetStackClass(LClass);
    EXPECT_EQ(TIdStack::StackUsage(), 0);
  }
}

}  // namespace
