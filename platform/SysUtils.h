#pragma once
#include <cstdint>
#include <string>

// printf-style formatting into a std::string.
std::string Format(const char* aFormat, ...) __attribute__((format(printf, 1, 2)));

std::string IntToStr(int64_t aValue);
// Decimal (optionally signed) or "$"/"0x" hexadecimal 32-bit integer, surrounding blanks
// not allowed; anything else raises EConvertError "'%s' is not a valid integer value".
int StrToInt(const std::string& aText);
bool TryStrToInt(const std::string& aText, int& aValue);

std::string LowerCase(const std::string& s);
bool SameText(const std::string& a, const std::string& b);
// Without the white space (blank, tab, line and page breaks) at both ends.
std::string Trim(const std::string& s);

// Milliseconds from the steady clock; the 32-bit form wraps modulo 2^32.
uint32_t GetTickCount();
uint64_t GetTickCount64();
// Elapsed ms between two 32-bit tick readings, correct across one wrap.
uint32_t GetTickDiff(uint32_t aOld, uint32_t aNew);
void Sleep(uint32_t aMilliseconds);

// A random (version 4) GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string CreateGUIDString();

// True when this code runs inside a shared library rather than the main executable.
bool IsLibrary();
// The folder of the running program's file, without a trailing '/'; empty when unknown.
std::string ExecutableFolder();

using THandleLib = void*;
// nullptr when the library cannot be loaded / the symbol is absent.
THandleLib LoadLibrary(const std::string& aFileName);
void* GetProcAddress(THandleLib aLib, const std::string& aName);
void FreeLibrary(THandleLib aLib);
