#include "platform/Stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count > 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count > 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  int64_t n = std::max<int64_t>(0, std::min<int64_t>(Count, Size() - FPosition));
  if (n > 0) std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  if (FPosition + Count > Size()) {
    const int64_t LOldSize = Size();
    FData.resize(static_cast<size_t>(FPosition + Count));
    // A write past the end leaves zeros in the gap, as a file does.
    if (FPosition > LOldSize)
      std::memset(FData.data() + LOldSize, 0, static_cast<size_t>(FPosition - LOldSize));
  }
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition += Count;
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  switch (Origin) {
    case soBeginning:
      FPosition = Offset;
      break;
    case soCurrent:
      FPosition += Offset;
      break;
    case soEnd:
      FPosition = Size() + Offset;
      break;
  }
  if (FPosition < 0) FPosition = 0;
  return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  FData.resize(static_cast<size_t>(std::max<int64_t>(0, NewSize)), 0);
  if (FPosition > Size()) FPosition = Size();
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

void TMemoryStream::Adopt(TBytes&& aBytes) {
  FData = std::move(aBytes);
  FPosition = 0;
}

TBytes TMemoryStream::Release() {
  FPosition = 0;
  return std::exchange(FData, TBytes());
}

TStringStream::TStringStream(const std::string& aText) {
  WriteString(aText);
  SetPosition(0);
}

std::string TStringStream::DataString() const {
  return std::string(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(Size()));
}

void TStringStream::WriteString(const std::string& aText) {
  WriteBuffer(aText.data(), static_cast<int64_t>(aText.size()));
}

std::string TStringStream::ReadString(int64_t Count) {
  std::string s(static_cast<size_t>(std::max<int64_t>(0, std::min(Count, Size() - Position()))),
                '\0');
  Read(s.data(), static_cast<int64_t>(s.size()));
  return s;
}
