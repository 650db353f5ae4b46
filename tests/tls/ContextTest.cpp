// Options, context preparation and the certificate loaders against the real library.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/TLSPeers.h"
#include "tls/IdSSLOpenSSL.h"

namespace {

const TCertificates& Certs() {
  return TCertificates::Get();
}

// A prepared client context whose password callback answers APassword.
class TContextOwner : public TComponent, public IIdSSLOpenSSLCallbackHelper {
 public:
  explicit TContextOwner(std::string APassword = {})
      : TComponent(nullptr), FPassword(std::move(APassword)) {
    Context.Parent = this;
    Context.Mode = sslmClient;
    Context.SSLVersions = SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3);
    Context.Method = sslvSSLv23;
  }
  std::string QueryPassword(bool) override {
    ++Queries;
    return FPassword;
  }
  void ReportStatus(PSSL, int, int, const std::string&) override {}
  bool CheckPeer(TIdX509*, bool AOk, int, int) override { return AOk; }
  TIdSSLIOHandlerSocketOpenSSL* OwnerHandler() override { return nullptr; }

  TIdSSLContext Context;
  int Queries = 0;

 private:
  std::string FPassword;
};

template <class E>
std::string PrepareFailure(TIdSSLContext& AContext) {
  try {
    AContext.PrepareContext(sslCtxClient);
  } catch (const E& Ex) {
    return Ex.Message();
  } catch (const std::exception& Ex) {
    return std::string("other exception: ") + ExceptionClassName(Ex) + ": " + Ex.what();
  }
  return "no exception";
}

bool StartsWith(const std::string& AText, const std::string& APrefix) {
  return AText.compare(0, APrefix.size(), APrefix) == 0;
}

}  // namespace

TEST(TLSOptions, MethodAndVersionsFollowEachOther) {
  TIdSSLOptions O;
  EXPECT_EQ(O.Method(), sslvTLSv1);
  EXPECT_EQ(O.SSLVersions(), SSLVersionBit(sslvTLSv1));
  O.SetMethod(sslvSSLv23);
  EXPECT_EQ(O.SSLVersions(), 125);
  O.SetMethod(sslvTLSv1_2);
  EXPECT_EQ(O.SSLVersions(), SSLVersionBit(sslvTLSv1_2));
  O.SetSSLVersions(SSLVersionBit(sslvSSLv23));
  EXPECT_EQ(O.Method(), sslvSSLv23);
  EXPECT_EQ(O.SSLVersions(), 125);
  O.SetSSLVersions(SSLVersionBit(sslvTLSv1_1) | SSLVersionBit(sslvTLSv1_2));
  EXPECT_EQ(O.Method(), sslvSSLv23);
  EXPECT_EQ(O.SSLVersions(), SSLVersionBit(sslvTLSv1_1) | SSLVersionBit(sslvTLSv1_2));
  O.SetSSLVersions(SSLVersionBit(sslvTLSv1_3));
  EXPECT_EQ(O.Method(), sslvTLSv1_3);
  O.SetSSLVersions(SSLVersionBit(sslvSSLv23) | SSLVersionBit(sslvTLSv1_2) |
                   SSLVersionBit(sslvTLSv1_3));
  EXPECT_EQ(O.SSLVersions(), SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
}

TEST(TLSOptions, AssignCopiesEverySettingAndRefusesStrangers) {
  TIdSSLOptions A;
  A.SetRootCertFile("r");
  A.SetCertFile("c");
  A.SetKeyFile("k");
  A.SetDHParamsFile("d");
  A.SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
  A.SetMode(sslmClient);
  A.SetVerifyMode(sslvrfPeer | sslvrfClientOnce);
  A.SetVerifyDepth(4);
  A.SetVerifyDirs("/v");
  A.SetCipherList("HIGH");
  TIdSSLOptions_Internal B;
  B.Assign(A);
  EXPECT_EQ(B.RootCertFile(), "r");
  EXPECT_EQ(B.CertFile(), "c");
  EXPECT_EQ(B.KeyFile(), "k");
  EXPECT_EQ(B.DHParamsFile(), "d");
  EXPECT_EQ(B.Method(), sslvSSLv23);
  EXPECT_EQ(B.SSLVersions(), A.SSLVersions());
  EXPECT_EQ(B.Mode(), sslmClient);
  EXPECT_EQ(B.VerifyMode(), sslvrfPeer | sslvrfClientOnce);
  EXPECT_EQ(B.VerifyDepth(), 4);
  EXPECT_EQ(B.VerifyDirs(), "/v");
  EXPECT_EQ(B.CipherList(), "HIGH");
  class TOther : public TPersistent {
   public:
    const char* ClassName() const override { return "TOther"; }
  } LOther;
  EXPECT_THROW(B.Assign(LOther), EConvertError);
}

TEST(TLSContext, ALPNWireListSkipsEmptyEntries) {
  TContextOwner O;
  O.Context.ALPNProtocols().Add("h2");
  O.Context.ALPNProtocols().Add("");
  O.Context.ALPNProtocols().Add("http/1.1");
  const TIdBytes LWire = O.Context.ALPNWireList();
  const TIdBytes LExpected{2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  EXPECT_EQ(LWire, LExpected);
}

TEST(TLSContext, LoadsEveryCertificateAndKeyForm) {
  struct TCase {
    const char* Cert;
    const char* Key;
    const char* Password;
  } LCases[] = {
      {"client.pem", "client.key", ""},        {"client.pem", "client-enc.key", "secret"},
      {"client.p12", "client.p12", "secret"},  {"client-upper.PFX", "client-upper.PFX", "secret"},
      {"client-chain3.pem", "client.key", ""},
  };
  for (const TCase& C : LCases) {
    SCOPED_TRACE(C.Cert + std::string(" / ") + C.Key);
    TContextOwner O(C.Password);
    O.Context.CertFile = Certs().Path(C.Cert);
    O.Context.KeyFile = Certs().Path(C.Key);
    O.Context.RootCertFile = Certs().Path("ca-bundle.pem");
    EXPECT_NO_THROW(O.Context.PrepareContext(sslCtxClient));
    EXPECT_NE(O.Context.Context(), nullptr);
    // A chain's end is found by a failed read: it must not be left for a later error text.
    EXPECT_EQ(GOpenSSL.ERR_peek_error(), 0u);
  }
}

TEST(TLSContext, LoadsDHParameters) {
  const std::string LFile = Certs().Path("dh-ffdhe2048.pem");
  ASSERT_EQ(0, system(("openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out " +
                       LFile + " 2>/dev/null")
                          .c_str()));
  TContextOwner O;
  O.Context.DHParamsFile = LFile;
  O.Context.Mode = sslmServer;
  EXPECT_NO_THROW(O.Context.PrepareContext(sslCtxServer));
}

TEST(TLSContext, PasswordIsCutToTheBufferLessOneByte) {
  TContextOwner O(std::string(127, 'x') + std::string(73, 'y'));
  O.Context.CertFile = Certs().Path("client-long.p12");
  O.Context.KeyFile = Certs().Path("client-long.p12");
  EXPECT_NO_THROW(O.Context.PrepareContext(sslCtxClient));
  EXPECT_GE(O.Queries, 2);
}

TEST(TLSContext, EachLoaderFailureHasItsTextAndTheLibraryCause) {
  {
    TContextOwner O;
    O.Context.KeyFile = Certs().Path("no-such.key");
    const std::string M = PrepareFailure<EIdOSSLLoadingKeyError>(O.Context);
    EXPECT_TRUE(StartsWith(M, "Could not load key, check password.\r\nerror:")) << M;
    EXPECT_NE(M.find("No such file or directory"), std::string::npos) << M;
  }
  {
    TContextOwner O("wrong");
    O.Context.CertFile = Certs().Path("client.pem");
    O.Context.KeyFile = Certs().Path("client-enc.key");
    const std::string M = PrepareFailure<EIdOSSLLoadingKeyError>(O.Context);
    EXPECT_TRUE(StartsWith(M, "Could not load key, check password.\r\n")) << M;
    EXPECT_GE(O.Queries, 1);
  }
  {
    TContextOwner O("wrong");
    O.Context.CertFile = Certs().Path("client.p12");
    const std::string M = PrepareFailure<EIdOSSLLoadingCertError>(O.Context);
    EXPECT_TRUE(StartsWith(M, "Could not load certificate.\r\n")) << M;
  }
  {
    TContextOwner O;
    O.Context.CertFile = Certs().Path("missing.pem");
    EXPECT_TRUE(StartsWith(PrepareFailure<EIdOSSLLoadingCertError>(O.Context),
                           "Could not load certificate.\r\nerror:"));
  }
  {
    TContextOwner O;
    O.Context.RootCertFile = Certs().Path("client.key");  // no certificate in it
    const std::string M = PrepareFailure<EIdOSSLLoadingRootCertError>(O.Context);
    EXPECT_TRUE(StartsWith(M, "Could not load root certificate.\r\nerror:")) << M;
    // The cause pushed by the loader itself reads as the library's own would.
    EXPECT_NE(M.find("PEM lib"), std::string::npos) << M;
    EXPECT_EQ(M.find("reason("), std::string::npos) << M;
  }
  {
    TContextOwner O;
    O.Context.DHParamsFile = Certs().Path("ca.pem");
    const std::string M = PrepareFailure<EIdOSSLLoadingDHParamsError>(O.Context);
    EXPECT_TRUE(StartsWith(M, "Could not load DH Parameters.\r\n")) << M;
    EXPECT_EQ(M.find("reason("), std::string::npos) << M;
  }
  {
    TContextOwner O;
    O.Context.CipherList = "NO-SUCH-CIPHER";
    EXPECT_EQ(PrepareFailure<EIdOSSLSettingCipherError>(O.Context), "SetCipher failed.");
  }
  {
    TContextOwner O;
    O.Context.CertFile = Certs().Path("client.pem");
    O.Context.KeyFile = Certs().Path("server.key");  // not the certificate's key
    EXPECT_TRUE(StartsWith(PrepareFailure<EIdOSSLLoadingKeyError>(O.Context),
                           "Could not load key, check password.\r\n"));
  }
}

// OpenSSL 1.x tools wrote PKCS#12 with RC2, which OpenSSL 3 reads only through its legacy
// provider; the failure must say what failed rather than crash or pass.
TEST(TLSContext, LegacyPKCS12FailsWithAClearError) {
  std::ifstream LFile(Certs().Path("client-legacy.p12"));
  if (!LFile) GTEST_SKIP() << "the openssl command could not write a legacy PKCS#12 file";
  TContextOwner O("secret");
  O.Context.CertFile = Certs().Path("client-legacy.p12");
  const std::string M = PrepareFailure<EIdOSSLLoadingCertError>(O.Context);
  EXPECT_TRUE(StartsWith(M, "Could not load certificate.\r\nerror:")) << M;
}

TEST(TLSContext, CloneCopiesTheSettingsButIsNotPrepared) {
  TContextOwner O;
  O.Context.StatusInfoOn = true;
  O.Context.VerifyMode = sslvrfPeer;
  O.Context.VerifyDepth = 3;
  O.Context.PrepareContext(sslCtxClient);
  O.Context.CertFile = "c";
  std::unique_ptr<TIdSSLContext> LClone = O.Context.Clone();
  EXPECT_TRUE(LClone->StatusInfoOn);
  EXPECT_EQ(LClone->VerifyMode, sslvrfPeer);
  EXPECT_EQ(LClone->VerifyDepth, 3);
  EXPECT_EQ(LClone->CertFile, "c");
  EXPECT_EQ(LClone->Method, sslvSSLv23);
  EXPECT_EQ(LClone->Context(), nullptr);
}
