#pragma once
#include <string>

#include "transport/IdIOHandlerStack.h"

// The host part of a URI ("scheme://user@host:port/path", IPv6 literals in brackets).
std::string HostOfURI(const std::string& AURI);

// Base of the TLS I/O handlers: PassThrough true makes it the plain stack handler; false
// sends every read and write through the TLS layer.
class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
 protected:
  explicit TIdSSLIOHandlerSocketBase(TComponent* AOwner = nullptr) : TIdIOHandlerStack(AOwner) {}

 public:
  const char* ClassName() const override { return "TIdSSLIOHandlerSocketBase"; }

  int ReadFromTransport(TIdBytes& VBuffer) override;
  int WriteToTransport(const TIdBytes& ABuffer, int AOffset, int ALength) override;

  bool PassThrough() const { return FPassThrough; }
  void SetPassThrough(bool AValue) { DoSetPassThrough(AValue); }
  bool IsPeer() const { return FIsPeer; }
  void SetIsPeer(bool AValue) { FIsPeer = AValue; }
  const std::string& URIToCheck() const { return FURIToCheck; }
  void SetURIToCheck(const std::string& AValue) { DoSetURIToCheck(AValue); }

  virtual TIdSSLIOHandlerSocketBase* Clone() = 0;
  virtual void StartSSL() = 0;

 protected:
  virtual int ReceiveEncrypted(TIdBytes& VBuffer) = 0;
  virtual int SendEncrypted(const TIdBytes& ABuffer, int AOffset, int ALength) = 0;
  virtual void DoSetPassThrough(bool AValue) { FPassThrough = AValue; }
  virtual void DoSetURIToCheck(const std::string& AValue) { FURIToCheck = AValue; }
  // The name a client session sends and checks: URIToCheck's host, else Host. Through a proxy
  // the session still runs end to end with the target, so never the proxy's name.
  std::string ServerName() const;
  // The TCP connect and a proxy's handshake run plain; the session starts on top of them.
  void ConnectPlain();
  // StartSSL as the end of the connect: its handshake counts from the connect's own start.
  void StartSSLInConnect();

  // Read by the reading thread while the owner may switch it.
  std::atomic<bool> FPassThrough{true};
  bool FIsPeer = false;
  std::string FURIToCheck;
  // True while the handshake runs as part of the connect: it then counts from the connect's start.
  bool FInConnect = false;
};
