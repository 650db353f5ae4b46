// SOCKS 4, 4A and 5 handshakes against any reply bytes, in pieces of any size. The handshake
// either fails with one of the transport's exceptions or succeeds on a reply that grants the
// tunnel; then it has taken exactly the reply's bytes, so that the target's first bytes stay
// for the session.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/MemoryIOHandler.h"
#include "proxy/IdSocksInfo.h"

namespace {

// Bytes a successful SOCKS 5 exchange takes from AIn, or 0 when the reply grants nothing.
size_t Socks5ReplyLength(const std::vector<uint8_t>& AIn, bool AAuth) {
  size_t At = 0;
  auto Have = [&](size_t N) { return AIn.size() >= At + N; };
  if (!Have(2) || AIn[1] != (AAuth ? 2 : 0)) return 0;
  At += 2;
  if (AAuth) {
    if (!Have(2) || AIn[At + 1] != 0) return 0;
    At += 2;
  }
  if (!Have(5) || AIn[At + 1] != 0) return 0;
  const uint8_t LType = AIn[At + 3];
  const size_t LAddress = LType == 1 ? 4 : LType == 4 ? 16 : LType == 3 ? 1 + AIn[At + 4] : 0;
  if (LAddress == 0) return 0;
  At += 4 + LAddress + 2;
  return Have(0) ? At : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  FuzzedDataProvider LIn(AData, ASize);
  const auto LVersion = static_cast<TSocksVersion>(LIn.ConsumeIntegralInRange<int>(1, 3));
  const bool LAuth = LVersion == svSocks5 && LIn.ConsumeBool();
  const char* const kHosts[] = {"127.0.0.1", "::1", "game.example", ""};
  const std::string LHost = kHosts[LIn.ConsumeIntegralInRange<int>(0, 3)];
  std::vector<size_t> LPieces;
  for (int i = LIn.ConsumeIntegralInRange<int>(0, 8); i > 0; --i)
    LPieces.push_back(LIn.ConsumeIntegralInRange<size_t>(1, 40));
  const std::vector<uint8_t> LReply = LIn.ConsumeRemainingBytes<uint8_t>();

  std::unique_ptr<TIdSocksInfo> LProxy(New<TIdSocksInfo>(nullptr));
  LProxy->SetVersion(LVersion);
  LProxy->SetAuthentication(LAuth ? saUsernamePassword : saNoAuthentication);
  LProxy->SetUsername("user");
  LProxy->SetPassword("secret");
  std::unique_ptr<TMemoryIOHandler> LIO(New<TMemoryIOHandler>(LReply, LPieces));
  LIO->Open();
  bool LGranted = true;
  try {
    LProxy->Connect(LIO.get(), LHost, 27015, Id_IPv4);
  } catch (const EIdException&) {
    LGranted = false;
  }
  if (!LGranted) return 0;
  if (LVersion == svSocks5) {
    const size_t LLength = Socks5ReplyLength(LReply, LAuth);
    FUZZ_CHECK(LLength != 0, "a SOCKS 5 reply that grants nothing opened the tunnel");
    FUZZ_CHECK(LIO->Consumed() == LLength, "SOCKS 5 reply bytes taken");
  } else {
    FUZZ_CHECK(LReply.size() >= 8 && LReply[1] == 90, "a SOCKS 4 refusal opened the tunnel");
    FUZZ_CHECK(LIO->Consumed() == 8, "SOCKS 4 reply bytes taken");
  }
  return 0;
}
