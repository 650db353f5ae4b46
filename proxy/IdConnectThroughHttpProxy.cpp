#include "proxy/IdConnectThroughHttpProxy.h"

#include <algorithm>

#include "platform/Base64.h"
#include "platform/SysUtils.h"
#include "transport/IdIOHandler.h"
#include "transport/IdIPAddress.h"
#include "transport/IdStack.h"

namespace {

// The proxy's own text as a message may carry it: control characters (C0, DEL, C1) and
// broken UTF-8 become '?', and at most AMax characters are kept.
std::string Printable(const std::string& AText, size_t AMax) {
  std::string LOut;
  size_t i = 0;
  for (size_t LChars = 0; i < AText.size() && LChars < AMax; ++LChars) {
    const auto c = static_cast<uint8_t>(AText[i]);
    const size_t n = c < 0x80    ? 1
                     : c >= 0xF8 ? 0
                     : c >= 0xF0 ? 4
                     : c >= 0xE0 ? 3
                     : c >= 0xC0 ? 2
                                 : 0;
    bool LValid = n > 0 && i + n <= AText.size();
    for (size_t k = 1; LValid && k < n; ++k) {
      LValid = (static_cast<uint8_t>(AText[i + k]) & 0xC0) == 0x80;
    }
    const bool LControl =
        c < 0x20 || c == 0x7F || (LValid && c == 0xC2 && static_cast<uint8_t>(AText[i + 1]) < 0xA0);
    if (LValid && !LControl) {
      LOut.append(AText, i, n);
    } else {
      LOut += '?';
    }
    i += LValid ? n : 1;
  }
  return LOut;
}

bool IsDecimal(const std::string& AText) {
  if (AText.empty() || AText.size() > 9) return false;
  for (char c : AText) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The body length a Content-Length value gives, capped just above ACap; -1 when the value is
// not a plain number.
int64_t BodyLength(const std::string& AValue, int64_t ACap) {
  if (AValue.empty()) return -1;
  int64_t LLength = 0;
  for (char c : AValue) {
    if (c < '0' || c > '9') return -1;
    LLength = std::min<int64_t>(LLength * 10 + (c - '0'), ACap + 1);
  }
  return LLength;
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
    // UTF-8, the charset RFC 7617 lets a proxy announce and what proxies compare in practice.
    const TIdBytes LCredentials = TEncoding::UTF8().GetBytes(FUsername + ":" + FPassword);
    AIOHandler->WriteLn("Proxy-Authorization: Basic " + EncodeBase64(LCredentials));
  }
  AIOHandler->WriteLn();

  // Interim 1xx replies come before the final one; one budget bounds all their heads.
  std::string LStatus;
  int LCode;
  TIdHeaderList LHeaders(QuoteHTTP);
  int LHeaderBytes = 0;
  do {
    LHeaders.Clear();
    LCode = ReadReplyHead(AIOHandler, LStatus, LHeaders, LHeaderBytes);
  } while (LCode >= 100 && LCode < 200);
  // The tunnel. A 2xx to CONNECT has no body whatever its headers say (RFC 9110, 9.3.6):
  // every byte after the head is the server's.
  if (LCode >= 200 && LCode < 300) return;

  if (LCode == 407 && !ALogin && (!FUsername.empty() || !FPassword.empty())) {
    // Only a body framed by Content-Length can be skipped to reuse the connection; without
    // one (an HTTP/1.0 body runs until the close) or when it is chunked, the proxy closes.
    const int64_t LLength =
        LHeaders.IndexOfName("Transfer-Encoding") >= 0
            ? -1
            : BodyLength(Trim(LHeaders.GetValue("Content-Length")), MaxBodyBytes);
    if (LLength < 0 || LLength > MaxBodyBytes ||
        SameText(LHeaders.GetValue("Proxy-Connection"), "close") ||
        SameText(LHeaders.GetValue("Connection"), "close")) {
      ReopenWithCredentials(AIOHandler);
      return;
    }
    DiscardHandshakeBytes(AIOHandler, LLength);
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
  // The status line without its version; the reason phrase is the proxy's free text, shown
  // only printable and bounded.
  const std::string LRest = Trim(LStatus.substr(LStatus.find(' ') + 1));
  const size_t LAfterCode = LRest.find(' ');
  std::string LText = LRest.substr(0, LAfterCode);
  if (LAfterCode != std::string::npos) {
    const std::string LReason = Printable(Trim(LRest.substr(LAfterCode + 1)), MaxReasonLength);
    if (!LReason.empty()) LText += " " + LReason;
  }
  throw EIdHttpProxyError(LText);
}

int TIdConnectThroughHttpProxy::ReadReplyHead(TIdIOHandler* AIOHandler, std::string& VStatus,
                                              TIdHeaderList& VHeaders, int& VHeaderBytes) {
  // Nothing that is not an HTTP status line opens a tunnel: an empty line or a foreign
  // server on the proxy's port is a refusal.
  if (!ReadHandshakeLine(AIOHandler, VStatus, MaxHeaderBytes - VHeaderBytes)) {
    throw EIdHttpProxyError(RSHttpProxyReplyTooLarge);
  }
  VHeaderBytes += static_cast<int>(VStatus.size()) + 2;
  const size_t LFirstBlank = VStatus.find(' ');
  const std::string LRest =
      LFirstBlank == std::string::npos ? std::string() : Trim(VStatus.substr(LFirstBlank + 1));
  const std::string LCodeText = LRest.substr(0, LRest.find(' '));
  if (VStatus.compare(0, 5, "HTTP/") != 0 || !IsDecimal(LCodeText)) {
    throw EIdHttpProxyError(Format(RSHttpProxyBadStatusLine, Printable(VStatus, 80).c_str()));
  }
  for (;;) {
    std::string LLine;
    if (!ReadHandshakeLine(AIOHandler, LLine, MaxHeaderBytes - VHeaderBytes)) {
      throw EIdHttpProxyError(RSHttpProxyReplyTooLarge);
    }
    VHeaderBytes += static_cast<int>(LLine.size()) + 2;
    if (LLine.empty()) break;
    VHeaders.Add(LLine);
  }
  return StrToInt(LCodeText);
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
