#include "rcon/qorRCON_AnswerAssembler.h"

#include <algorithm>
#include <cstring>

#include "platform/Encoding.h"

namespace {

// While a fence is known to be answered, a fenced answer waits this long for more packets or
// its fence reply before it is ended anyway (a lost reply must not hold it for ever).
constexpr uint32_t kFenceWaitMs = 2000;

// Minecraft cuts at 4096 characters, so a cut packet of non-ASCII text is longer in bytes.
bool IsFull(const uint8_t* aBody, size_t aSize) {
  if (aSize >= TqorRCON_AnswerAssembler::CutSize) return true;
  size_t chars = 0;
  for (size_t i = 0; i < aSize; ++i) chars += (aBody[i] & 0xC0) != 0x80;
  return chars >= TqorRCON_AnswerAssembler::CutSize;
}

// What servers send back for a fence: Source mirrors the empty packet and then sends
// 00 01 00 00; Minecraft answers the unknown request with a text.
bool IsSourceFenceTail(const uint8_t* aBody, size_t aSize) {
  static const uint8_t kTail[4] = {0, 1, 0, 0};
  return aSize == 4 && std::memcmp(aBody, kTail, 4) == 0;
}

bool LooksLikeFenceReply(const uint8_t* aBody, size_t aSize) {
  static const char kUnknown[] = "Unknown request ";
  return aSize == 0 ||
         (aSize >= sizeof kUnknown - 1 && std::memcmp(aBody, kUnknown, sizeof kUnknown - 1) == 0);
}

// Answers are mostly valid UTF-8 (often plain ASCII): only others need the decoder's repair,
// and a valid one is handed on without a copy.
std::string ToUTF8(std::string aBytes) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(aBytes.data());
  if (ValidUTF8Length(bytes, aBytes.size()) == aBytes.size()) return aBytes;
  return TEncoding::UTF8().GetString(bytes, aBytes.size());
}

}  // namespace

void TqorRCON_AnswerAssembler::Reset() {
  FRequests.clear();
  FFencesAnswered = false;
  FIDsUnreliable = false;
  FAwaitingAuthentication = false;
  FAuthenticationID = 0;
}

void TqorRCON_AnswerAssembler::AuthenticationSent(int32_t aID) {
  FAwaitingAuthentication = true;
  FAuthenticationID = aID;
}

void TqorRCON_AnswerAssembler::CommandSent(int32_t aID, const std::string& aCommand, bool aFenced,
                                           uint32_t aNowMs) {
  TRequest command;
  command.ID = aID;
  command.Fenced = aFenced;
  command.SentMs = aNowMs;
  command.Command = aCommand;
  FRequests.push_back(std::move(command));
  if (aFenced) {
    TRequest fence;
    fence.ID = FenceID(aID);
    fence.Fence = true;
    FRequests.push_back(std::move(fence));
  }
}

void TqorRCON_AnswerAssembler::CommandWithdrawn(int32_t aID) {
  std::erase_if(FRequests,
                [&](const TRequest& r) { return r.Fence ? r.ID == FenceID(aID) : r.ID == aID; });
}

size_t TqorRCON_AnswerAssembler::OpenCount() const {
  return static_cast<size_t>(std::count_if(FRequests.begin(), FRequests.end(),
                                           [](const TRequest& r) { return !r.Fence; }));
}

void TqorRCON_AnswerAssembler::ConnectionEnded(std::vector<TAnswer>& aDone) {
  DropLeadingFences();
  if (!FRequests.empty() && FRequests.front().Started && !FRequests.front().LastFull)
    Complete(aDone);
  Reset();
}

// Ends the first open command.
void TqorRCON_AnswerAssembler::Complete(std::vector<TAnswer>& aDone) {
  auto it =
      std::find_if(FRequests.begin(), FRequests.end(), [](const TRequest& r) { return !r.Fence; });
  if (it == FRequests.end()) return;
  TAnswer answer;
  answer.ID = it->ID;
  answer.Command = std::move(it->Command);
  answer.Text = ToUTF8(std::move(it->Bytes));
  FRequests.erase(it);
  aDone.push_back(std::move(answer));
}

void TqorRCON_AnswerAssembler::DropLeadingFences() {
  while (!FRequests.empty() && FRequests.front().Fence) FRequests.pop_front();
}

void TqorRCON_AnswerAssembler::Append(TRequest& aRequest, const uint8_t* aBody, size_t aSize,
                                      uint32_t aNowMs, std::vector<TAnswer>& aDone,
                                      bool aKeepText) {
  if (aKeepText) aRequest.Bytes.append(reinterpret_cast<const char*>(aBody), aSize);
  aRequest.Started = true;
  aRequest.LastPacketMs = aNowMs;
  aRequest.LastFull = IsFull(aBody, aSize);
  const bool awaitsFence = aRequest.Fenced && FFencesAnswered && !FIDsUnreliable;
  if (!aRequest.LastFull && !awaitsFence) Complete(aDone);
}

void TqorRCON_AnswerAssembler::PacketReceived(int32_t aID, const uint8_t* aBody, size_t aSize,
                                              uint32_t aNowMs, std::vector<TAnswer>& aDone,
                                              bool aKeepText) {
  if (IsSourceFenceTail(aBody, aSize)) {
    DropLeadingFences();
    return;
  }
  auto match = std::find_if(FRequests.begin(), FRequests.end(),
                            [&](const TRequest& r) { return r.ID == aID; });
  if (match != FRequests.end()) {
    // In-order servers: whatever was asked before the matched request is finished.
    const size_t before = static_cast<size_t>(match - FRequests.begin());
    for (size_t i = 0; i < before; ++i) {
      if (FRequests.front().Fence)
        FRequests.pop_front();
      else
        Complete(aDone);
    }
    if (FRequests.front().Fence) {
      FFencesAnswered = true;
      FRequests.pop_front();
      return;
    }
    Append(FRequests.front(), aBody, aSize, aNowMs, aDone, aKeepText);
    return;
  }

  // No request carries this ID.
  while (!FRequests.empty() && FRequests.front().Fence) {
    FIDsUnreliable = true;
    FRequests.pop_front();
    if (LooksLikeFenceReply(aBody, aSize)) return;
  }
  if (FRequests.empty()) {
    const bool preAuthentication =
        FAwaitingAuthentication && aID == FAuthenticationID && aSize == 0;
    if (!preAuthentication) {
      TAnswer answer;
      answer.ID = aID;
      if (aKeepText) answer.Text = ToUTF8(std::string(reinterpret_cast<const char*>(aBody), aSize));
      aDone.push_back(std::move(answer));
    }
    return;
  }
  FIDsUnreliable = true;
  TRequest& command = FRequests.front();
  // A cut answer followed by what a fence brings back: the answer was complete.
  if (command.Started && command.LastFull && command.Fenced && LooksLikeFenceReply(aBody, aSize)) {
    Complete(aDone);
    DropLeadingFences();
    return;
  }
  Append(command, aBody, aSize, aNowMs, aDone, aKeepText);
}

void TqorRCON_AnswerAssembler::Check(uint32_t aNowMs, std::vector<TAnswer>& aDone,
                                     std::vector<TOverdue>& aOverdue) {
  for (TRequest& r : FRequests) {
    if (r.Fence || r.Started || r.OverdueReported || aNowMs - r.SentMs < FOverdueMs) continue;
    r.OverdueReported = true;
    aOverdue.push_back({r.ID, r.Command});
  }
  auto first =
      std::find_if(FRequests.begin(), FRequests.end(), [](const TRequest& r) { return !r.Fence; });
  if (first == FRequests.end() || !first->Started) return;
  const bool awaitsFence = first->Fenced && FFencesAnswered && !FIDsUnreliable;
  const uint32_t quiet = awaitsFence ? kFenceWaitMs : first->LastFull ? QuietPeriodMs : 0;
  if (quiet > 0 && aNowMs - first->LastPacketMs >= quiet) Complete(aDone);
}
