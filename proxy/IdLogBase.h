#pragma once
#include <atomic>
#include <string>

#include "transport/IdIntercept.h"

// An intercept that writes the connection's events and every block it moves as text lines.
class TIdLogBase : public TIdConnectionIntercept {
 protected:
  explicit TIdLogBase(TComponent* AOwner = nullptr) : TIdConnectionIntercept(AOwner) {}

 public:
  ~TIdLogBase() override;
  const char* ClassName() const override { return "TIdLogBase"; }

  void Connect(TComponent* AConnection) override;
  void Disconnect() override;
  // Logs the block as the inner intercepts left it.
  void Receive(TIdBytes& VBuffer) override;
  // Logs the block before the inner intercepts change it.
  void Send(TIdBytes& VBuffer) override;

  bool Active() const { return FActive; }
  // Opens or closes the log; a failing Open leaves Active false. While designing or loading
  // only the flag is stored, and Loaded applies it.
  virtual void SetActive(bool AValue);
  bool LogTime() const { return FLogTime; }
  void SetLogTime(bool AValue) { FLogTime = AValue; }
  bool ReplaceCRLF() const { return FReplaceCRLF; }
  void SetReplaceCRLF(bool AValue) { FReplaceCRLF = AValue; }
  void Loaded() override;

  virtual void Open() {}
  virtual void Close() {}

  // Each byte as the character of the same code; with AReplace, CR LF becomes "<EOL>", then
  // a lone CR "<CR>" and a lone LF "<LF>".
  static std::string BlockToText(const TIdBytes& ABlock, bool AReplace);
  // The same replacement on text.
  static std::string ReplaceLineBreaks(const std::string& AText);

 protected:
  virtual void WriteStatusLine(const std::string& AText) = 0;
  virtual void WriteReceivedLine(const std::string& ATime, const std::string& AData) = 0;
  virtual void WriteSentLine(const std::string& ATime, const std::string& AData) = 0;
  // The current date and time when LogTime is set, else empty.
  std::string TimeText() const;
  // Text (UTF-8) whose every character stands for one byte 0..255.
  std::string BlockText(const TIdBytes& ABlock) const { return BlockToText(ABlock, FReplaceCRLF); }

  // Read by the reading thread, written by the one that configures the log.
  std::atomic<bool> FActive{false};
  std::atomic<bool> FLogTime{true};
  std::atomic<bool> FReplaceCRLF{true};
};
