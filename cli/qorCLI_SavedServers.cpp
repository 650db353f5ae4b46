#include "cli/qorCLI_SavedServers.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

void AppendUTF8(std::string& aOut, uint32_t aCode) {
  if (aCode < 0x80) {
    aOut += char(aCode);
  } else if (aCode < 0x800) {
    aOut += char(0xC0 | aCode >> 6);
    aOut += char(0x80 | (aCode & 0x3F));
  } else if (aCode < 0x10000) {
    aOut += char(0xE0 | aCode >> 12);
    aOut += char(0x80 | (aCode >> 6 & 0x3F));
    aOut += char(0x80 | (aCode & 0x3F));
  } else {
    aOut += char(0xF0 | aCode >> 18);
    aOut += char(0x80 | (aCode >> 12 & 0x3F));
    aOut += char(0x80 | (aCode >> 6 & 0x3F));
    aOut += char(0x80 | (aCode & 0x3F));
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Keys are percent-encoded where they hold anything but letters, digits and a few signs.
std::string UnescapeKey(const std::string& aKey) {
  std::string out;
  for (size_t i = 0; i < aKey.size(); ++i) {
    if (aKey[i] == '%' && i + 2 < aKey.size() && HexDigit(aKey[i + 1]) >= 0 &&
        HexDigit(aKey[i + 2]) >= 0) {
      out += char(HexDigit(aKey[i + 1]) * 16 + HexDigit(aKey[i + 2]));
      i += 2;
    } else {
      out += aKey[i];
    }
  }
  return out;
}

bool ToBool(const std::string& aValue) {
  return aValue == "true" || aValue == "1";
}

int ToInt(const std::string& aValue, int aDefault) {
  char* end = nullptr;
  const long v = std::strtol(aValue.c_str(), &end, 10);
  return end != aValue.c_str() && *end == '\0' ? int(v) : aDefault;
}

TwsTLSVersions ToTLSVersion(const std::string& aValue) {
  std::string digits;
  for (char c : aValue)
    if (c >= '0' && c <= '9') digits += c;
  if (digits == "10") return tls1_0;
  if (digits == "11") return tls1_1;
  if (digits == "12") return tls1_2;
  if (digits == "13") return tls1_3;
  return tlsUndefined;
}

}  // namespace

std::string SavedServersFile() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string folder;
  if (config && *config) {
    folder = config;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home ? home : "") + "/.config";
  }
  return folder + "/qorRCON/qorRCON.ini";
}

std::string IniUnescape(const std::string& aValue) {
  // Outside quotes a semicolon starts a comment, and spaces around the value do not count.
  bool inQuotes = false;
  size_t end = 0;
  for (; end < aValue.size(); ++end) {
    if (aValue[end] == '\\')
      ++end;
    else if (aValue[end] == '"')
      inQuotes = !inQuotes;
    else if (aValue[end] == ';' && !inQuotes)
      break;
  }
  const std::string value = Trim(aValue.substr(0, std::min(end, aValue.size())));
  std::string out;
  // Surrogate pairs arrive as two \x escapes.
  uint32_t highSurrogate = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '"') continue;
    if (c != '\\' || i + 1 >= value.size()) {
      out += c;
      continue;
    }
    const char e = value[++i];
    switch (e) {
      case 'a':
        out += '\a';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'v':
        out += '\v';
        break;
      case 'x': {
        uint32_t code = 0;
        int digits = 0;
        while (digits < 4 && i + 1 < value.size() && HexDigit(value[i + 1]) >= 0) {
          code = code * 16 + uint32_t(HexDigit(value[++i]));
          ++digits;
        }
        if (code >= 0xD800 && code < 0xDC00) {
          highSurrogate = code;
        } else if (code >= 0xDC00 && code < 0xE000 && highSurrogate) {
          AppendUTF8(out, 0x10000 + ((highSurrogate - 0xD800) << 10) + (code - 0xDC00));
          highSurrogate = 0;
        } else {
          AppendUTF8(out, code);
        }
        break;
      }
      default:
        if (e >= '0' && e <= '7') {
          uint32_t code = uint32_t(e - '0');
          while (i + 1 < value.size() && value[i + 1] >= '0' && value[i + 1] <= '7')
            code = code * 8 + uint32_t(value[++i] - '0');
          AppendUTF8(out, code);
        } else {
          out += e;  // \\ \" \' \? and anything unknown stand for themselves
        }
    }
  }
  // A text that starts with @ is written with a second one, apart from typed values.
  if (out.rfind("@@", 0) == 0) return out.substr(1);
  if (out.rfind("@String(", 0) == 0 && out.back() == ')') return out.substr(8, out.size() - 9);
  return out;
}

std::map<std::string, std::string> ReadIniSection(const std::string& aText,
                                                  const std::string& aSection) {
  std::map<std::string, std::string> keys;
  std::istringstream in(aText);
  bool inSection = false;
  for (std::string line; std::getline(in, line);) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      inSection = UnescapeKey(line.substr(1, line.find(']') - 1)) == aSection;
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    std::string key = UnescapeKey(Trim(line.substr(0, eq)));
    // QSettings writes the group separator / as a backslash.
    for (char& c : key)
      if (c == '\\') c = '/';
    keys[key] = IniUnescape(line.substr(eq + 1));
  }
  return keys;
}

bool LoadSavedServer(const std::string& aFileName, const std::string& aName,
                     TqorCLI_Settings& aSettings, std::string& aError) {
  std::ifstream file(aFileName, std::ios::binary);
  if (!file) {
    aError = "no saved servers: cannot read " + aFileName;
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  const auto keys = ReadIniSection(text.str(), "servers");
  auto get = [&](int aIndex, const std::string& aKey) {
    auto it = keys.find(std::to_string(aIndex) + "/" + aKey);
    return it == keys.end() ? std::string() : it->second;
  };
  auto size = keys.find("size");
  const int count = size == keys.end() ? 0 : ToInt(size->second, 0);
  for (int i = 1; i <= count; ++i) {
    if (get(i, "name") != aName) continue;
    TqorCLI_Settings& s = aSettings;
    s.Host = get(i, "host");
    s.Port = ToInt(get(i, "port"), s.Port);
    const std::string proxy = get(i, "proxy/type");
    s.Proxy = TqorCLI_Proxy();
    s.Proxy.Enabled = !proxy.empty() && proxy != "none";
    s.Proxy.Type = proxy == "socks4"    ? pxySocks4
                   : proxy == "socks4a" ? pxySocks4A
                   : proxy == "http"    ? pxyHTTP
                                        : pxySocks5;
    s.Proxy.Host = get(i, "proxy/host");
    s.Proxy.Port = ToInt(get(i, "proxy/port"), 0);
    s.Proxy.User = get(i, "proxy/user");
    s.TLS.Enabled = ToBool(get(i, "tls/enabled"));
    s.TLS.Handler = get(i, "tls/handler") == "schannel" ? iohSChannel : iohOpenSSL;
    s.TLS.Version = ToTLSVersion(get(i, "tls/version"));
    s.TLS.Verify = ToBool(get(i, "tls/verify"));
    s.TLS.CA = get(i, "tls/ca");
    s.TLS.Cert = get(i, "tls/cert");
    s.TLS.Key = get(i, "tls/key");
    s.TLS.ALPN.clear();
    std::istringstream alpn(get(i, "tls/alpn"));
    for (std::string p; std::getline(alpn, p, ',');)
      if (!Trim(p).empty()) s.TLS.ALPN.push_back(Trim(p));
    s.LogFile = get(i, "log/file");
    s.Throttle = ToInt(get(i, "throttle"), 0);
    const int timeout = ToInt(get(i, "connectTimeout"), -1);
    if (timeout >= 0) s.ConnectTimeout = timeout / 1000.0;
    return true;
  }
  aError = "no saved server named \"" + aName + "\" in " + aFileName;
  return false;
}
