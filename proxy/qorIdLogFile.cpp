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

// The failure is reported outside the lock: its handler may close the log.
void TqorIdLogFileBase::WriteToLog(const std::string& AText) {
  std::string LFailure;
  {
    std::lock_guard<TIdCriticalSection> LGuard(FLock);
    LFailure = WriteLine(AText);
  }
  ReportWriteFailure(LFailure);
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
