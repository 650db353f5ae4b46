#pragma once
#include <string>

#include "platform/Stream.h"

QOR_DECLARE_EXCEPTION(EFOpenError, EStreamError);
QOR_DECLARE_EXCEPTION(EFCreateError, EStreamError);

// A file on disk as a stream. The descriptor is closed with the object.
class TFileStream : public TStream {
 public:
  // Opens aFileName for reading and writing, positioned at its end, creating it with aMode
  // (before the umask) when missing. Another writer holding the file out makes it fail:
  // EFOpenError "Cannot open file "%s". %s"; a file that cannot be made raises EFCreateError
  // "Cannot create file "%s". %s".
  static TFileStream* OpenForAppend(const std::string& aFileName, unsigned aMode = 0666);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() const override;
  void SetSize(int64_t NewSize) override;
  const std::string& FileName() const { return FFileName; }

 private:
  TFileStream(std::string aFileName, int aHandle)
      : FFileName(std::move(aFileName)), FHandle(aHandle) {}
  std::string FFileName;
  int FHandle;
};
