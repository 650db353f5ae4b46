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

std::string CanonicalIPv6(const std::string& AText) {
  if (AText.empty()) return {};
  std::string LText = AText;
  if (LText.front() == ':') LText = "0" + LText;
  if (LText.back() == ':') LText += '0';

  int LDots = 0, LColons = 0;
  for (char c : LText) {
    if (c == '.') {
      ++LDots;
    } else if (c == ':') {
      ++LColons;
    } else if (!std::isdigit(static_cast<unsigned char>(c)) &&
               !(std::isxdigit(static_cast<unsigned char>(c)) && LDots == 0)) {
      return {};
    }
  }
  if (LDots > 3 || LColons > 7) return {};

  std::string LIPv4;
  if (LDots == 0) {
    if (LColons < 2) return {};
  } else {
    const size_t LLastColon = LText.rfind(':');
    if (LDots != 3 || LColons < 2 || LColons > 6 || LLastColon > LText.find('.')) return {};
    LIPv4 = LText.substr(LLastColon + 1);
    LText.erase(LLastColon);
  }

  std::vector<std::string> LGroups = Split(LText, ':');
  const size_t LWanted = LIPv4.empty() ? 8 : 6;
  std::vector<std::string> LOut;
  bool LExpanded = false;
  for (const std::string& LGroup : LGroups) {
    if (LGroup.empty()) {
      if (LExpanded) return {};
      LExpanded = true;
      const size_t LPresent = LGroups.size() - 1;
      if (LPresent > LWanted) return {};
      LOut.insert(LOut.end(), LWanted - LPresent, "0");
      continue;
    }
    unsigned LValue;
    if (!ParseHexGroup(LGroup, LValue)) return {};
    LOut.push_back(Format("%X", LValue));
  }
  if (LOut.size() != LWanted) return {};

  if (!LIPv4.empty()) {
    std::vector<std::string> LParts = Split(LIPv4, '.');
    int b[4];
    for (int i = 0; i < 4; ++i) {
      if (!ParseDecimalByte(LParts[i], b[i])) return {};
    }
    LOut.push_back(Format("%.2X%.2X", b[0], b[1]));
    LOut.push_back(Format("%.2X%.2X", b[2], b[3]));
  }

  std::string LResult;
  for (size_t i = 0; i < LOut.size(); ++i) {
    if (i > 0) LResult += ':';
    LResult += LOut[i];
  }
  return LResult;
}

bool IPv6ToWords(const std::string& AText, TIdIPv6Address& VWords) {
  const std::string LCanonical = CanonicalIPv6(AText);
  if (LCanonical.empty()) return false;
  std::vector<std::string> LGroups = Split(LCanonical, ':');
  for (size_t i = 0; i < 8; ++i) {
    unsigned LValue = 0;
    ParseHexGroup(LGroups[i], LValue);
    VWords[i] = static_cast<uint16_t>(LValue);
  }
  return true;
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
