#include "proxy/qorIdLogFile.h"

#include <mutex>

#include "platform/DateTime.h"

TqorIdLogFileBase::~TqorIdLogFileBase() {
  SetActive(false);
}

void TqorIdLogFileBase::Close() {
  std::lock_guard<TIdCriticalSection> LGuard(FLock);
  TIdLogFile::Close();
}

void TqorIdLogFileBase::WriteToLog(const std::string& AText) {
  std::lock_guard<TIdCriticalSection> LGuard(FLock);
  TIdLogFile::WriteToLog(AText);
}

void TqorIdLogFileBase::LogSendString(const std::string& aText) {
  WriteSentLine(DateTimeToStr(Now()), aText);
}

void TqorIdLogFileBase::LogRecvString(const std::string& aText) {
  WriteReceivedLine(DateTimeToStr(Now()), aText);
}

void TqorIdLogFileBase::LogSendDecodedString(const std::string& aText) {
  WriteToLog("Sent " + DateTimeToStr(Now()) + ": " + aText + EOL);
}

void TqorIdLogFileBase::LogRecvDecodedString(const std::string& aText) {
  WriteToLog("Recv " + DateTimeToStr(Now()) + ": " + aText + EOL);
}
