#include "platform/FileStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SysUtils.h"

TFileStream* TFileStream::OpenForAppend(const std::string& aFileName, unsigned aMode) {
  int fd = ::open(aFileName.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(aFileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, aMode);
    if (fd < 0) {
      throw EFCreateError(
          Format("Cannot create file \"%s\". %s", aFileName.c_str(), std::strerror(errno)));
    }
  }
  if (fd < 0) {
    throw EFOpenError(
        Format("Cannot open file \"%s\". %s", aFileName.c_str(), std::strerror(errno)));
  }
  // Writers exclude each other; the lock ends with the descriptor.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
    const int LErr = errno;
    ::close(fd);
    throw EFOpenError(
        Format("Cannot open file \"%s\". %s", aFileName.c_str(), std::strerror(LErr)));
  }
  return new TFileStream(aFileName, fd);
}

TFileStream::~TFileStream() {
  ::close(FHandle);
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  const ssize_t n = ::read(FHandle, Buffer, size_t(Count));
  return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  const auto* p = static_cast<const uint8_t*>(Buffer);
  int64_t LDone = 0;
  while (LDone < Count) {
    const ssize_t n = ::write(FHandle, p + LDone, size_t(Count - LDone));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    LDone += n;
  }
  return LDone;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  const int LWhence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  return ::lseek(FHandle, Offset, LWhence);
}

int64_t TFileStream::Size() const {
  struct stat LStat {};
  return ::fstat(FHandle, &LStat) == 0 ? LStat.st_size : 0;
}

void TFileStream::SetSize(int64_t NewSize) {
  if (::ftruncate(FHandle, NewSize) != 0) {
    throw EWriteError(
        Format("Cannot set the size of \"%s\". %s", FFileName.c_str(), std::strerror(errno)));
  }
}
