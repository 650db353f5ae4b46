#include "transport/IdGlobal.h"

#include <algorithm>

IIdTextEncoding IdDefaultTextEncoding() {
  return &TEncoding::ASCII();
}

IIdTextEncoding IdEncodingOrDefault(IIdTextEncoding AEncoding) {
  return AEncoding ? AEncoding : IdDefaultTextEncoding();
}

int IndyLength(const TIdBytes& ABuffer, int ALength, int AIndex) {
  // A range that starts before the array holds nothing: callers index the array with AIndex.
  if (AIndex < 0) return 0;
  const int LAvailable = std::max(static_cast<int>(ABuffer.size()) - AIndex, 0);
  return (ALength < 0 || ALength > LAvailable) ? LAvailable : ALength;
}

TIdBytes ToBytes(const std::string& AText, IIdTextEncoding AEncoding) {
  if (AText.empty()) return {};
  return IdEncodingOrDefault(AEncoding)->GetBytes(AText);
}

std::string BytesToString(const TIdBytes& ABytes, int AStartIndex, int ALength,
                          IIdTextEncoding AEncoding) {
  const int LLength = IndyLength(ABytes, ALength, AStartIndex);
  if (LLength <= 0) return {};
  return IdEncodingOrDefault(AEncoding)->GetString(ABytes.data() + AStartIndex,
                                                   static_cast<size_t>(LLength));
}
