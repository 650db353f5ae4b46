#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// Joins the response packets of one command into one answer and finds where it ends. RCON
// has no end-of-answer mark: servers cut long answers into packets of 4096 bytes (Source) or
// 4096 characters (Minecraft) under one request ID. Two rules find the end:
// - the fence: an empty type-0 packet sent right after the command under its own ID. Servers
//   answer requests in order, so a packet carrying the fence's ID (Source mirrors it and adds
//   a 00 01 00 00 packet, Minecraft answers "Unknown request 0") ends the answer before it.
//   Fence replies are never shown.
// - size and quiet: where the fence is not known to work, a packet shorter than the cut size
//   ends the answer at once; after a full-size packet the answer ends when no packet arrived
//   for QuietPeriodMs.
// A command without any answer packet for OverdueMs is reported (once).
// IDs are not trusted: a packet whose ID matches no request belongs to the oldest open one
// (some servers answer everything with ID 0 or 42); from then on no fences are sent, since
// their replies could not be told apart from answers.
// Socket-free and single-threaded; times are milliseconds of any steady clock.
class TqorRCON_AnswerAssembler {
 public:
  struct TAnswer {
    int32_t ID = 0;       // the command's request ID; an unsolicited packet's own ID
    std::string Text;     // the bodies' bytes joined, as UTF-8 (invalid sequences replaced)
    std::string Command;  // empty for an unsolicited packet
  };
  struct TOverdue {
    int32_t ID = 0;
    std::string Command;
  };

  static constexpr size_t CutSize = 4096;
  static constexpr uint32_t QuietPeriodMs = 250;
  static constexpr uint32_t DefaultOverdueMs = 10000;
  // Fence IDs live apart from the request counter, so commands keep their numbering.
  static constexpr int32_t FenceIDOffset = 0x40000000;
  static int32_t FenceID(int32_t aCommandID) { return aCommandID + FenceIDOffset; }

  // A connection begins or ends: everything open is forgotten.
  void Reset();
  // The authentication request went out with aID; Source servers send an empty type-0
  // packet with that ID just before their authentication response.
  void AuthenticationSent(int32_t aID);
  void AuthenticationAnswered() { FAwaitingAuthentication = false; }
  // Whether the next command should be followed by a fence.
  bool WantsFence() const { return !FIDsUnreliable; }
  void CommandSent(int32_t aID, const std::string& aCommand, bool aFenced, uint32_t aNowMs);
  // The command's send failed: it and its fence are forgotten.
  void CommandWithdrawn(int32_t aID);
  // A type-0 packet; answers it completes are appended to aDone. Without aKeepText (nobody
  // wants whole answers) its bytes are not joined into the answer's text.
  void PacketReceived(int32_t aID, const uint8_t* aBody, size_t aSize, uint32_t aNowMs,
                      std::vector<TAnswer>& aDone, bool aKeepText = true);
  uint32_t OverdueMs() const { return FOverdueMs; }
  void SetOverdueMs(uint32_t aValue) { FOverdueMs = aValue; }
  // Ends answers whose quiet period is over; reports commands without any answer packet for
  // OverdueMs (each once).
  void Check(uint32_t aNowMs, std::vector<TAnswer>& aDone, std::vector<TOverdue>& aOverdue);
  // Commands whose answer has not ended yet.
  size_t OpenCount() const;
  // The connection ended: an answer that the size rule had ended and that only waited for its
  // fence reply is whole (a server that answers and closes, such as Minecraft's "stop", sends
  // no such reply) and goes to aDone; everything else is forgotten, as by Reset.
  void ConnectionEnded(std::vector<TAnswer>& aDone);

 private:
  struct TRequest {
    int32_t ID = 0;
    bool Fence = false;
    bool Fenced = false;    // a command followed by a fence
    bool Started = false;   // at least one packet arrived
    bool LastFull = false;  // the last packet was cut at full size
    bool OverdueReported = false;
    uint32_t SentMs = 0;
    uint32_t LastPacketMs = 0;
    std::string Command;
    std::string Bytes;
  };

  void Complete(std::vector<TAnswer>& aDone);
  void DropLeadingFences();
  void Append(TRequest& aRequest, const uint8_t* aBody, size_t aSize, uint32_t aNowMs,
              std::vector<TAnswer>& aDone, bool aKeepText);

  std::deque<TRequest> FRequests;
  bool FFencesAnswered = false;
  bool FIDsUnreliable = false;
  bool FAwaitingAuthentication = false;
  int32_t FAuthenticationID = 0;
  uint32_t FOverdueMs = DefaultOverdueMs;  // kept by Reset
};
