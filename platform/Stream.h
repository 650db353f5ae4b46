#pragma once
#include <cstdint>
#include <string>

#include "platform/Exception.h"
#include "platform/Types.h"

QOR_DECLARE_EXCEPTION(EStreamError, Exception);
QOR_DECLARE_EXCEPTION(EReadError, EStreamError);
QOR_DECLARE_EXCEPTION(EWriteError, EStreamError);

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Read/Write move at most Count bytes and return how many moved.
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t NewSize) = 0;

  int64_t Position() const { return const_cast<TStream*>(this)->Seek(0, soCurrent); }
  void SetPosition(int64_t aPos) { Seek(aPos, soBeginning); }
  // Raise EReadError / EWriteError when fewer than Count bytes move.
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes from Source's position (Count <= 0: all of Source, from its start).
};

// Contiguous in-memory stream.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() const override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t NewSize) override;

  uint8_t* Memory() { return FData.data(); }
  const uint8_t* Memory() const { return FData.data(); }
  void Clear();
  // Takes the bytes without copying; the position goes to 0.
  void Adopt(TBytes&& aBytes);
  // Hands the bytes over without copying; the stream is left empty.
  TBytes Release();

 private:
  TBytes FData;
  int64_t FPosition = 0;
};

// In-memory stream of text; the text is stored as its UTF-8 bytes.
class TStringStream : public TMemoryStream {
 public:
  TStringStream() = default;
  explicit TStringStream(const std::string& aText);
  std::string DataString() const;
  void WriteString(const std::string& aText);
  std::string ReadString(int64_t Count);
};
