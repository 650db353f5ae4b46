#pragma once
#include <string>

#include "transport/IdCustomTransparentProxy.h"

constexpr const char* RSSocksRequestFailed = "Request rejected or failed.";
constexpr const char* RSSocksRequestServerFailed =
    "Request rejected because SOCKS server cannot connect.";
constexpr const char* RSSocksRequestIdentFailed =
    "Request rejected because the client program and identd report different user-ids.";
constexpr const char* RSSocksUnknownError = "Unknown socks error.";
constexpr const char* RSSocksServerRespondError = "Socks server did not respond.";
constexpr const char* RSSocksAuthMethodError = "Invalid socks authentication method.";
constexpr const char* RSSocksAuthError = "Authentication error to socks server.";
constexpr const char* RSSocksServerGeneralError = "General SOCKS server failure.";
constexpr const char* RSSocksServerPermissionError = "Connection not allowed by ruleset.";
constexpr const char* RSSocksServerNetUnreachableError = "Network unreachable.";
constexpr const char* RSSocksServerHostUnreachableError = "Host unreachable.";
constexpr const char* RSSocksServerConnectionRefusedError = "Connection refused.";
constexpr const char* RSSocksServerTTLExpiredError = "TTL expired.";
constexpr const char* RSSocksServerCommandError = "Command not supported.";
constexpr const char* RSSocksServerAddressError = "Address type not supported.";
constexpr const char* RSSocksUDPNotSupportedBySOCKSVersion =
    "UDP is not support in this SOCKS version.";

QOR_DECLARE_EXCEPTION(EIdSocksError, EIdException);
QOR_DECLARE_EXCEPTION(EIdSocksRequestFailed, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksRequestServerFailed, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksRequestIdentFailed, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksUnknownError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerRespondError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksAuthMethodError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksAuthError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerGeneralError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerPermissionError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerNetUnreachableError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerHostUnreachableError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerConnectionRefusedError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerTTLExpiredError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerCommandError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksServerAddressError, EIdSocksError);
QOR_DECLARE_EXCEPTION(EIdSocksUDPNotSupportedBySOCKSVersion, EIdException);

enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };
enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };

// SOCKS 4, 4A and 5 CONNECT through a proxy. Configuration only: every Connect runs a
// whole handshake on the handler it is given.
class TIdSocksInfo : public TIdCustomTransparentProxy {
 protected:
  explicit TIdSocksInfo(TComponent* AOwner = nullptr) : TIdCustomTransparentProxy(AOwner) {}
  void InitComponentDefaults() override;

 public:
  const char* ClassName() const override { return "TIdSocksInfo"; }
  // From any transparent proxy the common settings; from another TIdSocksInfo also
  // Authentication and Version.
  void Assign(const TPersistent& ASource) override;
  TIdCustomTransparentProxy* CreateOfSameClass(TComponent* AOwner) const override;

  // The version decides; writing Enabled changes nothing.
  bool Enabled() const override { return FVersion != svNoSocks; }

  // No UDP association is built: SOCKS 4/4A refuse UDP by version, SOCKS 5 as any proxy
  // without UDP does.
  void OpenUDP(TIdSocketHandle* AHandle, const std::string& AHost = "", TIdPort APort = 0,
               TIdIPVersion AIPVersion = Id_IPv4) override;
  void CloseUDP(TIdSocketHandle* AHandle) override;
  int RecvFromUDP(TIdSocketHandle* AHandle, TIdBytes& ABuffer, std::string& VPeerIP,
                  TIdPort& VPeerPort, TIdIPVersion& VIPVersion, int ATimeOut) override;
  void SendToUDP(TIdSocketHandle* AHandle, const std::string& AHost, TIdPort APort,
                 TIdIPVersion AIPVersion, const TIdBytes& ABuffer) override;

  TSocksAuthentication Authentication() const { return FAuthentication; }
  void SetAuthentication(TSocksAuthentication AValue) { FAuthentication = AValue; }
  TSocksVersion Version() const { return FVersion; }
  void SetVersion(TSocksVersion AValue) { FVersion = AValue; }

  // The SOCKS 5 request for ACommand (1 CONNECT, 2 BIND, 3 UDP ASSOCIATE): an IPv4 or IPv6
  // literal goes as its address, anything else as a name for the proxy to resolve.
  TIdBytes BuildSocks5Request(const std::string& AHost, TIdPort APort, uint8_t ACommand) const;

 protected:
  void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
                  TIdIPVersion AIPVersion) override;
  void SendSocks4Request(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
                         uint8_t ACommand);
  void OpenSocks4Tunnel(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort);
  void NegotiateSocks5Method(TIdIOHandler* AIOHandler);
  void OpenSocks5Tunnel(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort);

 private:
  void CheckUDPVersion() const;
  // A reply part; whatever goes wrong, the proxy did not give a usable answer.
  static void ReadSocks5Reply(TIdIOHandler* AIOHandler, TIdBytes& VBuffer, int ACount);

  TSocksAuthentication FAuthentication = saNoAuthentication;
  TSocksVersion FVersion = svNoSocks;
};
