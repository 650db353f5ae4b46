#include "rcon/qorLib_RCON_Client.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "platform/Encoding.h"
#include "platform/Stream.h"
#include "platform/SysUtils.h"

namespace {

constexpr int32_t kTypeResponseValue = 0;
constexpr int32_t kTypeCommand = 2;
constexpr int32_t kTypeAuthResponse = 2;
constexpr int32_t kTypeAuth = 3;
constexpr int32_t kHeaderAndTerminators = 10;  // ID, type, two NULs

void PutInt32(TBytes& aOut, int32_t aValue) {
  auto u = static_cast<uint32_t>(aValue);
  for (int i = 0; i < 4; ++i) aOut.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

int32_t GetInt32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                              uint32_t(p[3]) << 24);
}

// Bytes left from aOffset to the end; none for an offset outside the array.
size_t Remaining(const TBytes& aBytes, int32_t aOffset) {
  if (aOffset < 0 || static_cast<size_t>(aOffset) >= aBytes.size()) return 0;
  return aBytes.size() - static_cast<size_t>(aOffset);
}

int32_t ReadInt32(const TBytes& aBytes, int32_t& aOffset) {
  if (Remaining(aBytes, aOffset) < 4) return 0;
  int32_t v = GetInt32(aBytes.data() + aOffset);
  aOffset += 4;
  return v;
}

}  // namespace

TBytes TqorRCON_Packet::WriteBytes() const {
  return WriteBytes(TEncoding::ASCII());
}

TBytes TqorRCON_Packet::WriteBytes(const TEncoding& aEncoding) const {
  TBytes body = aEncoding.GetBytes(FBody);
  TBytes out;
  out.reserve(body.size() + 14);
  PutInt32(out, static_cast<int32_t>(body.size()) + kHeaderAndTerminators);
  PutInt32(out, FID);
  PutInt32(out, FPacketType);
  out.insert(out.end(), body.begin(), body.end());
  out.push_back(static_cast<uint8_t>(EmptyString()));
  out.push_back(static_cast<uint8_t>(EmptyString()));
  return out;
}

void TqorRCON_Packet::ReadBytes(const TBytes& aBytes, int32_t& aOffset) {
  FPacketSize = ReadInt32(aBytes, aOffset);
  FID = ReadInt32(aBytes, aOffset);
  FPacketType = ReadInt32(aBytes, aOffset);
  // 64-bit, so that a hostile size such as INT_MIN cannot overflow.
  int64_t bodyLength = int64_t(FPacketSize) - kHeaderAndTerminators;
  FBody.clear();
  if (bodyLength > 0) {
    // A body announced longer than the input is cut at the input's end.
    size_t taken = std::min<size_t>(static_cast<size_t>(bodyLength), Remaining(aBytes, aOffset));
    FBody = TEncoding::UTF8().GetString(aBytes.data() + aOffset, taken);
    aOffset += static_cast<int32_t>(taken);
  }
  aOffset = aOffset > INT32_MAX - 2 ? INT32_MAX : aOffset + 2;
}

void TqorRCON_Options::Assign(const TPersistent& aSource) {
  if (auto src = dynamic_cast<const TqorRCON_Options*>(&aSource)) {
    FHost = src->FHost;
    FPort = src->FPort;
    FPassword = src->FPassword;
  } else {
    TPersistent::Assign(aSource);
  }
}

TqorLib_RCON_Client::TqorLib_RCON_Client(TComponent* AOwner)
    : TqorComponent_Base(AOwner), FRCON_Options(std::make_unique<TqorRCON_Options>()) {}

TqorLib_RCON_Client::~TqorLib_RCON_Client() {
  Shutdown();
  Destroying();
  FTCPClient.reset();
  FRCON_Options.reset();
}

// A handler already running on the reading thread may still use the TCP client while it stops,
// so the client stays in place until this component's own destruction.
void TqorLib_RCON_Client::Shutdown() {
  if (FDestroying.exchange(true)) return;
  if (FTCPClient) FTCPClient->Shutdown();
}

TqorTCPCLient* TqorLib_RCON_Client::GetTCPClient() {
  if (!FTCPClient) {
    FTCPClient = std::make_unique<TqorTCPCLient>(nullptr);
    FTCPClient->SetOnConnect([this](TqorTCPConnection* c) { OnClientConnectEvent(c); });
    FTCPClient->SetOnDisconnect([this](TqorTCPConnection* c) { OnClientDisconnectEvent(c); });
    FTCPClient->SetOnBinary(
        [this](TqorTCPConnection* c, TMemoryStream& d) { OnClientBinaryEvent(c, d); });
    FTCPClient->SetOnException(
        [this](TqorTCPConnection* c, Exception& e) { OnClientExceptionEvent(c, e); });
  }
  return FTCPClient.get();
}

TwsNotifyEvent TqorLib_RCON_Client::NotifyEvents() {
  return GetTCPClient()->NotifyEvents();
}

void TqorLib_RCON_Client::SetNotifyEvents(TwsNotifyEvent aValue) {
  GetTCPClient()->SetNotifyEvents(aValue);
}

bool TqorLib_RCON_Client::Active() {
  return GetTCPClient()->Active();
}

// A neNoSync handler may reconnect on the reading thread while the application's own thread
// activates: the settings are written only when they changed, so the two only read them.
void TqorLib_RCON_Client::SetActive(bool aValue) {
  TqorTCPCLient* client = GetTCPClient();
  if (client->Host() != FRCON_Options->Host()) client->SetHost(FRCON_Options->Host());
  if (client->Port() != FRCON_Options->Port()) client->SetPort(FRCON_Options->Port());
  const int LTimeout = FConnectTimeout > 0 ? FConnectTimeout : 0;
  if (client->ConnectTimeout() != LTimeout) client->SetConnectTimeout(LTimeout);
  client->SetActive(aValue);
}

// The reply may be decoded on the reading thread (neNoSync) before the send returns: the
// command is registered first, under the ID its packet is about to get.
void TqorLib_RCON_Client::ExecCommand(const std::string& aValue) {
  std::lock_guard<std::recursive_mutex> LSending(FSendLock);
  const bool LActive = GetTCPClient()->Active();
  int32_t LID = 0;
  bool LFenced = false;
  uint64_t LConnection;
  {
    std::lock_guard<std::mutex> g(FLock);
    LConnection = FConnectionEvents;
    if (LActive && LConnection % 2 == 1) {
      LID = FID + 1;
      LFenced = FSendFences && FAnswers.WantsFence();
      FAnswers.CommandSent(LID, aValue, LFenced, GetTickCount());
    }
  }
  try {
    if (!LFenced) {
      DoWritePacket(kTypeCommand, aValue);
      return;
    }
    // The command and its fence in one write: the server reads both at once and answers both
    // in one go, instead of waking twice.
    TqorRCON_Packet LCommand;
    LCommand.SetID(NextRequestID());
    LCommand.SetPacketType(kTypeCommand);
    LCommand.SetBody(aValue);
    TqorRCON_Packet LFence;
    LFence.SetID(TqorRCON_AnswerAssembler::FenceID(LCommand.ID()));
    LFence.SetPacketType(kTypeResponseValue);
    TBytes LBytes = LCommand.WriteBytes(TEncoding::UTF8());
    const TBytes LFenceBytes = LFence.WriteBytes();
    LBytes.insert(LBytes.end(), LFenceBytes.begin(), LFenceBytes.end());
    GetTCPClient()->WriteData(LBytes);
  } catch (...) {
    std::lock_guard<std::mutex> g(FLock);
    if (LID && FConnectionEvents == LConnection) FAnswers.CommandWithdrawn(LID);
    throw;
  }
}

void TqorLib_RCON_Client::CheckResponses() {
  std::vector<TqorRCON_AnswerAssembler::TAnswer> LDone;
  std::vector<TqorRCON_AnswerAssembler::TOverdue> LOverdue;
  {
    std::lock_guard<std::mutex> g(FLock);
    FAnswers.Check(GetTickCount(), LDone, LOverdue);
  }
  for (const auto& o : LOverdue) Raise(FOnResponseOverdue, this, o.ID, o.Command);
  RaiseAnswers(LDone);
}

uint32_t TqorLib_RCON_Client::ResponseOverdueMs() const {
  std::lock_guard<std::mutex> g(FLock);
  return FAnswers.OverdueMs();
}

void TqorLib_RCON_Client::SetResponseOverdueMs(uint32_t aValue) {
  std::lock_guard<std::mutex> g(FLock);
  FAnswers.SetOverdueMs(aValue);
}

size_t TqorLib_RCON_Client::OpenResponses() const {
  std::lock_guard<std::mutex> g(FLock);
  return FAnswers.OpenCount();
}

void TqorLib_RCON_Client::RaiseAnswers(
    const std::vector<TqorRCON_AnswerAssembler::TAnswer>& aAnswers) {
  for (const auto& a : aAnswers) Raise(FOnResponseComplete, this, a.ID, a.Command, a.Text);
}

bool TqorLib_RCON_Client::Stands(uint64_t aConnection) const {
  std::lock_guard<std::mutex> g(FLock);
  return FConnectionEvents == aConnection && !IsDestroying();
}

void TqorLib_RCON_Client::DoWritePacket(int32_t aPacketType, const std::string& aBody) {
  TqorRCON_Packet packet;
  packet.SetID(NextRequestID());
  packet.SetPacketType(aPacketType);
  packet.SetBody(aBody);
  GetTCPClient()->WriteData(packet.WriteBytes(TEncoding::UTF8()));
}

void TqorLib_RCON_Client::DoAuthenticate() {
  std::lock_guard<std::recursive_mutex> LSending(FSendLock);
  DoWritePacket(kTypeAuth, FRCON_Options->Password());
  std::lock_guard<std::mutex> g(FLock);
  FAnswers.AuthenticationSent(FID);
}

int32_t TqorLib_RCON_Client::NextRequestID() {
  std::lock_guard<std::mutex> g(FLock);
  return ++FID;
}

void TqorLib_RCON_Client::OnClientConnectEvent(TqorTCPConnection*) {
  {
    // A tail left by the previous connection would corrupt this one's first packet.
    std::lock_guard<std::mutex> g(FLock);
    FBuffer.Clear();
    FAnswers.Reset();
    ++FConnectionEvents;
  }
  Raise(FOnConnect, this);
  {
    std::lock_guard<std::mutex> g(FLock);
    FID = 0;
  }
  DoAuthenticate();
}

// Answers still open end with their connection, and nothing of a connection follows its
// OnDisconnect. One that the size rule had ended and that only waited for its fence reply is
// whole (a server that answers and closes, such as Minecraft's "stop", sends no such reply):
// it is raised before OnDisconnect. Whatever arrived of the others is no whole answer.
void TqorLib_RCON_Client::OnClientDisconnectEvent(TqorTCPConnection*) {
  std::vector<TqorRCON_AnswerAssembler::TAnswer> LAnswers;
  {
    std::lock_guard<std::mutex> g(FLock);
    FID = 0;
    ++FConnectionEvents;
    FBuffer.Clear();
    FAnswers.ConnectionEnded(LAnswers);
  }
  try {
    RaiseAnswers(LAnswers);
  } catch (...) {
    Raise(FOnDisconnect, this);
    throw;
  }
  Raise(FOnDisconnect, this);
}

void TqorLib_RCON_Client::OnClientExceptionEvent(TqorTCPConnection*, Exception& E) {
  Raise(FOnException, this, E);
}

// TCP delivers a byte stream, not packets: one chunk may hold several packets or only part
// of one. Every packet is decoded once and its event raised in order; a handler that throws
// does not hold back the packets after it, and the first such exception is raised again once
// they are all out. A handler may send, or end the connection: then nothing more of the chunk
// is raised, as nothing of a connection follows its OnDisconnect (a reconnect empties the
// buffer). The frame's bytes are taken over, not copied: nothing reads the event's stream after
// it.
void TqorLib_RCON_Client::OnClientBinaryEvent(TqorTCPConnection*, TMemoryStream& Data) {
  if (Data.Size() == 0) return;
  uint64_t LConnection;
  {
    std::lock_guard<std::mutex> g(FLock);
    FBuffer.Add(Data.Release());
    LConnection = FConnectionEvents;
  }
  std::exception_ptr LFirstError;
  for (;;) {
    TqorRCON_Packet packet;
    std::vector<TqorRCON_AnswerAssembler::TAnswer> LAnswers;
    try {
      std::lock_guard<std::mutex> g(FLock);
      TqorRCON_StreamDecoder::TRawBody LBody;
      if (FConnectionEvents != LConnection || IsDestroying() || !FBuffer.Next(packet, &LBody))
        break;
      // The answer is joined from raw bytes: a character may be cut between two packets.
      // Nobody to hand whole answers to: their text is not kept.
      if (packet.PacketType() == kTypeResponseValue)
        FAnswers.PacketReceived(packet.ID(), LBody.Data, LBody.Size, GetTickCount(), LAnswers,
                                static_cast<bool>(FOnResponseComplete));
      else if (packet.PacketType() == kTypeAuthResponse)
        FAnswers.AuthenticationAnswered();
    } catch (EqorRCONProtocolError& E) {
      Raise(FOnException, this, E);
      break;
    }
    try {
      RaisePacketEvent(packet);
    } catch (...) {
      if (!LFirstError) LFirstError = std::current_exception();
    }
    // The packet's handler may have ended the connection: the answers it completed go with it.
    if (!Stands(LConnection)) break;
    try {
      RaiseAnswers(LAnswers);
    } catch (...) {
      if (!LFirstError) LFirstError = std::current_exception();
    }
  }
  if (LFirstError) std::rethrow_exception(LFirstError);
}

void TqorLib_RCON_Client::RaisePacketEvent(const TqorRCON_Packet& aPacket) {
  switch (aPacket.PacketType()) {
    case kTypeResponseValue:
      Raise(FOnResponse, this, aPacket.Body(), aPacket);
      break;
    case kTypeAuthResponse:
      Raise(FOnAuthenticate, this, aPacket.ID() >= 0, aPacket);
      break;
    default:
      break;
  }
}
