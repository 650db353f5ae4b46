#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Types.h"

// Turns text (UTF-8 std::string) into bytes and back. The shared objects are created once
// per process and are stateless, so any thread may use them.
class TEncoding {
 public:
  virtual ~TEncoding() = default;
  virtual const char* EncodingName() const = 0;

  TBytes GetBytes(const std::string& aText) const;
  std::string GetString(const uint8_t* aBytes, size_t aCount) const;
  std::string GetString(const TBytes& aBytes) const {
    return GetString(aBytes.data(), aBytes.size());
  }
  size_t GetByteCount(const std::string& aText) const { return GetBytes(aText).size(); }
  // Number of characters (code points) the bytes decode to.
  size_t GetCharCount(const uint8_t* aBytes, size_t aCount) const;

  static const TEncoding& ASCII();  // >= 128 becomes '?' / U+FFFD
  static const TEncoding& UTF8();   // invalid input becomes U+FFFD
  static const TEncoding& ANSI();   // 8-bit: < 256 becomes that byte, others 63
  static const TEncoding& UTF16LE();
  static const TEncoding& UTF16BE();

 protected:
  virtual void EncodeChar(uint32_t aCodePoint, TBytes& aOut) const = 0;
  // Decodes one character at aBytes (aCount > 0 bytes available); returns bytes used (>= 1).
  virtual size_t DecodeChar(const uint8_t* aBytes, size_t aCount, uint32_t& aCodePoint) const = 0;
  // Appends the decoded bytes to aOut; one character at a time unless an encoding knows better.
  virtual void AppendDecoded(const uint8_t* aBytes, size_t aCount, std::string& aOut) const;
};

// UTF-8 helpers shared by the encodings and by code that walks characters.
void AppendUTF8(uint32_t aCodePoint, std::string& aOut);
// Decodes one code point from UTF-8. Malformed input yields one U+FFFD per maximal subpart
// (the longest start of a well-formed sequence, or else one byte), as the Unicode standard
// and WHATWG decode it: "\xE2\x82" followed by "A" is U+FFFD then "A"; "\xC0\x80" is two U+FFFD.
size_t NextUTF8(const uint8_t* aBytes, size_t aCount, uint32_t& aCodePoint);
// Length of the longest well-formed UTF-8 start of the bytes.
size_t ValidUTF8Length(const uint8_t* aBytes, size_t aCount);
