#include "platform/Base64.h"

#include "platform/Exception.h"

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string EncodeBase64(const TBytes& aBytes) {
  std::string LOut;
  LOut.reserve((aBytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= aBytes.size(); i += 3) {
    const uint32_t v = uint32_t(aBytes[i]) << 16 | uint32_t(aBytes[i + 1]) << 8 | aBytes[i + 2];
    LOut += kAlphabet[v >> 18];
    LOut += kAlphabet[(v >> 12) & 63];
    LOut += kAlphabet[(v >> 6) & 63];
    LOut += kAlphabet[v & 63];
  }
  const size_t LRest = aBytes.size() - i;
  if (LRest > 0) {
    const uint32_t v = uint32_t(aBytes[i]) << 16 | (LRest == 2 ? uint32_t(aBytes[i + 1]) << 8 : 0);
    LOut += kAlphabet[v >> 18];
    LOut += kAlphabet[(v >> 12) & 63];
    LOut += LRest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    LOut += '=';
  }
  return LOut;
}

TBytes DecodeBase64(const std::string& aText) {
  if (aText.size() % 4 != 0) throw EConvertError("Invalid Base64 text");
  TBytes LOut;
  LOut.reserve(aText.size() / 4 * 3);
  for (size_t i = 0; i < aText.size(); i += 4) {
    const bool LLast = i + 4 == aText.size();
    const int LFill = LLast ? (aText[i + 3] == '=') + (aText[i + 2] == '=') : 0;
    if (LFill == 1 && aText[i + 2] == '=') throw EConvertError("Invalid Base64 text");
    uint32_t v = 0;
    for (int k = 0; k < 4 - LFill; ++k) {
      const int s = SextetOf(aText[i + static_cast<size_t>(k)]);
      if (s < 0) throw EConvertError("Invalid Base64 text");
      v |= uint32_t(s) << (18 - 6 * k);
    }
    // Canonical text leaves the bits below the last byte at zero.
    if ((LFill == 1 && (v & 0xFF)) || (LFill == 2 && (v & 0xFFFF))) {
      throw EConvertError("Invalid Base64 text");
    }
    LOut.push_back(uint8_t(v >> 16));
    if (LFill < 2) LOut.push_back(uint8_t(v >> 8));
    if (LFill < 1) LOut.push_back(uint8_t(v));
  }
  return LOut;
}
