#include "cli/qorCLI_Output.h"

#include <cstdio>

namespace {

// U+00A7 in UTF-8.
constexpr char kSection0 = '\xC2';
constexpr char kSection1 = '\xA7';

// The SGR parameters of a code; nullptr for a character that is no code.
const char* SGR(char aCode) {
  switch (aCode >= 'A' && aCode <= 'Z' ? char(aCode + 32) : aCode) {  // either case
    case '0':
      return "0;30";
    case '1':
      return "0;34";
    case '2':
      return "0;32";
    case '3':
      return "0;36";
    case '4':
      return "0;31";
    case '5':
      return "0;35";
    case '6':
      return "0;33";
    case '7':
      return "0;37";
    case '8':
      return "0;90";
    case '9':
      return "0;94";
    case 'a':
      return "0;92";
    case 'b':
      return "0;96";
    case 'c':
      return "0;91";
    case 'd':
      return "0;95";
    case 'e':
      return "0;93";
    case 'f':
      return "0;97";
    case 'k':
      return "8";  // obfuscated: hidden
    case 'l':
      return "1";
    case 'm':
      return "9";
    case 'n':
      return "4";
    case 'o':
      return "3";
    case 'r':
      return "0";
    default:
      return nullptr;
  }
}

template <typename F>
std::string Convert(const std::string& aText, F aReplace) {
  std::string out;
  out.reserve(aText.size());
  bool used = false;
  for (size_t i = 0; i < aText.size(); ++i) {
    const char* sgr = nullptr;
    if (aText[i] == kSection0 && i + 2 < aText.size() && aText[i + 1] == kSection1 &&
        (sgr = SGR(aText[i + 2]))) {
      aReplace(out, sgr);
      used = true;
      i += 2;
    } else {
      out += aText[i];
    }
  }
  if (used) aReplace(out, nullptr);
  return out;
}

}  // namespace

std::string ColoursToANSI(const std::string& aText) {
  return Convert(aText, [](std::string& out, const char* sgr) {
    out += "\x1b[";
    out += sgr ? sgr : "0";
    out += 'm';
  });
}

std::string StripColours(const std::string& aText) {
  return Convert(aText, [](std::string&, const char*) {});
}

std::string JsonString(const std::string& aText) {
  std::string out = "\"";
  out.reserve(aText.size() + 2);
  for (const char ch : aText) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonAnswer(const std::string* aCommand, const std::string& aAnswer, int aPackets,
                       double aMilliseconds) {
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.3f", aMilliseconds);
  return "{\"command\":" + (aCommand ? JsonString(*aCommand) : std::string("null")) +
         ",\"answer\":" + JsonString(aAnswer) + ",\"packets\":" + std::to_string(aPackets) +
         ",\"milliseconds\":" + ms + "}";
}
