#pragma once
#include <string>

#include "base/IdThreadSafe.h"
#include "proxy/IdLogFile.h"

// A log file that threads share: each write (one whole line) holds the lock, so lines from
// the reading thread and the writing threads never mix inside a line.
class TqorIdLogFileBase : public TIdLogFile {
 protected:
  explicit TqorIdLogFileBase(TComponent* AOwner = nullptr) : TIdLogFile(AOwner) {}

 public:
  ~TqorIdLogFileBase() override;
  const char* ClassName() const override { return "TqorIdLogFileBase"; }

  // No write is under way while the file goes.
  void Close() override;

  void EnterCS() { FLock.Acquire(); }
  void LeaveCS() { FLock.Release(); }

  // For clients that log decoded messages themselves: always with the time, never with the
  // line-break replacement.
  virtual void LogSendString(const std::string& aText);
  virtual void LogSendDecodedString(const std::string& aText);
  virtual void LogRecvString(const std::string& aText);
  virtual void LogRecvDecodedString(const std::string& aText);

 protected:
  void WriteToLog(const std::string& AText) override;

 private:
  TIdCriticalSection FLock;
};

// The log file the TCP client uses.
class TqorIdLogFileClient : public TqorIdLogFileBase {
 protected:
  explicit TqorIdLogFileClient(TComponent* AOwner = nullptr) : TqorIdLogFileBase(AOwner) {}

 public:
  const char* ClassName() const override { return "TqorIdLogFileClient"; }
};
