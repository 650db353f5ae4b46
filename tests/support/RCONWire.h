#pragma once
// RCON packets as raw wire bytes, for peers and benchmarks that play the server or the client
// without the RCON component (which lower layers' tests cannot use).
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
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

// Sends all of aBytes on a blocking socket; false when the connection fails first.
inline bool SendWire(int aFd, const TBytes& aBytes) {
  for (size_t sent = 0; sent < aBytes.size();) {
    const ssize_t n = ::send(aFd, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

inline int32_t WireInt(const uint8_t* aAt) {
  return int32_t(uint32_t(aAt[0]) | uint32_t(aAt[1]) << 8 | uint32_t(aAt[2]) << 16 |
                 uint32_t(aAt[3]) << 24);
}

struct TWirePacket {
  int32_t Size = 0, ID = 0, Type = 0;
  std::string Body;  // without the two closing NULs
  TBytes Raw;        // the whole packet as read, its size field included
};

// Reads one packet through aReadExact(uint8_t* out, size_t count) -> bool, which fills all of
// out or returns false. False when the stream ends first or the size is outside 10..aMaxSize.
template <class TReadExact>
bool ReadWirePacket(TReadExact&& aReadExact, TWirePacket& aPacket, int32_t aMaxSize = 65536) {
  aPacket.Raw.resize(4);
  if (!aReadExact(aPacket.Raw.data(), 4)) return false;
  aPacket.Size = WireInt(aPacket.Raw.data());
  if (aPacket.Size < 10 || aPacket.Size > aMaxSize) return false;
  aPacket.Raw.resize(size_t(aPacket.Size) + 4);
  if (!aReadExact(aPacket.Raw.data() + 4, size_t(aPacket.Size))) return false;
  aPacket.ID = WireInt(aPacket.Raw.data() + 4);
  aPacket.Type = WireInt(aPacket.Raw.data() + 8);
  aPacket.Body.assign(aPacket.Raw.begin() + 12, aPacket.Raw.end() - 2);
  return true;
}

// From a blocking socket (its receive time-out bounds the wait).
inline bool ReadWirePacket(int aFd, TWirePacket& aPacket, int32_t aMaxSize = 65536) {
  auto LRecv = [aFd](uint8_t* aOut, size_t aCount) {
    for (size_t got = 0; got < aCount;) {
      const ssize_t n = ::recv(aFd, aOut + got, aCount - got, 0);
      if (n <= 0) return false;
      got += size_t(n);
    }
    return true;
  };
  return ReadWirePacket(LRecv, aPacket, aMaxSize);
}

// From an I/O handler (anything with ReadBytes(TBytes&, int, bool)); its read time-out bounds
// the wait and its exceptions pass through. A packet of a size outside 10..aMaxSize throws.
template <class THandler>
TWirePacket ReadWirePacketFrom(THandler& aIO, int32_t aMaxSize = 65536) {
  TWirePacket LPacket;
  auto LRead = [&aIO](uint8_t* aOut, size_t aCount) {
    TBytes LBytes;
    aIO.ReadBytes(LBytes, int(aCount), false);
    std::copy(LBytes.begin(), LBytes.end(), aOut);
    return LBytes.size() == aCount;
  };
  if (!ReadWirePacket(LRead, LPacket, aMaxSize)) throw std::runtime_error("bad RCON packet");
  return LPacket;
}
