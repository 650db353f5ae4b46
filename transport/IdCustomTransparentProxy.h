#pragma once
#include <string>

#include "transport/IdComponent.h"
#include "transport/IdException.h"
#include "transport/IdGlobal.h"

class TIdIOHandler;
class TIdSocketHandle;

constexpr const char* RSTransparentProxyCannotBind = "Transparent proxy cannot bind.";
constexpr const char* RSTransparentProxyCanNotSupportUDP = "UDP Not supported by this proxy.";

QOR_DECLARE_EXCEPTION(EIdTransparentProxyCantBind, EIdException);
QOR_DECLARE_EXCEPTION(EIdTransparentProxyCircularLink, EIdException);
QOR_DECLARE_EXCEPTION(EIdTransparentProxyUDPNotSupported, EIdException);

// Base of the proxies through which a freshly connected socket is tunnelled; proxies chain.
class TIdCustomTransparentProxy : public TIdComponent {
 protected:
  explicit TIdCustomTransparentProxy(TComponent* AOwner = nullptr) : TIdComponent(AOwner) {}

 public:
  const char* ClassName() const override { return "TIdCustomTransparentProxy"; }

  // Copies Host, Password, Port, IPVersion and Username (never ChainedProxy).
  void Assign(const TPersistent& ASource) override;
  // A new, unconfigured proxy of this object's own class.
  virtual TIdCustomTransparentProxy* CreateOfSameClass(TComponent* AOwner) const = 0;

  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool /*AValue*/) {}

  // Runs the handshakes over AIOHandler, already connected to this proxy: through each
  // enabled chained proxy in turn, then to AHost:APort.
  void Connect(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
               TIdIPVersion AIPVersion = Id_IPv4);

  virtual void Bind(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
                    TIdIPVersion AIPVersion = Id_IPv4);
  void Bind(TIdIOHandler* AIOHandler, TIdPort APort) { Bind(AIOHandler, "0.0.0.0", APort); }
  virtual bool Listen(TIdIOHandler* AIOHandler, int ATimeOut);
  virtual void OpenUDP(TIdSocketHandle* AHandle, const std::string& AHost = "", TIdPort APort = 0,
                       TIdIPVersion AIPVersion = Id_IPv4);
  virtual void CloseUDP(TIdSocketHandle* AHandle);
  virtual int RecvFromUDP(TIdSocketHandle* AHandle, TIdBytes& ABuffer, std::string& VPeerIP,
                          TIdPort& VPeerPort, TIdIPVersion& VIPVersion, int ATimeOut);
  virtual void SendToUDP(TIdSocketHandle* AHandle, const std::string& AHost, TIdPort APort,
                         TIdIPVersion AIPVersion, const TIdBytes& ABuffer);

  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& AValue) { FHost = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  TIdPort Port() const { return FPort; }
  void SetPort(TIdPort AValue) { FPort = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& AValue) { FUsername = AValue; }
  TIdCustomTransparentProxy* ChainedProxy() const { return FChainedProxy; }
  // Raises EIdTransparentProxyCircularLink, changing nothing, when this proxy is in AValue's
  // chain. Not owned; dropped when it is destroyed.
  void SetChainedProxy(TIdCustomTransparentProxy* AValue);

 protected:
  // The proxy handshake on a connected I/O handler towards AHost:APort.
  virtual void OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
                          TIdIPVersion AIPVersion) = 0;
  void Notification(TComponent* AComponent, TOperation Operation) override;

  // Handshake reads. With a ConnectTimeout on the handler they end at that many ms after its
  // Open (EIdConnectTimeout), so the TCP connect and every handshake share one bound;
  // without one each wait is bounded by ReadTimeout alone.
  static void ReadHandshakeBytes(TIdIOHandler* AIOHandler, TIdBytes& VBuffer, int ACount);
  // One line without its CR LF; false, consuming nothing, once the line passes AMaxLength.
  static bool ReadHandshakeLine(TIdIOHandler* AIOHandler, std::string& VLine, int AMaxLength);
  static void DiscardHandshakeBytes(TIdIOHandler* AIOHandler, int64_t ACount);

  std::string FHost;
  std::string FPassword;
  TIdPort FPort = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  std::string FUsername;
  TIdCustomTransparentProxy* FChainedProxy = nullptr;
};
