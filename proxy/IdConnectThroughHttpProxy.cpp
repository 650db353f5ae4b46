#include "proxy/IdConnectThroughHttpProxy.h"

#include "platform/Base64.h"
#include "platform/SysUtils.h"
#include "proxy/IdHeaderList.h"
#include "transport/IdIOHandler.h"
#include "transport/IdIPAddress.h"
#include "transport/IdStack.h"

namespace {

// The status line as shown in a message: at most 80 characters, control bytes as '?'.
std::string Printable(std::string ALine) {
  if (ALine.size() > 80) ALine.resize(80);
  for (char& c : ALine) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  }
  return ALine;
}

bool IsDecimal(const std::string& AText) {
  if (AText.empty() || AText.size() > 9) return false;
  for (char c : AText) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

void TIdConnectThroughHttpProxy::Assign(const TPersistent& ASource) {
  if (const auto* LSource = dynamic_cast<const TIdConnectThroughHttpProxy*>(&ASource)) {
    FEnabled = LSource->FEnabled;
  }
  TIdCustomTransparentProxy::Assign(ASource);
}

TIdCustomTransparentProxy* TIdConnectThroughHttpProxy::CreateOfSameClass(TComponent* AOwner) const {
  return New<TIdConnectThroughHttpProxy>(AOwner);
}

void TIdConnectThroughHttpProxy::OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost,
                                            TIdPort APort, TIdIPVersion) {
  SendConnectRequest(AIOHandler, AHost, APort, FAuthorizationRequired);
}

void TIdConnectThroughHttpProxy::SendConnectRequest(TIdIOHandler* AIOHandler,
                                                    const std::string& AHost, TIdPort APort,
                                                    bool ALogin) {
  // An IPv6 literal needs its brackets, or its colons run into the port's.
  const std::string LHost = CanonicalIPv6(AHost).empty() ? AHost : "[" + AHost + "]";
  AIOHandler->WriteLn(Format("CONNECT %s:%d HTTP/1.0", LHost.c_str(), APort));
  if (ALogin) {
    const TIdBytes LCredentials = TEncoding::ANSI().GetBytes(FUsername + ":" + FPassword);
    AIOHandler->WriteLn("Proxy-Authorization: Basic " + EncodeBase64(LCredentials));
  }
  AIOHandler->WriteLn();

  // Nothing that is not an HTTP status line opens a tunnel: an empty line or a foreign
  // server on the proxy's port is a refusal.
  std::string LStatus;
  if (!ReadHandshakeLine(AIOHandler, LStatus, MaxHeaderBytes)) {
    throw EIdHttpProxyError(RSHttpProxyReplyTooLarge);
  }
  const size_t LFirstBlank = LStatus.find(' ');
  const std::string LReason =
      LFirstBlank == std::string::npos ? std::string() : Trim(LStatus.substr(LFirstBlank + 1));
  const std::string LCodeText = LReason.substr(0, LReason.find(' '));
  if (LStatus.compare(0, 5, "HTTP/") != 0 || !IsDecimal(LCodeText)) {
    throw EIdHttpProxyError(Format(RSHttpProxyBadStatusLine, Printable(LStatus).c_str()));
  }
  const int LCode = StrToInt(LCodeText);

  TIdHeaderList LHeaders(QuoteHTTP);
  int LHeaderBytes = static_cast<int>(LStatus.size());
  for (;;) {
    std::string LLine;
    if (!ReadHandshakeLine(AIOHandler, LLine, MaxHeaderBytes - LHeaderBytes)) {
      throw EIdHttpProxyError(RSHttpProxyReplyTooLarge);
    }
    if (LLine.empty()) break;
    LHeaderBytes += static_cast<int>(LLine.size()) + 2;
    LHeaders.Add(LLine);
  }
  const std::string LLengthText = Trim(LHeaders.GetValue("Content-Length"));
  const int64_t LLength = IsDecimal(LLengthText) ? std::stoll(LLengthText) : -1;
  if (LLength > MaxBodyBytes || LLengthText.size() > 9) {
    throw EIdHttpProxyError(RSHttpProxyReplyTooLarge);
  }
  if (LLength > 0) DiscardHandshakeBytes(AIOHandler, LLength);

  if (LCode == 200) return;
  if (LCode == 407 && !ALogin && (!FUsername.empty() || !FPassword.empty())) {
    if (SameText(LHeaders.GetValue("Proxy-Connection"), "close") ||
        SameText(LHeaders.GetValue("Connection"), "close")) {
      ReopenWithCredentials(AIOHandler);
      return;
    }
    // Some proxies close after a 407 without saying so; then a new connection it is.
    try {
      SendConnectRequest(AIOHandler, AHost, APort, true);
    } catch (const EIdConnClosedGracefully&) {
      ReopenWithCredentials(AIOHandler);
    } catch (const EIdSocketError&) {
      ReopenWithCredentials(AIOHandler);
    }
    return;
  }
  throw EIdHttpProxyError(LReason);
}

void TIdConnectThroughHttpProxy::ReopenWithCredentials(TIdIOHandler* AIOHandler) {
  AIOHandler->Close();
  FAuthorizationRequired = true;
  try {
    AIOHandler->Open();
  } catch (...) {
    FAuthorizationRequired = false;
    throw;
  }
  FAuthorizationRequired = false;
}
