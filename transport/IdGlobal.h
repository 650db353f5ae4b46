#pragma once
#include <cstdint>
#include <string>

#include "platform/Encoding.h"
#include "platform/Types.h"

// Byte arrays of the transport; an empty array and a missing one are the same.
using TIdBytes = TBytes;
using TIdPort = uint16_t;

enum TIdIPVersion { Id_IPv4, Id_IPv6 };
enum TIdReuseSocket { rsOSDependent, rsTrue, rsFalse };
enum TIdMaxLineAction { maException, maSplit };

// The "no limit" value that time-outs of -1 and 0 turn into.
constexpr int IdTimeoutInfinite = -2;
// Time-out argument meaning "use the configured ReadTimeout".
constexpr int IdTimeoutDefault = -1;

constexpr const char* LF = "\n";
constexpr const char* CR = "\r";
constexpr const char* EOL = "\r\n";

// Encodings are the shared, stateless platform objects; nullptr means the process default.
using IIdTextEncoding = const TEncoding*;

// The process default encoding: ASCII.
IIdTextEncoding IdDefaultTextEncoding();
// AEncoding when given, else the process default.
IIdTextEncoding IdEncodingOrDefault(IIdTextEncoding AEncoding);

// Bytes available from AIndex on; a length of -1 or one beyond that count is clamped, and a
// negative AIndex gives 0.
int IndyLength(const TIdBytes& ABuffer, int ALength = -1, int AIndex = 0);
TIdBytes ToBytes(const std::string& AText, IIdTextEncoding AEncoding = nullptr);
std::string BytesToString(const TIdBytes& ABytes, int AStartIndex = 0, int ALength = -1,
                          IIdTextEncoding AEncoding = nullptr);
