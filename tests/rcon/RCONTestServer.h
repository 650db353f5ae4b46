#pragma once
// RCON wire packets for the scripted loopback server.

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/Types.h"
#include "tests/support/RCONWire.h"
#include "tests/support/ScriptServer.h"

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
    return ReadWirePacket(
        [&](uint8_t* aOut, size_t aCount) { return ReadExact(aOut, aCount, aTimeoutMs); }, aPacket);
  }
};

using TRCONTestServer = TScriptServer<TPeer>;
