#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/IdGlobal.h"

using TIdIPv6Address = std::array<uint16_t, 8>;

// The address as exactly eight upper-case hexadecimal groups ("::1" -> "0:0:0:0:0:0:0:1"),
// followed by its zone when it has one ("fe80::1%lo" -> "FE80:0:0:0:0:0:0:1%lo"), or an
// empty text when AText is not an IPv6 literal in one of the forms of RFC 4291.
std::string CanonicalIPv6(const std::string& AText);
// The eight words of an IPv6 literal (host order) and, when asked, its zone (empty when it
// has none); false when AText is not one.
bool IPv6ToWords(const std::string& AText, TIdIPv6Address& VWords, std::string* VZone = nullptr);
// The family an address literal leaves no doubt about; ADefault for a host name.
TIdIPVersion IPVersionOfHost(const std::string& AHost, TIdIPVersion ADefault);
// Reads up to four "."-separated parts (0x hexadecimal, 0-prefixed octal, else decimal); the
// last part fills all remaining bytes, so "127.1" is 127.0.0.1. VErr is set for a non-number.
uint32_t ParseIPv4Value(const std::string& AText, bool& VErr);
// Four decimal parts 0..255 (blanks around a part allowed), nothing more.
bool IsIPv4Text(const std::string& AText);

// A parsed IPv4 or IPv6 address.
class TIdIPAddress {
 public:
  // IPv6 is tried first, then IPv4; nullptr when neither parses.
  static std::unique_ptr<TIdIPAddress> MakeAddressObject(const std::string& AText);
  static std::unique_ptr<TIdIPAddress> MakeAddressObject(const std::string& AText,
                                                         TIdIPVersion AIPVersion);

  uint32_t IPv4() const { return FIPv4; }
  void SetIPv4(uint32_t AValue) { FIPv4 = AValue; }
  TIdIPVersion AddrType() const { return FAddrType; }
  void SetAddrType(TIdIPVersion AValue) { FAddrType = AValue; }
  const TIdIPv6Address& IPv6() const { return FIPv6; }
  void SetIPv6(const TIdIPv6Address& AValue) { FIPv6 = AValue; }

  // Network order: 4 bytes for IPv4, 16 for IPv6.
  TIdBytes HToNBytes() const;
  // 1, 0 or -1 against AText; VErr when AText does not parse or is of the other family.
  int CompareAddress(const std::string& AText, bool& VErr) const;

  std::string IPv4AsString() const;
  std::string IPv6AsString() const;
  std::string IPAsString() const;

 private:
  uint32_t FIPv4 = 0;
  TIdIPVersion FAddrType = Id_IPv4;
  TIdIPv6Address FIPv6{};
};
