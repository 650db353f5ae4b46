#include "proxy/IdSocksInfo.h"

#include <algorithm>
#include <memory>

#include "platform/Encoding.h"
#include "transport/IdIOHandler.h"
#include "transport/IdIPAddress.h"
#include "transport/IdStack.h"

namespace {

TIdBytes CutTo255(TIdBytes ABytes) {
  if (ABytes.size() > 255) ABytes.resize(255);
  return ABytes;
}

// User names and passwords go out as UTF-8 (what RFC 1929 servers compare, byte for byte),
// cut to 255 bytes without splitting a character.
TIdBytes CredentialBytes(const std::string& AText) {
  TIdBytes LBytes = TEncoding::UTF8().GetBytes(AText);
  if (LBytes.size() <= 255) return LBytes;
  size_t LEnd = 255;
  while (LEnd > 0 && (LBytes[LEnd] & 0xC0) == 0x80) --LEnd;
  LBytes.resize(LEnd);
  return LBytes;
}

}  // namespace

void TIdSocksInfo::ReadSocks5Reply(TIdIOHandler* AIOHandler, TIdBytes& VBuffer, int ACount) {
  try {
    ReadHandshakeBytes(AIOHandler, VBuffer, ACount);
  } catch (const EIdException&) {
    throw EIdSocksServerRespondError(RSSocksServerRespondError);
  }
}

void TIdSocksInfo::InitComponentDefaults() {
  TIdCustomTransparentProxy::InitComponentDefaults();
  FPort = 1080;
}

void TIdSocksInfo::Assign(const TPersistent& ASource) {
  TIdCustomTransparentProxy::Assign(ASource);
  if (const auto* LSource = dynamic_cast<const TIdSocksInfo*>(&ASource)) {
    FAuthentication = LSource->FAuthentication;
    FVersion = LSource->FVersion;
  }
}

TIdCustomTransparentProxy* TIdSocksInfo::CreateOfSameClass(TComponent* AOwner) const {
  return New<TIdSocksInfo>(AOwner);
}

void TIdSocksInfo::OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, TIdPort APort,
                              TIdIPVersion) {
  switch (FVersion) {
    case svSocks4:
    case svSocks4A:
      OpenSocks4Tunnel(AIOHandler, AHost, APort);
      break;
    case svSocks5:
      OpenSocks5Tunnel(AIOHandler, AHost, APort);
      break;
    case svNoSocks:
      break;
  }
}

void TIdSocksInfo::SendSocks4Request(TIdIOHandler* AIOHandler, const std::string& AHost,
                                     TIdPort APort, uint8_t ACommand) {
  TIdBytes LAddress{0, 0, 0, 1};  // SOCKS 4A: the proxy resolves the name that follows
  if (FVersion == svSocks4) {
    const std::string LIP =
        IsIPv4Text(AHost) ? AHost
                          : GStack()->ResolveHost(AHost, Id_IPv4, AIOHandler->ConnectCancel());
    LAddress = TIdIPAddress::MakeAddressObject(LIP, Id_IPv4)->HToNBytes();
  }
  const bool LOpened = !AIOHandler->WriteBufferingActive();
  if (LOpened) AIOHandler->WriteBufferOpen();
  try {
    AIOHandler->Write(uint8_t(4));
    AIOHandler->Write(ACommand);
    AIOHandler->Write(APort);
    AIOHandler->Write(LAddress);
    AIOHandler->Write(FUsername);
    AIOHandler->Write(uint8_t(0));
    if (FVersion == svSocks4A) {
      AIOHandler->Write(AHost);
      AIOHandler->Write(uint8_t(0));
    }
    if (LOpened) AIOHandler->WriteBufferClose();
  } catch (...) {
    if (LOpened) AIOHandler->WriteBufferCancel();
    throw;
  }
}

void TIdSocksInfo::OpenSocks4Tunnel(TIdIOHandler* AIOHandler, const std::string& AHost,
                                    TIdPort APort) {
  SendSocks4Request(AIOHandler, AHost, APort, 1);
  TIdBytes LReply;
  ReadHandshakeBytes(AIOHandler, LReply, 8);
  switch (LReply[1]) {
    case 90:
      return;
    case 91:
      throw EIdSocksRequestFailed(RSSocksRequestFailed);
    case 92:
      throw EIdSocksRequestServerFailed(RSSocksRequestServerFailed);
    case 93:
      throw EIdSocksRequestIdentFailed(RSSocksRequestIdentFailed);
    default:
      throw EIdSocksUnknownError(RSSocksUnknownError);
  }
}

void TIdSocksInfo::NegotiateSocks5Method(TIdIOHandler* AIOHandler) {
  const uint8_t LMethod = FAuthentication == saUsernamePassword ? 2 : 0;
  AIOHandler->WriteDirect(TIdBytes{5, 1, LMethod});
  TIdBytes LReply;
  ReadSocks5Reply(AIOHandler, LReply, 2);
  if (LReply[1] != LMethod || LReply[1] == 255) {
    throw EIdSocksAuthMethodError(RSSocksAuthMethodError);
  }
  if (FAuthentication != saUsernamePassword) return;

  const TIdBytes LUser = CredentialBytes(FUsername);
  const TIdBytes LPassword = CredentialBytes(FPassword);
  TIdBytes LRequest{1, uint8_t(LUser.size())};
  LRequest.insert(LRequest.end(), LUser.begin(), LUser.end());
  LRequest.push_back(uint8_t(LPassword.size()));
  LRequest.insert(LRequest.end(), LPassword.begin(), LPassword.end());
  AIOHandler->WriteDirect(LRequest);
  ReadSocks5Reply(AIOHandler, LReply, 2);
  if (LReply[1] != 0) throw EIdSocksAuthError(RSSocksAuthError);
}

TIdBytes TIdSocksInfo::BuildSocks5Request(const std::string& AHost, TIdPort APort,
                                          uint8_t ACommand) const {
  TIdBytes LRequest{5, ACommand, 0};
  TIdIPv6Address LWords;
  if (IsIPv4Text(AHost)) {
    LRequest.push_back(1);
    const TIdBytes LAddress = TIdIPAddress::MakeAddressObject(AHost, Id_IPv4)->HToNBytes();
    LRequest.insert(LRequest.end(), LAddress.begin(), LAddress.end());
  } else if (IPv6ToWords(AHost, LWords)) {
    LRequest.push_back(4);
    for (uint16_t LWord : LWords) {
      LRequest.push_back(uint8_t(LWord >> 8));
      LRequest.push_back(uint8_t(LWord));
    }
  } else {
    const TIdBytes LName = CutTo255(ToBytes(AHost));
    LRequest.push_back(3);
    LRequest.push_back(uint8_t(LName.size()));
    LRequest.insert(LRequest.end(), LName.begin(), LName.end());
  }
  LRequest.push_back(uint8_t(APort >> 8));
  LRequest.push_back(uint8_t(APort));
  return LRequest;
}

void TIdSocksInfo::OpenSocks5Tunnel(TIdIOHandler* AIOHandler, const std::string& AHost,
                                    TIdPort APort) {
  NegotiateSocks5Method(AIOHandler);
  AIOHandler->WriteDirect(BuildSocks5Request(AHost, APort, 1));
  TIdBytes LReply;
  ReadSocks5Reply(AIOHandler, LReply, 5);
  switch (LReply[1]) {
    case 0:
      break;
    case 1:
      throw EIdSocksServerGeneralError(RSSocksServerGeneralError);
    case 2:
      throw EIdSocksServerPermissionError(RSSocksServerPermissionError);
    case 3:
      throw EIdSocksServerNetUnreachableError(RSSocksServerNetUnreachableError);
    case 4:
      throw EIdSocksServerHostUnreachableError(RSSocksServerHostUnreachableError);
    case 5:
      throw EIdSocksServerConnectionRefusedError(RSSocksServerConnectionRefusedError);
    case 6:
      throw EIdSocksServerTTLExpiredError(RSSocksServerTTLExpiredError);
    case 7:
      throw EIdSocksServerCommandError(RSSocksServerCommandError);
    case 8:
      throw EIdSocksServerAddressError(RSSocksServerAddressError);
    default:
      throw EIdSocksUnknownError(RSSocksUnknownError);
  }
  // The bound address and port; 5 bytes of them are already in. An address type we cannot
  // size leaves no way to find where the server's bytes begin.
  int LRest;
  switch (LReply[3]) {
    case 1:
      LRest = 5;
      break;
    case 4:
      LRest = 17;
      break;
    case 3:
      LRest = LReply[4] + 2;
      break;
    default:
      throw EIdSocksServerAddressError(RSSocksServerAddressError);
  }
  ReadSocks5Reply(AIOHandler, LReply, LRest);
}

void TIdSocksInfo::CheckUDPVersion() const {
  if (FVersion == svSocks4 || FVersion == svSocks4A) {
    throw EIdSocksUDPNotSupportedBySOCKSVersion(RSSocksUDPNotSupportedBySOCKSVersion);
  }
}

void TIdSocksInfo::OpenUDP(TIdSocketHandle* AHandle, const std::string& AHost, TIdPort APort,
                           TIdIPVersion AIPVersion) {
  CheckUDPVersion();
  TIdCustomTransparentProxy::OpenUDP(AHandle, AHost, APort, AIPVersion);
}

void TIdSocksInfo::CloseUDP(TIdSocketHandle* AHandle) {
  CheckUDPVersion();
  TIdCustomTransparentProxy::CloseUDP(AHandle);
}

int TIdSocksInfo::RecvFromUDP(TIdSocketHandle* AHandle, TIdBytes& ABuffer, std::string& VPeerIP,
                              TIdPort& VPeerPort, TIdIPVersion& VIPVersion, int ATimeOut) {
  CheckUDPVersion();
  return TIdCustomTransparentProxy::RecvFromUDP(AHandle, ABuffer, VPeerIP, VPeerPort, VIPVersion,
                                                ATimeOut);
}

void TIdSocksInfo::SendToUDP(TIdSocketHandle* AHandle, const std::string& AHost, TIdPort APort,
                             TIdIPVersion AIPVersion, const TIdBytes& ABuffer) {
  CheckUDPVersion();
  TIdCustomTransparentProxy::SendToUDP(AHandle, AHost, APort, AIPVersion, ABuffer);
}
