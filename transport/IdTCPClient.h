#pragma once
#include <string>

#include "transport/IdTCPConnection.h"

// A connection that connects its handler to Host:Port with the settings below. Every setter
// stores the value and forwards it at once to a present handler.
class TIdTCPClientCustom : public TIdTCPConnection {
 protected:
  explicit TIdTCPClientCustom(TComponent* AOwner = nullptr) : TIdTCPConnection(AOwner) {}

 public:
  const char* ClassName() const override { return "TIdTCPClientCustom"; }

  // Raises on failure after closing the handler (and removing one it made itself); the
  // exception that caused the failure reaches the caller unchanged.
  virtual void Connect();
  void Connect(const std::string& AHost);
  void Connect(const std::string& AHost, TIdPort APort);

  void SetIOHandler(TIdIOHandler* AValue) override;

  const std::string& Host() const { return FHost; }
  virtual void SetHost(const std::string& AValue);
  TIdPort Port() const { return FPort; }
  virtual void SetPort(TIdPort AValue);
  TIdIPVersion IPVersion() const { return FIPVersion; }
  virtual void SetIPVersion(TIdIPVersion AValue);
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int AValue);
  int ReadTimeout() const;
  void SetReadTimeout(int AValue);
  const std::string& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const std::string& AValue);
  TIdPort BoundPort() const { return FBoundPort; }
  void SetBoundPort(TIdPort AValue);
  TIdPort BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(TIdPort AValue);
  TIdPort BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(TIdPort AValue);
  TIdReuseSocket ReuseSocket() const;
  void SetReuseSocket(TIdReuseSocket AValue);
  bool UseNagle() const;
  void SetUseNagle(bool AValue);
  int LingerState() const { return FLingerState; }
  void SetLingerState(int AValue);
  const std::string& Destination() const { return FDestination; }
  void SetDestination(const std::string& AValue) { FDestination = AValue; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& AValue) { FUsername = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }

  void SetOnConnected(TIdNotifyEvent AValue) { FOnConnected = std::move(AValue); }
  void SetOnBeforeBind(TIdNotifyEvent AValue);
  void SetOnAfterBind(TIdNotifyEvent AValue);
  void SetOnSocketAllocated(TIdNotifyEvent AValue);

 protected:
  virtual void FireConnected();
  // An instance of the default handler class, owned by this client.
  virtual TIdIOHandler* CreateDefaultHandler();
  // Copies the socket settings and bind events onto a socket handler.
  void CopySocketSettings();

  std::string FHost;
  TIdPort FPort = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  int FConnectTimeout = 0;
  int FReadTimeout = -1;
  std::string FBoundIP;
  TIdPort FBoundPort = 0;
  TIdPort FBoundPortMin = 0;
  TIdPort FBoundPortMax = 0;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  bool FUseNagle = true;
  int FLingerState = -1;
  std::string FDestination;
  std::string FUsername;
  std::string FPassword;
  TIdNotifyEvent FOnConnected;
  TIdNotifyEvent FOnBeforeBind;
  TIdNotifyEvent FOnAfterBind;
  TIdNotifyEvent FOnSocketAllocated;
};

class TIdTCPClient : public TIdTCPClientCustom {
 protected:
  explicit TIdTCPClient(TComponent* AOwner = nullptr) : TIdTCPClientCustom(AOwner) {}

 public:
  const char* ClassName() const override { return "TIdTCPClient"; }
};
