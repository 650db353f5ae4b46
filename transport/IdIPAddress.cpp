#include "transport/IdIPAddress.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/SysUtils.h"

namespace {

std::vector<std::string> Split(const std::string& AText, char ADelim) {
  std::vector<std::string> LParts;
  size_t LStart = 0;
  for (;;) {
    const size_t LPos = AText.find(ADelim, LStart);
    LParts.push_back(AText.substr(LStart, LPos - LStart));
    if (LPos == std::string::npos) return LParts;
    LStart = LPos + 1;
  }
}

bool ParseDecimalByte(const std::string& AText, int& VValue) {
  if (AText.empty() || AText.size() > 3) return false;
  VValue = 0;
  for (char c : AText) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    VValue = VValue * 10 + (c - '0');
  }
  return VValue <= 255;
}

bool ParseHexGroup(const std::string& AText, unsigned& VValue) {
  if (AText.empty() || AText.size() > 4) return false;
  VValue = 0;
  for (char c : AText) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    VValue = VValue * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : std::toupper(c) - 'A' + 10);
  }
  return true;
}

// Digits of one ParseIPv4Value part in the given radix; false on a bad digit or overflow.
bool ParseRadix(const std::string& ADigits, unsigned ARadix, uint64_t& VValue) {
  if (ADigits.empty()) return false;
  VValue = 0;
  for (char c : ADigits) {
    unsigned LDigit;
    if (std::isdigit(static_cast<unsigned char>(c))) {
      LDigit = static_cast<unsigned>(c - '0');
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      LDigit = static_cast<unsigned>(std::toupper(c) - 'A' + 10);
    } else {
      return false;
    }
    if (LDigit >= ARadix) return false;
    VValue = VValue * ARadix + LDigit;
    if (VValue > 0xFFFFFFFFull) return false;
  }
  return true;
}

bool ParseIPv4Part(const std::string& APart, uint64_t& VValue) {
  if (APart.size() >= 2 && APart[0] == '0' && (APart[1] == 'x' || APart[1] == 'X')) {
    return ParseRadix(APart.substr(2), 16, VValue);
  }
  if (APart.size() > 1 && APart[0] == '0' &&
      APart.find_first_not_of("01234567") == std::string::npos) {
    return ParseRadix(APart, 8, VValue);
  }
  return ParseRadix(APart, 10, VValue);
}

}  // namespace

namespace {

// A zone names an interface or its index (RFC 4007, characters as RFC 6874 allows them).
bool IsZone(const std::string& AZone) {
  return !AZone.empty() && std::all_of(AZone.begin(), AZone.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '~' ||
           c == '-';
  });
}

// The groups of one side of "::"; an embedded IPv4 address may end the last side only.
bool ParseIPv6Groups(const std::string& AText, bool ALastSide, std::vector<uint16_t>& VWords,
                     bool& VEmbeddedIPv4) {
  if (AText.empty()) return true;
  const std::vector<std::string> LGroups = Split(AText, ':');
  for (size_t i = 0; i < LGroups.size(); ++i) {
    const std::string& LGroup = LGroups[i];
    if (ALastSide && i + 1 == LGroups.size() && LGroup.find('.') != std::string::npos) {
      const std::vector<std::string> LParts = Split(LGroup, '.');
      int b[4];
      if (LParts.size() != 4) return false;
      for (size_t k = 0; k < 4; ++k) {
        if (!ParseDecimalByte(LParts[k], b[k])) return false;
      }
      VWords.push_back(static_cast<uint16_t>(b[0] << 8 | b[1]));
      VWords.push_back(static_cast<uint16_t>(b[2] << 8 | b[3]));
      VEmbeddedIPv4 = true;
      continue;
    }
    unsigned LValue;
    if (!ParseHexGroup(LGroup, LValue)) return false;
    VWords.push_back(static_cast<uint16_t>(LValue));
  }
  return true;
}

// The text forms of RFC 4291 section 2.2: eight groups of one to four hexadecimal digits, or
// fewer around one "::" that stands for at least one zero group, the last 32 bits possibly as
// an IPv4 address; then an optional "%zone".
bool ParseIPv6(const std::string& AText, TIdIPv6Address& VWords, bool& VEmbeddedIPv4,
               std::string& VZone) {
  const size_t LPercent = AText.find('%');
  const std::string LAddress = AText.substr(0, LPercent);
  VZone = LPercent == std::string::npos ? std::string() : AText.substr(LPercent + 1);
  if (LPercent != std::string::npos && !IsZone(VZone)) return false;
  if (LAddress.empty()) return false;

  const size_t LGap = LAddress.find("::");
  if (LGap != std::string::npos && LAddress.find("::", LGap + 1) != std::string::npos) {
    return false;
  }
  VEmbeddedIPv4 = false;
  std::vector<uint16_t> LHead, LTail;
  if (LGap == std::string::npos) {
    if (!ParseIPv6Groups(LAddress, true, LHead, VEmbeddedIPv4) || LHead.size() != 8) return false;
  } else {
    if (!ParseIPv6Groups(LAddress.substr(0, LGap), false, LHead, VEmbeddedIPv4) ||
        !ParseIPv6Groups(LAddress.substr(LGap + 2), true, LTail, VEmbeddedIPv4) ||
        LHead.size() + LTail.size() > 7) {
      return false;
    }
  }
  VWords.fill(0);
  std::copy(LHead.begin(), LHead.end(), VWords.begin());
  std::copy(LTail.begin(), LTail.end(), VWords.end() - static_cast<std::ptrdiff_t>(LTail.size()));
  return true;
}

}  // namespace

std::string CanonicalIPv6(const std::string& AText) {
  TIdIPv6Address LWords;
  bool LEmbeddedIPv4;
  std::string LZone;
  if (!ParseIPv6(AText, LWords, LEmbeddedIPv4, LZone)) return {};
  std::string LResult;
  for (size_t i = 0; i < LWords.size(); ++i) {
    if (i > 0) LResult += ':';
    // An embedded IPv4 address keeps two hexadecimal digits per byte.
    LResult += Format(LEmbeddedIPv4 && i >= 6 ? "%.4X" : "%X", LWords[i]);
  }
  if (!LZone.empty()) LResult += "%" + LZone;
  return LResult;
}

bool IPv6ToWords(const std::string& AText, TIdIPv6Address& VWords, std::string* VZone) {
  bool LEmbeddedIPv4;
  std::string LZone;
  if (!ParseIPv6(AText, VWords, LEmbeddedIPv4, LZone)) return false;
  if (VZone) *VZone = LZone;
  return true;
}

TIdIPVersion IPVersionOfHost(const std::string& AHost, TIdIPVersion ADefault) {
  if (!CanonicalIPv6(AHost).empty()) return Id_IPv6;
  if (IsIPv4Text(AHost)) return Id_IPv4;
  return ADefault;
}

uint32_t ParseIPv4Value(const std::string& AText, bool& VErr) {
  VErr = false;
  const std::vector<std::string> LParts = Split(AText, '.');
  if (LParts.size() > 4) {
    VErr = true;
    return 0;
  }
  uint32_t LResult = 0;
  for (size_t i = 0; i < LParts.size(); ++i) {
    uint64_t LValue;
    if (!ParseIPv4Part(LParts[i], LValue)) {
      VErr = true;
      return 0;
    }
    if (i + 1 < LParts.size()) {
      LResult |= static_cast<uint32_t>(LValue & 0xFF) << (8 * (3 - i));
    } else {
      const unsigned LBits = 8 * static_cast<unsigned>(4 - i);
      const uint64_t LMask = LBits >= 32 ? 0xFFFFFFFFull : ((1ull << LBits) - 1);
      LResult |= static_cast<uint32_t>(LValue & LMask);
    }
  }
  return LResult;
}

bool IsIPv4Text(const std::string& AText) {
  const std::vector<std::string> LParts = Split(AText, '.');
  if (LParts.size() != 4) return false;
  return std::all_of(LParts.begin(), LParts.end(), [](const std::string& LPart) {
    int LValue;
    return ParseDecimalByte(Trim(LPart), LValue);
  });
}

std::unique_ptr<TIdIPAddress> TIdIPAddress::MakeAddressObject(const std::string& AText) {
  std::unique_ptr<TIdIPAddress> LAddress = MakeAddressObject(AText, Id_IPv6);
  return LAddress ? std::move(LAddress) : MakeAddressObject(AText, Id_IPv4);
}

std::unique_ptr<TIdIPAddress> TIdIPAddress::MakeAddressObject(const std::string& AText,
                                                              TIdIPVersion AIPVersion) {
  auto LAddress = std::make_unique<TIdIPAddress>();
  LAddress->FAddrType = AIPVersion;
  if (AIPVersion == Id_IPv6) {
    if (!IPv6ToWords(AText, LAddress->FIPv6)) return nullptr;
  } else {
    bool LErr;
    LAddress->FIPv4 = ParseIPv4Value(AText, LErr);
    if (LErr) return nullptr;
  }
  return LAddress;
}

TIdBytes TIdIPAddress::HToNBytes() const {
  TIdBytes LBytes;
  if (FAddrType == Id_IPv6) {
    for (uint16_t LWord : FIPv6) {
      LBytes.push_back(static_cast<uint8_t>(LWord >> 8));
      LBytes.push_back(static_cast<uint8_t>(LWord));
    }
  } else {
    for (int LShift = 24; LShift >= 0; LShift -= 8) {
      LBytes.push_back(static_cast<uint8_t>(FIPv4 >> LShift));
    }
  }
  return LBytes;
}

int TIdIPAddress::CompareAddress(const std::string& AText, bool& VErr) const {
  std::unique_ptr<TIdIPAddress> LOther = MakeAddressObject(AText);
  VErr = !LOther || LOther->FAddrType != FAddrType;
  if (VErr) return 0;
  if (FAddrType == Id_IPv6) {
    if (FIPv6 == LOther->FIPv6) return 0;
    return FIPv6 > LOther->FIPv6 ? 1 : -1;
  }
  if (FIPv4 == LOther->FIPv4) return 0;
  return FIPv4 > LOther->FIPv4 ? 1 : -1;
}

std::string TIdIPAddress::IPv4AsString() const {
  if (FAddrType != Id_IPv4) return {};
  return Format("%u.%u.%u.%u", FIPv4 >> 24, (FIPv4 >> 16) & 0xFF, (FIPv4 >> 8) & 0xFF,
                FIPv4 & 0xFF);
}

std::string TIdIPAddress::IPv6AsString() const {
  if (FAddrType != Id_IPv6) return {};
  std::string LResult;
  for (size_t i = 0; i < FIPv6.size(); ++i) {
    if (i > 0) LResult += ':';
    LResult += Format("%.4X", FIPv6[i]);
  }
  return LResult;
}

std::string TIdIPAddress::IPAsString() const {
  return FAddrType == Id_IPv6 ? IPv6AsString() : IPv4AsString();
}
