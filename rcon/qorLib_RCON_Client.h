#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "base/qorBase_Classes.h"
#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/Types.h"
#include "rcon/qorRCON_AnswerAssembler.h"
#include "rcon/qorRCON_StreamDecoder.h"
#include "tcp_client/qorTCP_Client.h"

class TEncoding;

// One packet of the Source-style RCON protocol: size, request ID, type (32-bit little
// endian), body, two NUL bytes.
class TqorRCON_Packet {
 public:
  // The wire bytes: the body goes out as US-ASCII, '?' for anything outside it.
  TBytes WriteBytes() const;
  // The wire bytes with the body in aEncoding (the component sends UTF-8).
  TBytes WriteBytes(const TEncoding& aEncoding) const;
  // Decodes one packet at aOffset and moves aOffset past it. Short input never throws and
  // is never read past: a header field that is not there reads as 0 without moving.
  void ReadBytes(const TBytes& aBytes, int32_t& aOffset);

  const std::string& Body() const { return FBody; }
  void SetBody(const std::string& aValue) { FBody = aValue; }
  int32_t ID() const { return FID; }
  void SetID(int32_t aValue) { FID = aValue; }
  int32_t PacketSize() const { return FPacketSize; }
  int32_t PacketType() const { return FPacketType; }
  void SetPacketType(int32_t aValue) { FPacketType = aValue; }
  char EmptyString() const { return '\0'; }

 private:
  std::string FBody;
  int32_t FID = 0;
  int32_t FPacketSize = 0;
  int32_t FPacketType = 0;
};

class TqorRCON_Options : public TPersistent {
 public:
  void Assign(const TPersistent& aSource) override;
  const char* ClassName() const override { return "TqorRCON_Options"; }

  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& aValue) { FHost = aValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& aValue) { FPassword = aValue; }
  int32_t Port() const { return FPort; }
  void SetPort(int32_t aValue) { FPort = aValue; }

 private:
  std::string FHost;
  std::string FPassword;
  int32_t FPort = 0;
};

// A size field outside 10 .. TqorLib_RCON_Client::MaxPacketSize: the byte stream cannot be
// trusted any more.
QOR_DECLARE_EXCEPTION(EqorRCONProtocolError, Exception);

using TqorRCONNotifyEvent = std::function<void(TComponent* Sender)>;
using TqorRCONAuthenticateEvent =
    std::function<void(TComponent* Sender, bool Authenticated, const TqorRCON_Packet& aPacket)>;
using TqorRCONResponseEvent = std::function<void(TComponent* Sender, const std::string& aResponse,
                                                 const TqorRCON_Packet& aPacket)>;
using TqorRCONExceptionEvent = std::function<void(TComponent* Sender, Exception& E)>;
// A whole answer: the bodies of every packet of one command joined. aCommand is empty for a
// packet nobody asked for.
using TqorRCONResponseCompleteEvent = std::function<void(
    TComponent* Sender, int32_t aID, const std::string& aCommand, const std::string& aResponse)>;
// A command without any answer packet for ResponseOverdueMs.
using TqorRCONResponseOverdueEvent =
    std::function<void(TComponent* Sender, int32_t aID, const std::string& aCommand)>;

// RCON protocol over an owned TCP client: authenticates as soon as the connection stands,
// sends commands, decodes answers into events (Sender is always this component).
class TqorLib_RCON_Client : public TqorComponent_Base {
 public:
  // Largest size field accepted from a server. Real servers stay far below (4 KiB packets,
  // some newer games a few tens of KiB); a larger value means the stream is out of step.
  static constexpr int32_t MaxPacketSize = 1024 * 1024;
  // A server that does not answer at all (a wrong address, a firewall that drops) would hold
  // the console for minutes of the system's own connect retries.
  static constexpr int32_t DefaultConnectTimeout = 10000;

  explicit TqorLib_RCON_Client(TComponent* AOwner);
  ~TqorLib_RCON_Client() override;
  const char* ClassName() const override { return "TqorLib_RCON_Client"; }
  // Any thread may ask (a neNoSync handler on the reading thread).
  bool IsDestroying() const override { return FDestroying; }

  TqorRCON_Options* RCON_Options() const { return FRCON_Options.get(); }
  void SetRCON_Options(const TqorRCON_Options* aValue) { FRCON_Options->Assign(*aValue); }
  TwsNotifyEvent NotifyEvents();
  void SetNotifyEvents(TwsNotifyEvent aValue);
  bool Active();
  void SetActive(bool aValue);
  // The TCP client the connection runs on: its proxy, TLS, traffic log and throttle settings.
  TqorTCPCLient* TCPClient() { return GetTCPClient(); }
  // Milliseconds an activation waits for the server to accept; 0 or less: no own limit.
  int32_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int32_t aValue) { FConnectTimeout = aValue; }
  // Active := True returns at once and the whole connect runs on the reading thread, cancelled
  // by Active := False (TqorTCPCLient::ConnectInBackground). Off by default.
  bool ConnectInBackground() { return GetTCPClient()->ConnectInBackground(); }
  void SetConnectInBackground(bool aValue) { GetTCPClient()->SetConnectInBackground(aValue); }

  // Sends aValue (UTF-8) as a command packet, followed by a fence when SendFences is set;
  // without a connection it is dropped silently. The command is registered for its answer
  // before it goes out, and withdrawn when the send fails.
  void ExecCommand(const std::string& aValue);
  // Whether each command is followed by an empty type-0 packet whose reply marks the end of
  // the command's answer (see TqorRCON_AnswerAssembler). Off: the wire carries only commands.
  bool SendFences() const { return FSendFences; }
  void SetSendFences(bool aValue) { FSendFences = aValue; }
  // Ends answers whose quiet period has passed and reports overdue commands; the owner calls
  // it now and then (the console every 50 ms) while OpenResponses() is above 0.
  void CheckResponses();
  size_t OpenResponses() const;
  // How long a command may go without any answer packet before OnResponseOverdue: 10000 ms.
  uint32_t ResponseOverdueMs() const;
  void SetResponseOverdueMs(uint32_t aValue);

  const TqorRCONAuthenticateEvent& OnAuthenticate() const { return FOnAuthenticate; }
  void SetOnAuthenticate(TqorRCONAuthenticateEvent aValue) { FOnAuthenticate = std::move(aValue); }
  const TqorRCONNotifyEvent& OnConnect() const { return FOnConnect; }
  void SetOnConnect(TqorRCONNotifyEvent aValue) { FOnConnect = std::move(aValue); }
  const TqorRCONNotifyEvent& OnDisconnect() const { return FOnDisconnect; }
  void SetOnDisconnect(TqorRCONNotifyEvent aValue) { FOnDisconnect = std::move(aValue); }
  const TqorRCONExceptionEvent& OnException() const { return FOnException; }
  void SetOnException(TqorRCONExceptionEvent aValue) { FOnException = std::move(aValue); }
  const TqorRCONResponseEvent& OnResponse() const { return FOnResponse; }
  void SetOnResponse(TqorRCONResponseEvent aValue) { FOnResponse = std::move(aValue); }
  const TqorRCONResponseCompleteEvent& OnResponseComplete() const { return FOnResponseComplete; }
  void SetOnResponseComplete(TqorRCONResponseCompleteEvent aValue) {
    FOnResponseComplete = std::move(aValue);
  }
  const TqorRCONResponseOverdueEvent& OnResponseOverdue() const { return FOnResponseOverdue; }
  void SetOnResponseOverdue(TqorRCONResponseOverdueEvent aValue) {
    FOnResponseOverdue = std::move(aValue);
  }

 protected:
  virtual void OnClientConnectEvent(TqorTCPConnection* Connection);
  virtual void OnClientDisconnectEvent(TqorTCPConnection* Connection);
  virtual void OnClientBinaryEvent(TqorTCPConnection* Connection, TMemoryStream& Data);
  virtual void OnClientExceptionEvent(TqorTCPConnection* Connection, Exception& E);
  virtual void DoWritePacket(int32_t aPacketType, const std::string& aBody);
  virtual void DoAuthenticate();

  TqorTCPCLient* GetTCPClient();
  int32_t NextRequestID();
  // Stops the TCP client's reading thread and delivery: no event from here on, and no thread
  // calls this component's virtual operations any more. The most derived destructor calls it
  // first; later calls do nothing.
  void Shutdown();

 private:
  // Every event goes through here: once destruction has begun, none is raised.
  template <class THandler, class... TArgs>
  void Raise(const THandler& aHandler, TArgs&&... aArgs) {
    if (aHandler && !IsDestroying()) aHandler(std::forward<TArgs>(aArgs)...);
  }
  void RaisePacketEvent(const TqorRCON_Packet& aPacket);
  void RaiseAnswers(const std::vector<TqorRCON_AnswerAssembler::TAnswer>& aAnswers);
  // Whether the connection counted aConnection in FConnectionEvents still stands.
  bool Stands(uint64_t aConnection) const;

  std::unique_ptr<TqorRCON_Options> FRCON_Options;
  // Guards FBuffer, FAnswers, FID and FConnectionEvents: with neNoSync the reading thread
  // decodes while the caller's thread sends. Never held while a handler runs.
  mutable std::mutex FLock;
  // Held from a command's registration to the end of its send, so that the ID registered is
  // the one the packet gets. Never taken under FLock.
  std::recursive_mutex FSendLock;
  std::atomic<bool> FDestroying{false};
  // The receive buffer: bytes of a packet not yet whole.
  TqorRCON_StreamDecoder FBuffer{MaxPacketSize};
  std::unique_ptr<TqorTCPCLient> FTCPClient;
  int32_t FID = 0;
  // Counts connects and disconnects (odd while connected): a chunk whose connection ended
  // while its packets were being raised (a handler deactivated) raises nothing more.
  uint64_t FConnectionEvents = 0;
  int32_t FConnectTimeout = DefaultConnectTimeout;
  TqorRCONAuthenticateEvent FOnAuthenticate;
  TqorRCONNotifyEvent FOnConnect;
  TqorRCONNotifyEvent FOnDisconnect;
  TqorRCONExceptionEvent FOnException;
  TqorRCONResponseEvent FOnResponse;
  TqorRCONResponseCompleteEvent FOnResponseComplete;
  TqorRCONResponseOverdueEvent FOnResponseOverdue;
  TqorRCON_AnswerAssembler FAnswers;
  bool FSendFences = false;
};

// The component as a window stores it. Active is deliberately not among the stored
// settings, so that loading a window never connects.
class TqorLib_RCON : public TqorLib_RCON_Client {
 public:
  using TqorLib_RCON_Client::TqorLib_RCON_Client;
  ~TqorLib_RCON() override { Shutdown(); }
  const char* ClassName() const override { return "TqorLib_RCON"; }
};
