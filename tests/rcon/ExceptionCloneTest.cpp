// An exception caught on one thread reaches a handler on another as its Clone: the copy must be
// of the same class, with the same message and fields. Every exception class of the source tree
// is checked; a class added without an entry in the table below fails the test, so a Clone
// cannot be forgotten unnoticed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>

#include "platform/FileStream.h"
#include "platform/Stream.h"
#include "proxy/IdConnectThroughHttpProxy.h"
#include "proxy/IdSocksInfo.h"
#include "rcon/qorLib_RCON_Client.h"
#include "tcp_client/qorTCP_Classes.h"
#include "tls/IdSSLOpenSSL.h"
#include "transport/IdCustomTransparentProxy.h"
#include "transport/IdException.h"

namespace {

using TMaker = std::function<std::exception_ptr()>;

template <class E, class... Args>
std::pair<std::string, TMaker> Sample(const char* AName, Args... AArgs) {
  return {AName, [=] { return std::make_exception_ptr(E(AArgs...)); }};
}
#define SAMPLE(E, ...) Sample<E>(#E, __VA_ARGS__)

// A sample of every class, its fields away from their defaults.
const std::map<std::string, TMaker>& Samples() {
  static const std::map<std::string, TMaker> LSamples = {
      SAMPLE(Exception, "m"),
      SAMPLE(EConvertError, "m"),
      SAMPLE(EListError, "m"),
      SAMPLE(EArgumentException, "m"),
      SAMPLE(EOSError, "m"),
      SAMPLE(EStreamError, "m"),
      SAMPLE(EReadError, "m"),
      SAMPLE(EWriteError, "m"),
      SAMPLE(EFOpenError, "m"),
      SAMPLE(EFCreateError, "m"),
      SAMPLE(EIdException, "m"),
      SAMPLE(EIdThreadException, "m"),
      SAMPLE(EIdThreadTerminateAndWaitFor, "m"),
      SAMPLE(EIdSilentException, "m"),
      SAMPLE(EIdConnClosedGracefully, "m"),
      SAMPLE(EIdConnectCancelled, "m"),
      SAMPLE(EIdSocketHandleError, "m"),
      SAMPLE(EIdPackageSizeTooBig, "m"),
      SAMPLE(EIdNotAllBytesSent, "m"),
      SAMPLE(EIdCouldNotBindSocket, "m"),
      SAMPLE(EIdCanNotBindPortInRange, "m"),
      SAMPLE(EIdInvalidPortRange, "m"),
      SAMPLE(EIdCannotSetIPVersionWhenConnected, "m"),
      SAMPLE(EIdAlreadyConnected, "m"),
      SAMPLE(EIdClosedSocket, "m"),
      SAMPLE(EIdReadTimeout, "m"),
      SAMPLE(EIdReadLnMaxLineLengthExceeded, "m"),
      SAMPLE(EIdReadLnWaitMaxAttemptsExceeded, "m"),
      SAMPLE(EIdPortRequired, "m"),
      SAMPLE(EIdHostRequired, "m"),
      SAMPLE(EIdTCPConnectionError, "m"),
      SAMPLE(EIdObjectTypeNotSupported, "m"),
      SAMPLE(EIdNoDataToRead, "m"),
      SAMPLE(EIdFileNotFound, "m"),
      SAMPLE(EIdNotConnected, "m"),
      SAMPLE(EIdConnectTimeout, "m"),
      SAMPLE(EIdConnectException, "m"),
      SAMPLE(EIdMaxCaptureLineExceeded, "m"),
      SAMPLE(EIdInterceptCircularLink, "m"),
      SAMPLE(EIdIOHandler, "m"),
      SAMPLE(EIdIOHandlerRequiresLargeStream, "m"),
      SAMPLE(EIdIOHandlerStreamDataTooLarge, "m"),
      SAMPLE(EIdNotEnoughDataInBuffer, "m"),
      SAMPLE(EIdTooMuchDataInBuffer, "m"),
      SAMPLE(EIdInvalidIPv6Address, "m"),
      SAMPLE(EIdSocketError, 10054, "m"),
      SAMPLE(EIdNotASocket, 10038, "m"),
      SAMPLE(EIdStackError, "m"),
      SAMPLE(EIdIPVersionUnsupported, "m"),
      SAMPLE(EIdStackSetSizeExceeded, "m"),
      SAMPLE(EIdStackInitializationFailed, "m"),
      SAMPLE(EIdInvalidServiceName, "m"),
      SAMPLE(EIdWinsockStubError, 126, std::string("not found"), std::string("title")),
      SAMPLE(EIdTransparentProxyCantBind, "m"),
      SAMPLE(EIdTransparentProxyCircularLink, "m"),
      SAMPLE(EIdTransparentProxyUDPNotSupported, "m"),
      SAMPLE(EIdOpenSSLError, "m"),
      SAMPLE(EIdOSSLCouldNotLoadSSLLibrary, "m"),
      SAMPLE(EIdOSSLModeNotSet, "m"),
      SAMPLE(EIdOSSLGetMethodError, "m"),
      SAMPLE(EIdOSSLSettingCipherError, "m"),
      SAMPLE(EIdOSSLCreatingSessionError, "m"),
      SAMPLE(EIdOpenSSLAPICryptoError, "m", 0x0A000086UL),
      SAMPLE(EIdOSSLCreatingContextError, "m", 7UL),
      SAMPLE(EIdOSSLLoadingRootCertError, "m", 7UL),
      SAMPLE(EIdOSSLLoadingCertError, "m", 7UL),
      SAMPLE(EIdOSSLLoadingKeyError, "m", 7UL),
      SAMPLE(EIdOSSLLoadingDHParamsError, "m", 7UL),
      SAMPLE(EIdOSSLUnderlyingCryptoError, "m", 7UL),
      SAMPLE(EIdOpenSSLAPISSLError, "m", 5, -1),
      SAMPLE(EIdOSSLFDSetError, "m", 5, -1),
      SAMPLE(EIdOSSLDataBindingError, "m", 5, -1),
      SAMPLE(EIdOSSLAcceptError, "m", 5, -1),
      SAMPLE(EIdOSSLConnectError, "m", 1, 0),
      SAMPLE(EIdSocksError, "m"),
      SAMPLE(EIdSocksRequestFailed, "m"),
      SAMPLE(EIdSocksRequestServerFailed, "m"),
      SAMPLE(EIdSocksRequestIdentFailed, "m"),
      SAMPLE(EIdSocksUnknownError, "m"),
      SAMPLE(EIdSocksServerRespondError, "m"),
      SAMPLE(EIdSocksAuthMethodError, "m"),
      SAMPLE(EIdSocksAuthError, "m"),
      SAMPLE(EIdSocksServerGeneralError, "m"),
      SAMPLE(EIdSocksServerPermissionError, "m"),
      SAMPLE(EIdSocksServerNetUnreachableError, "m"),
      SAMPLE(EIdSocksServerHostUnreachableError, "m"),
      SAMPLE(EIdSocksServerConnectionRefusedError, "m"),
      SAMPLE(EIdSocksServerTTLExpiredError, "m"),
      SAMPLE(EIdSocksServerCommandError, "m"),
      SAMPLE(EIdSocksServerAddressError, "m"),
      SAMPLE(EIdSocksUDPNotSupportedBySOCKSVersion, "m"),
      SAMPLE(EIdHttpProxyError, "m"),
      SAMPLE(EqorTCPFrameTooLarge, "m"),
      SAMPLE(EqorRCONProtocolError, "m"),
  };
  return LSamples;
}

// Everything an exception carries: class, message and the fields of the classes that have any.
std::string Describe(const Exception& E) {
  std::ostringstream L;
  L << E.ClassName() << " [" << typeid(E).name() << "] " << E.Message();
  if (auto* S = dynamic_cast<const EIdSocketError*>(&E)) L << " LastError=" << S->LastError();
  if (auto* W = dynamic_cast<const EIdWinsockStubError*>(&E))
    L << " Win32Error=" << W->Win32Error() << " " << W->Win32ErrorMessage() << " " << W->Title();
  if (auto* C = dynamic_cast<const EIdOpenSSLAPICryptoError*>(&E))
    L << " ErrorCode=" << C->ErrorCode();
  if (auto* S = dynamic_cast<const EIdOpenSSLAPISSLError*>(&E))
    L << " ErrorCode=" << S->ErrorCode() << " RetCode=" << S->RetCode();
  return L.str();
}

std::string DescribeThrown(const std::exception_ptr& AThrown) {
  try {
    std::rethrow_exception(AThrown);
  } catch (const Exception& E) {
    return Describe(E);
  }
}

// The exception classes the source folders declare.
std::set<std::string> DeclaredClasses() {
  const std::regex LDeclared(
      R"(QOR_DECLARE_EXCEPTION\((E\w+),|class\s+(E\w+|Exception)\s*(?:final\s*)?:\s*public)");
  std::set<std::string> LNames;
  for (const char* LFolder :
       {"platform", "base", "transport", "tls", "proxy", "tcp_client", "rcon"}) {
    for (const auto& LEntry :
         std::filesystem::directory_iterator(std::filesystem::path(SOURCE_DIR) / LFolder)) {
      const std::string LExt = LEntry.path().extension();
      if (LExt != ".h" && LExt != ".cpp") continue;
      std::ifstream LIn(LEntry.path());
      const std::string LText((std::istreambuf_iterator<char>(LIn)), {});
      for (std::sregex_iterator It(LText.begin(), LText.end(), LDeclared), End; It != End; ++It)
        LNames.insert((*It)[1].matched ? (*It)[1].str() : (*It)[2].str());
    }
  }
  return LNames;
}

}  // namespace

TEST(ExceptionClone, EveryClassOfTheTreeHasASample) {
  const std::set<std::string> LDeclared = DeclaredClasses();
  ASSERT_GT(LDeclared.size(), 50u);  // the scan found the tree
  for (const std::string& LName : LDeclared)
    EXPECT_EQ(Samples().count(LName), 1u) << LName << " has no entry in the Clone table";
  for (const auto& [LName, LMake] : Samples())
    EXPECT_EQ(LDeclared.count(LName), 1u) << LName << " is no longer declared";
}

TEST(ExceptionClone, TheCopyKeepsClassMessageAndFields) {
  for (const auto& [LName, LMake] : Samples()) {
    const std::exception_ptr LOriginal = LMake();
    std::exception_ptr LCopy;
    try {
      std::rethrow_exception(LOriginal);
    } catch (const Exception& E) {
      EXPECT_EQ(E.ClassName(), LName);
      LCopy = E.Clone();
    }
    EXPECT_EQ(DescribeThrown(LCopy), DescribeThrown(LOriginal)) << LName;
  }
}
