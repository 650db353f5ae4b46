#pragma once
// RCON packets as raw wire bytes, for peers and benchmarks that play the server or the client
// without the RCON component (which lower layers' tests cannot use).
#include <cstdint>
#include <string>

#include "platform/Types.h"

// Size, ID and type as 32-bit little-endian, the body's bytes as they are, two NULs.
inline TBytes WirePacket(int32_t aID, int32_t aType, const std::string& aBody) {
  TBytes out;
  auto put = [&](int32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(uint32_t(v) >> (8 * i)));
  };
  put(int32_t(aBody.size()) + 10);
  put(aID);
  put(aType);
  out.insert(out.end(), aBody.begin(), aBody.end());
  out.push_back(0);
  out.push_back(0);
  return out;
}
