#include "platform/SysUtils.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "platform/Exception.h"

std::string Format(const char* aFormat, ...) {
  va_list args;
  va_start(args, aFormat);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, aFormat, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n));
    std::vsnprintf(out.data(), out.size() + 1, aFormat, args);
  }
  va_end(args);
  return out;
}

std::string IntToStr(int64_t aValue) {
  return std::to_string(aValue);
}

bool TryStrToInt(const std::string& aText, int& aValue) {
  // Walk the string by its length: an embedded NUL is a bad character, not the end of the text.
  const char* p = aText.data();
  const char* const end = p + aText.size();
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
  int base = 10;
  if (p < end && *p == '$') {
    base = 16;
    ++p;
  } else if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (p == end) return false;
  long long value = 0;
  for (; p < end; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9')
      digit = *p - '0';
    else if (base == 16 && std::isxdigit(static_cast<unsigned char>(*p)))
      digit = std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10;
    else
      return false;
    value = value * base + digit;
    if (value > static_cast<long long>(UINT32_MAX)) return false;
  }
  if (negative) value = -value;
  // Hexadecimal literals may name the full 32-bit pattern, as "$FFFFFFFF" does.
  if (base == 16 && value > INT_MAX) value = static_cast<int32_t>(static_cast<uint32_t>(value));
  if (value < INT_MIN || value > INT_MAX) return false;
  aValue = static_cast<int>(value);
  return true;
}

int StrToInt(const std::string& aText) {
  int value = 0;
  if (!TryStrToInt(aText, value))
    throw EConvertError("'" + aText + "' is not a valid integer value");
  return value;
}

std::string LowerCase(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool SameText(const std::string& a, const std::string& b) {
  return LowerCase(a) == LowerCase(b);
}

std::string Trim(const std::string& s) {
  // White space only: a NUL or another control character is content, and must make a number
  // or an address that carries it invalid rather than disappear.
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

uint64_t GetTickCount64() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t GetTickCount() {
  return static_cast<uint32_t>(GetTickCount64());
}

uint32_t GetTickDiff(uint32_t aOld, uint32_t aNew) {
  return aNew - aOld;
}

void Sleep(uint32_t aMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(aMilliseconds));
}

std::string CreateGUIDString() {
  uint8_t b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      std::random_device rd;  // kernel without getrandom: fall back to the library's source
      for (auto& x : b) x = static_cast<uint8_t>(rd());
      got = sizeof b;
    }
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Format("{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
}

namespace {
struct ImageQuery {
  uintptr_t address;
  bool inMainProgram = false;
  bool first = true;
};

int FindInMainProgram(dl_phdr_info* info, size_t, void* data) {
  auto* q = static_cast<ImageQuery*>(data);
  if (!q->first) return 1;  // the main program is always the first object reported
  q->first = false;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
    if (q->address >= lo && q->address < lo + ph.p_memsz) q->inMainProgram = true;
  }
  return 1;
}
}  // namespace

bool IsLibrary() {
  ImageQuery q{reinterpret_cast<uintptr_t>(&IsLibrary)};
  dl_iterate_phdr(FindInMainProgram, &q);
  return !q.inMainProgram;
}

std::string ExecutableFolder() {
  char LPath[4096];
  const ssize_t N = readlink("/proc/self/exe", LPath, sizeof LPath - 1);
  if (N <= 0) return {};
  const std::string LFile(LPath, static_cast<size_t>(N));
  return LFile.substr(0, LFile.rfind('/'));
}

THandleLib LoadLibrary(const std::string& aFileName) {
  return dlopen(aFileName.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(THandleLib aLib, const std::string& aName) {
  return aLib ? dlsym(aLib, aName.c_str()) : nullptr;
}

void FreeLibrary(THandleLib aLib) {
  if (aLib) dlclose(aLib);
}
