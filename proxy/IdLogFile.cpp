#include "proxy/IdLogFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform/DateTime.h"
#include "platform/Encoding.h"
#include "platform/SysUtils.h"
#include "transport/IdException.h"

TIdLogFile::~TIdLogFile() {
  // Closing here, while Close is still this class's.
  SetActive(false);
}

void TIdLogFile::SetFilename(const std::string& AValue) {
  if (FFileStream) throw EIdException(RSLogFileAlreadyOpen);
  FFilename = AValue;
}

void TIdLogFile::Open() {
  if (IsDesigning()) return;
  FFileStream.reset(TFileStream::OpenForAppend(FFilename, 0600));
}

void TIdLogFile::Close() {
  FFileStream.reset();
}

void TIdLogFile::WriteStatusLine(const std::string& AText) {
  WriteToLog("Stat " + AText + EOL);
}

void TIdLogFile::WriteReceivedLine(const std::string& ATime, const std::string& AData) {
  WriteToLog("Recv " + ATime + ": " + AData + EOL);
}

void TIdLogFile::WriteSentLine(const std::string& ATime, const std::string& AData) {
  WriteToLog("Sent " + ATime + ": " + AData + EOL);
}

void TIdLogFile::WriteFormattedLine(const char* AFormat, ...) {
  if (!FActive) SetActive(true);
  va_list LArgs;
  va_start(LArgs, AFormat);
  va_list LCopy;
  va_copy(LCopy, LArgs);
  const int LLength = vsnprintf(nullptr, 0, AFormat, LCopy);
  va_end(LCopy);
  std::string LText(LLength > 0 ? static_cast<size_t>(LLength) : 0, '\0');
  if (LLength > 0) vsnprintf(LText.data(), LText.size() + 1, AFormat, LArgs);
  va_end(LArgs);
  if (FReplaceCRLF) LText = ReplaceLineBreaks(LText);
  WriteToLog((FLogTime ? DateTimeToStr(Now()) + " " : std::string()) + LText + EOL);
}

void TIdLogFile::WriteToLog(const std::string& AText) {
  ReportWriteFailure(WriteLine(AText));
}

std::string TIdLogFile::WriteLine(const std::string& AText) {
  if (!FFileStream) return {};
  const TBytes LBytes = TEncoding::ANSI().GetBytes(AText);
  errno = 0;
  const auto LSize = static_cast<int64_t>(LBytes.size());
  if (FFileStream->Write(LBytes.data(), LSize) == LSize) return {};
  const int LErr = errno ? errno : EIO;
  FFileStream.reset();
  FActive = false;
  return Format(RSLogFileWriteError, FFilename.c_str(), std::strerror(LErr));
}

void TIdLogFile::ReportWriteFailure(const std::string& AMessage) {
  if (AMessage.empty() || !FOnWriteError) return;
  EWriteError LError(AMessage);
  FOnWriteError(this, LError);
}
