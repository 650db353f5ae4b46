#pragma once
#include <string>

#include "proxy/IdHeaderList.h"
#include "transport/IdCustomTransparentProxy.h"

// The proxy refused the tunnel; the message is its status line without the HTTP version.
QOR_DECLARE_EXCEPTION(EIdHttpProxyError, EIdException);

constexpr const char* RSHttpProxyBadStatusLine = "The HTTP proxy sent no valid status line: \"%s\"";
constexpr const char* RSHttpProxyReplyTooLarge = "The HTTP proxy's reply is too large.";

// Tunnels through an HTTP proxy with CONNECT; Basic credentials only after a 407.
class TIdConnectThroughHttpProxy : public TIdCustomTransparentProxy {
 protected:
  explicit TIdConnectThroughHttpProxy(TComponent* AOwner = nullptr)
      : TIdCustomTransparentProxy(AOwner) {}

 public:
  // A hostile proxy must not keep the client reading: header block and discarded body are
  // capped.
  static constexpr int MaxHeaderBytes = 64 * 1024;
  static constexpr int64_t MaxBodyBytes = 1024 * 1024;
  // Characters of the proxy's reason phrase that a refusal's message carries.
  static constexpr size_t MaxReasonLength = 200;

  const char* ClassName() const override { return "TIdConnectThroughHttpProxy"; }
  // From another HTTP proxy Enabled too, then the common settings.
  void Assign(const TPersistent& ASource) override;
  TIdCustomTransparentProxy* CreateOfSameClass(TComponent* AOwner) const override;

  bool Enabled() const override { return FEnabled; }
  void SetEnabled(bool AValue) override { FEnabled = AValue; }

 protected:
  void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
                  TIdIPVersion AIPVersion) override;
  // One CONNECT exchange; ALogin sends the credentials with it.
  virtual void SendConnectRequest(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
                                  bool ALogin);

 private:
  // Reads one reply's status line and headers into VHeaders, counting them against
  // MaxHeaderBytes in VHeaderBytes; returns the status code.
  static int ReadReplyHead(TIdIOHandler* AIOHandler, std::string& VStatus, TIdHeaderList& VHeaders,
                           int& VHeaderBytes);
  // Closes the handler and opens it again; the new connection's handshake logs in.
  void ReopenWithCredentials(TIdIOHandler* AIOHandler);

  bool FAuthorizationRequired = false;
  bool FEnabled = false;
};
