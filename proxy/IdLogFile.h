#pragma once
#include <memory>
#include <string>

#include "platform/FileStream.h"
#include "proxy/IdLogBase.h"

constexpr const char* RSLogFileAlreadyOpen = "Unable to set Filename while log file is open.";

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

  // printf-style; the time first when LogTime is set; opens the log when it is closed.
  virtual void WriteFormattedLine(const char* AFormat, ...) __attribute__((format(printf, 2, 3)));

 protected:
  void WriteStatusLine(const std::string& AText) override;
  void WriteReceivedLine(const std::string& ATime, const std::string& AData) override;
  void WriteSentLine(const std::string& ATime, const std::string& AData) override;
  // Writes AText as 8-bit text (characters above 255 become '?'); nothing when closed.
  virtual void WriteToLog(const std::string& AText);

  std::string FFilename;
  std::unique_ptr<TFileStream> FFileStream;
};
