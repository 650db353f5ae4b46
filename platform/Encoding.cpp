#include "platform/Encoding.h"

#include <bit>
#include <cstring>

namespace {
constexpr uint32_t kReplacement = 0xFFFD;

class TASCIIEncoding : public TEncoding {
 public:
  const char* EncodingName() const override { return "us-ascii"; }

 protected:
  void EncodeChar(uint32_t cp, TBytes& out) const override {
    out.push_back(cp < 128 ? static_cast<uint8_t>(cp) : '?');
  }
  size_t DecodeChar(const uint8_t* b, size_t, uint32_t& cp) const override {
    cp = b[0] < 128 ? b[0] : kReplacement;
    return 1;
  }
  // Runs below 128 are already the output's UTF-8.
  void AppendDecoded(const uint8_t* b, size_t n, std::string& out) const override {
    for (size_t i = 0; i < n;) {
      size_t run = i;
      while (run < n && b[run] < 0x80) ++run;
      out.append(reinterpret_cast<const char*>(b + i), run - i);
      for (i = run; i < n && b[i] >= 0x80; ++i) AppendUTF8(kReplacement, out);
    }
  }
};

class TUTF8Encoding : public TEncoding {
 public:
  const char* EncodingName() const override { return "utf-8"; }

 protected:
  void EncodeChar(uint32_t cp, TBytes& out) const override {
    std::string s;
    AppendUTF8(cp, s);
    out.insert(out.end(), s.begin(), s.end());
  }
  size_t DecodeChar(const uint8_t* b, size_t n, uint32_t& cp) const override {
    return NextUTF8(b, n, cp);
  }
  // Well-formed runs are already the output's UTF-8: copy them whole.
  void AppendDecoded(const uint8_t* b, size_t n, std::string& out) const override {
    size_t i = 0;
    while (i < n) {
      const size_t run = ValidUTF8Length(b + i, n - i);
      out.append(reinterpret_cast<const char*>(b + i), run);
      i += run;
      if (i < n) {
        uint32_t cp;
        i += NextUTF8(b + i, n - i, cp);
        AppendUTF8(cp, out);
      }
    }
  }
};

class TANSIEncoding : public TEncoding {
 public:
  const char* EncodingName() const override { return "iso-8859-1"; }

 protected:
  void EncodeChar(uint32_t cp, TBytes& out) const override {
    out.push_back(cp < 256 ? static_cast<uint8_t>(cp) : 63);
  }
  size_t DecodeChar(const uint8_t* b, size_t, uint32_t& cp) const override {
    cp = b[0];
    return 1;
  }
};

class TUTF16Encoding : public TEncoding {
 public:
  explicit TUTF16Encoding(bool aBigEndian) : FBig(aBigEndian) {}
  const char* EncodingName() const override { return FBig ? "utf-16be" : "utf-16le"; }

 protected:
  void EncodeChar(uint32_t cp, TBytes& out) const override {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      Unit(static_cast<uint16_t>(0xD800 + (cp >> 10)), out);
      Unit(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)), out);
    } else {
      Unit(static_cast<uint16_t>(cp), out);
    }
  }
  size_t DecodeChar(const uint8_t* b, size_t n, uint32_t& cp) const override {
    if (n < 2) {
      cp = kReplacement;
      return n;
    }
    uint16_t u = Read(b);
    if (u >= 0xD800 && u < 0xDC00 && n >= 4) {
      uint16_t lo = Read(b + 2);
      if (lo >= 0xDC00 && lo < 0xE000) {
        cp = 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (lo - 0xDC00);
        return 4;
      }
    }
    cp = (u >= 0xD800 && u < 0xE000) ? kReplacement : u;
    return 2;
  }

 private:
  void Unit(uint16_t u, TBytes& out) const {
    uint8_t hi = static_cast<uint8_t>(u >> 8), lo = static_cast<uint8_t>(u);
    out.push_back(FBig ? hi : lo);
    out.push_back(FBig ? lo : hi);
  }
  uint16_t Read(const uint8_t* b) const {
    return FBig ? static_cast<uint16_t>(b[0] << 8 | b[1]) : static_cast<uint16_t>(b[1] << 8 | b[0]);
  }
  bool FBig;
};
}  // namespace

void AppendUTF8(uint32_t cp, std::string& out) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) cp = kReplacement;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {
// Decodes one well-formed sequence and returns its length, or returns minus the length of
// the maximal subpart that is malformed (at least one byte).
int DecodeUTF8(const uint8_t* b, size_t n, uint32_t& cp) {
  const uint8_t c = b[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  int len;
  uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return -1;  // a continuation byte, C0, C1 or F5..FF can never start a character
  }
  for (int i = 1; i < len; ++i) {
    if (static_cast<size_t>(i) >= n) return -i;
    const uint8_t u = b[i];
    if (u < (i == 1 ? lo : 0x80) || u > (i == 1 ? hi : 0xBF)) return -i;
    cp = (cp << 6) | (u & 0x3F);
  }
  return len;
}
}  // namespace

size_t NextUTF8(const uint8_t* b, size_t n, uint32_t& cp) {
  const int len = DecodeUTF8(b, n, cp);
  if (len > 0) return static_cast<size_t>(len);
  cp = kReplacement;
  return static_cast<size_t>(-len);
}

size_t ValidUTF8Length(const uint8_t* b, size_t n) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  auto cont = [](uint8_t u) { return (u & 0xC0) == 0x80; };
  size_t i = 0;
  while (i < n) {
    // Eight bytes at a time up to the next non-ASCII byte; the common two- and three-byte
    // sequences inline.
    if (n - i >= 8) {
      uint64_t w;
      std::memcpy(&w, b + i, 8);
      const uint64_t high = w & kHighBits;
      if (high == 0) {
        i += 8;
        continue;
      }
      if constexpr (std::endian::native == std::endian::little) {
        i += static_cast<size_t>(std::countr_zero(high)) / 8;
      } else {
        i += static_cast<size_t>(std::countl_zero(high)) / 8;
      }
    }
    const uint8_t c = b[i];
    if (c < 0x80) {
      ++i;
    } else if (c >= 0xC2 && c <= 0xDF && n - i >= 2 && cont(b[i + 1])) {
      i += 2;
    } else if ((c & 0xF0) == 0xE0 && n - i >= 3 && cont(b[i + 2]) &&
               b[i + 1] >= (c == 0xE0 ? 0xA0 : 0x80) && b[i + 1] <= (c == 0xED ? 0x9F : 0xBF)) {
      i += 3;
    } else {
      uint32_t cp;
      const int len = DecodeUTF8(b + i, n - i, cp);
      if (len < 0) break;
      i += static_cast<size_t>(len);
    }
  }
  return i;
}

TBytes TEncoding::GetBytes(const std::string& aText) const {
  TBytes out;
  out.reserve(aText.size());
  const auto* p = reinterpret_cast<const uint8_t*>(aText.data());
  size_t i = 0;
  while (i < aText.size()) {
    uint32_t cp;
    i += NextUTF8(p + i, aText.size() - i, cp);
    EncodeChar(cp, out);
  }
  return out;
}

std::string TEncoding::GetString(const uint8_t* aBytes, size_t aCount) const {
  std::string out;
  out.reserve(aCount);
  AppendDecoded(aBytes, aCount, out);
  return out;
}

void TEncoding::AppendDecoded(const uint8_t* aBytes, size_t aCount, std::string& aOut) const {
  size_t i = 0;
  while (i < aCount) {
    uint32_t cp;
    i += DecodeChar(aBytes + i, aCount - i, cp);
    AppendUTF8(cp, aOut);
  }
}

size_t TEncoding::GetCharCount(const uint8_t* aBytes, size_t aCount) const {
  size_t chars = 0, i = 0;
  while (i < aCount) {
    uint32_t cp;
    i += DecodeChar(aBytes + i, aCount - i, cp);
    ++chars;
  }
  return chars;
}

// Function-local statics: created once, on first use, thread-safely.
const TEncoding& TEncoding::ASCII() {
  static const TASCIIEncoding e;
  return e;
}
const TEncoding& TEncoding::UTF8() {
  static const TUTF8Encoding e;
  return e;
}
const TEncoding& TEncoding::ANSI() {
  static const TANSIEncoding e;
  return e;
}
const TEncoding& TEncoding::UTF16LE() {
  static const TUTF16Encoding e(false);
  return e;
}
const TEncoding& TEncoding::UTF16BE() {
  static const TUTF16Encoding e(true);
  return e;
}
