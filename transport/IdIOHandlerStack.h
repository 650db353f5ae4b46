#pragma once
#include "transport/IdIOHandlerSocket.h"

// Plain TCP over the socket stack; the default I/O handler class.
class TIdIOHandlerStack : public TIdIOHandlerSocket {
 public:
  static const TIdIOHandlerClass IdClass;

 protected:
  explicit TIdIOHandlerStack(TComponent* AOwner = nullptr) : TIdIOHandlerSocket(AOwner) {}

 public:
  const char* ClassName() const override { return "TIdIOHandlerStack"; }
  const TIdIOHandlerClass* ClassType() const override { return &IdClass; }

  // One receive of up to the buffer's length; 0 when the peer has closed. Failures raise.
  int ReadFromTransport(TIdBytes& VBuffer) override;
  // One send; the count accepted. Failures raise.
  int WriteToTransport(const TIdBytes& ABuffer, int AOffset, int ALength) override;
  bool Readable(int AMSec = IdTimeoutDefault) override;
  // Polls without waiting first, so it can append bytes and notice a close by the peer.
  bool Connected() override;
  // After a close by the peer: releases the socket and reports hsDisconnected; raises
  // EIdConnClosedGracefully when asked and (AIgnoreBuffer or nothing is buffered).
  void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true,
                          bool AIgnoreBuffer = false) override;

 protected:
  // Resolves, connects on the calling thread (bounded by ConnectTimeout when it is set: at
  // its end the handler is closed and EIdConnectTimeout raised), then runs an enabled
  // transparent proxy's handshake.
  void ConnectToPeer() override;
};
