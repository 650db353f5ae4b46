// The answer assembler under any order of commands, answer packets (with the commands' IDs,
// their fences' IDs or foreign ones, of any size), checks at any time and new connections.
// Each command's answer comes at most once and only for a command sent on this connection;
// each is valid UTF-8 made of bytes that arrived; a command without any packet is overdue
// once, never early; the open count never exceeds the commands still waiting.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <set>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "rcon/qorRCON_AnswerAssembler.h"

using TAssembler = TqorRCON_AnswerAssembler;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  FuzzedDataProvider LIn(AData, ASize);
  TAssembler LA;
  LA.SetOverdueMs(LIn.ConsumeIntegralInRange<uint32_t>(1, 20000));
  uint32_t LNow = LIn.ConsumeIntegral<uint32_t>();  // the tick count may wrap
  int32_t LNextID = 1;
  std::map<int32_t, uint32_t> LSent;  // this connection's commands: ID, time sent
  std::set<int32_t> LAnswered, LOverdue;
  size_t LBytesIn = 0, LTextOut = 0;

  auto Take = [&](const std::vector<TAssembler::TAnswer>& ADone) {
    for (const TAssembler::TAnswer& A : ADone) {
      FUZZ_CHECK(IsValidUTF8(A.Text), "answer text");
      LTextOut += A.Text.size();
      if (A.Command.empty()) continue;  // an unsolicited packet
      FUZZ_CHECK(LSent.count(A.ID) == 1, "answer to a command not sent: " + std::to_string(A.ID));
      FUZZ_CHECK(LAnswered.insert(A.ID).second, "second answer to " + std::to_string(A.ID));
      FUZZ_CHECK(A.Command == "c" + std::to_string(A.ID), "command text");
    }
    // An invalid byte becomes U+FFFD: three bytes at most for each one received.
    FUZZ_CHECK(LTextOut <= 3 * LBytesIn, "more text than bytes received");
    FUZZ_CHECK(LA.OpenCount() <= LSent.size() - LAnswered.size(), "open count");
  };

  for (int LStep = 0; LStep < 100 && LIn.remaining_bytes() > 0; ++LStep) {
    std::vector<TAssembler::TAnswer> LDone;
    switch (LIn.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        LA.Reset();
        LSent.clear();
        LAnswered.clear();
        LOverdue.clear();
        break;
      case 1:
        LA.AuthenticationSent(LNextID++);
        break;
      case 2:
        LA.AuthenticationAnswered();
        break;
      case 3:
      case 4: {
        const int32_t LID = LNextID++;
        LA.CommandSent(LID, "c" + std::to_string(LID), LA.WantsFence() && LIn.ConsumeBool(), LNow);
        LSent[LID] = LNow;
        break;
      }
      case 5:
      case 6: {
        int32_t LID;
        switch (LIn.ConsumeIntegralInRange<int>(0, 3)) {
          case 0:
            LID = LIn.ConsumeIntegral<int32_t>();
            break;
          case 1:
            LID = TAssembler::FenceID(LNextID - LIn.ConsumeIntegralInRange<int32_t>(1, 4));
            break;
          default:
            LID = LNextID - LIn.ConsumeIntegralInRange<int32_t>(1, 4);
        }
        std::string LBody;
        if (LIn.ConsumeBool())
          LBody.assign(TAssembler::CutSize, static_cast<char>(LIn.ConsumeIntegral<uint8_t>()));
        else
          LBody = LIn.ConsumeRandomLengthString(300);
        LBytesIn += LBody.size();
        LA.PacketReceived(LID, reinterpret_cast<const uint8_t*>(LBody.data()), LBody.size(), LNow,
                          LDone, LIn.ConsumeIntegralInRange<int>(0, 7) != 0);
        break;
      }
      case 7: {
        LNow += LIn.ConsumeIntegralInRange<uint32_t>(0, 12000);
        std::vector<TAssembler::TOverdue> LLate;
        LA.Check(LNow, LDone, LLate);
        for (const TAssembler::TOverdue& O : LLate) {
          FUZZ_CHECK(LSent.count(O.ID) == 1, "overdue command not sent");
          FUZZ_CHECK(LNow - LSent[O.ID] >= LA.OverdueMs(), "overdue too early");
          FUZZ_CHECK(LOverdue.insert(O.ID).second, "overdue twice");
          FUZZ_CHECK(O.Command == "c" + std::to_string(O.ID), "overdue command text");
        }
        break;
      }
    }
    Take(LDone);
  }
  return 0;
}
