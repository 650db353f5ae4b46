#pragma once
// RCON wire packets for the scripted loopback server.

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/Types.h"
#include "tests/support/RCONWire.h"
#include "tests/support/ScriptServer.h"

struct TWirePacket {
  int32_t Size = 0, ID = 0, Type = 0;
  std::string Body;
  TBytes Raw;
};

inline TBytes Int(int32_t v) {
  auto u = static_cast<uint32_t>(v);
  return {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
}

inline TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes out;
  for (const TBytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A connection that also reads RCON packets.
class TPeer : public TScriptPeer {
 public:
  using TScriptPeer::TScriptPeer;
  bool Receive(TWirePacket& aPacket, int aTimeoutMs = 10000) const {
    uint8_t head[4];
    if (!ReadExact(head, 4, aTimeoutMs)) return false;
    aPacket.Size = int32_t(uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 |
                           uint32_t(head[3]) << 24);
    if (aPacket.Size < 10 || aPacket.Size > 65536) return false;
    aPacket.Raw.assign(head, head + 4);
    aPacket.Raw.resize(size_t(aPacket.Size) + 4);
    if (!ReadExact(aPacket.Raw.data() + 4, size_t(aPacket.Size), aTimeoutMs)) return false;
    auto at = [&](size_t o) {
      return int32_t(uint32_t(aPacket.Raw[o]) | uint32_t(aPacket.Raw[o + 1]) << 8 |
                     uint32_t(aPacket.Raw[o + 2]) << 16 | uint32_t(aPacket.Raw[o + 3]) << 24);
    };
    aPacket.ID = at(4);
    aPacket.Type = at(8);
    aPacket.Body.assign(aPacket.Raw.begin() + 12, aPacket.Raw.end() - 2);
    return true;
  }
};

using TRCONTestServer = TScriptServer<TPeer>;
