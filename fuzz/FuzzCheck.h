#pragma once
// Invariant checks for the fuzz targets: a broken one stops the run with its reason, which
// libFuzzer then reports with the input that broke it.
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(ACondition, AWhat)                                           \
  do {                                                                          \
    if (!(ACondition)) {                                                        \
      std::fprintf(stderr, "invariant broken: %s (%s) at %s:%d\n", #ACondition, \
                   std::string(AWhat).c_str(), __FILE__, __LINE__);             \
      std::abort();                                                             \
    }                                                                           \
  } while (false)

// Whether AText is well-formed UTF-8 (no surrogates, no overlongs, nothing above U+10FFFF).
inline bool IsValidUTF8(const std::string& AText) {
  const auto* p = reinterpret_cast<const unsigned char*>(AText.data());
  const size_t n = AText.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    size_t len;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}
