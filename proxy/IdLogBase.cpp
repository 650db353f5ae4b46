#include "proxy/IdLogBase.h"

#include "platform/DateTime.h"
#include "platform/Encoding.h"

TIdLogBase::~TIdLogBase() {
  FActive = false;
}

void TIdLogBase::Connect(TComponent* AConnection) {
  TIdConnectionIntercept::Connect(AConnection);
  if (FActive) WriteStatusLine("Connected.");
}

void TIdLogBase::Disconnect() {
  if (FActive) WriteStatusLine("Disconnected.");
  TIdConnectionIntercept::Disconnect();
}

void TIdLogBase::Receive(TIdBytes& VBuffer) {
  TIdConnectionIntercept::Receive(VBuffer);
  if (FActive) WriteReceivedLine(TimeText(), BlockText(VBuffer));
}

void TIdLogBase::Send(TIdBytes& VBuffer) {
  if (FActive) WriteSentLine(TimeText(), BlockText(VBuffer));
  TIdConnectionIntercept::Send(VBuffer);
}

void TIdLogBase::SetActive(bool AValue) {
  if (IsDesigning() || IsLoading()) {
    FActive = AValue;
    return;
  }
  if (AValue == FActive) return;
  if (AValue) {
    Open();
  } else {
    Close();
  }
  FActive = AValue;
}

void TIdLogBase::Loaded() {
  TIdConnectionIntercept::Loaded();
  const bool LStored = FActive;
  FActive = false;
  SetActive(LStored);
}

std::string TIdLogBase::TimeText() const {
  return FLogTime ? DateTimeToStr(Now()) : std::string();
}

std::string TIdLogBase::BlockToText(const TIdBytes& ABlock, bool AReplace) {
  std::string LText;
  LText.reserve(ABlock.size() + ABlock.size() / 8);
  const char* LData = reinterpret_cast<const char*>(ABlock.data());
  size_t i = 0;
  while (i < ABlock.size()) {
    // A run of bytes that stand for themselves goes in with one append.
    size_t LEnd = i;
    while (LEnd < ABlock.size() && ABlock[LEnd] < 0x80 &&
           !(AReplace && (ABlock[LEnd] == '\r' || ABlock[LEnd] == '\n'))) {
      ++LEnd;
    }
    LText.append(LData + i, LEnd - i);
    i = LEnd;
    if (i == ABlock.size()) break;
    const uint8_t b = ABlock[i];
    if (b >= 0x80) {
      AppendUTF8(b, LText);
    } else if (b == '\r' && i + 1 < ABlock.size() && ABlock[i + 1] == '\n') {
      LText += "<EOL>";
      ++i;
    } else {
      LText += b == '\r' ? "<CR>" : "<LF>";
    }
    ++i;
  }
  return LText;
}

std::string TIdLogBase::ReplaceLineBreaks(const std::string& AText) {
  std::string LText;
  LText.reserve(AText.size());
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] == '\r' && i + 1 < AText.size() && AText[i + 1] == '\n') {
      LText += "<EOL>";
      ++i;
    } else if (AText[i] == '\r') {
      LText += "<CR>";
    } else if (AText[i] == '\n') {
      LText += "<LF>";
    } else {
      LText += AText[i];
    }
  }
  return LText;
}
