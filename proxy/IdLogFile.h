#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/FileStream.h"
#include "proxy/IdLogBase.h"

constexpr const char* RSLogFileAlreadyOpen = "Unable to set Filename while log file is open.";
constexpr const char* RSLogFileWriteError = "Cannot write to file \"%s\". %s";

class TIdLogFile;
// A write failed and the log has switched itself off; E names the file and the reason.
using TIdLogFileWriteErrorEvent = std::function<void(TIdLogFile* ASender, Exception& E)>;

// Appends the log's lines, each ending in CR LF, to a file. A file it creates is readable
// by its owner only: the traffic holds whatever the connection carries, passwords included.
class TIdLogFile : public TIdLogBase {
 protected:
  explicit TIdLogFile(TComponent* AOwner = nullptr) : TIdLogBase(AOwner) {}

 public:
  ~TIdLogFile() override;
  const char* ClassName() const override { return "TIdLogFile"; }

  const std::string& Filename() const { return FFilename; }
  // Raises EIdException "Unable to set Filename while log file is open." while it is open.
  void SetFilename(const std::string& AValue);

  void Open() override;
  void Close() override;

  // The log only watches the connection: a failed write (a full disk) closes the file and
  // sets Active false, raises EWriteError "Cannot write to file "<name>". <reason>" to this
  // handler once, and never to the thread that moved the block.
  void SetOnWriteError(TIdLogFileWriteErrorEvent AValue) { FOnWriteError = std::move(AValue); }

  // printf-style; the time first when LogTime is set; opens the log when it is closed.
  virtual void WriteFormattedLine(const char* AFormat, ...) __attribute__((format(printf, 2, 3)));

 protected:
  void WriteStatusLine(const std::string& AText) override;
  void WriteReceivedLine(const std::string& ATime, const std::string& AData) override;
  void WriteSentLine(const std::string& ATime, const std::string& AData) override;
  // Writes AText as 8-bit text (characters above 255 become '?'); nothing when closed.
  virtual void WriteToLog(const std::string& AText);
  // WriteToLog's work: the failure's message (the file then closed), or empty.
  std::string WriteLine(const std::string& AText);
  void ReportWriteFailure(const std::string& AMessage);

  std::string FFilename;
  std::unique_ptr<TFileStream> FFileStream;
  TIdLogFileWriteErrorEvent FOnWriteError;
};
