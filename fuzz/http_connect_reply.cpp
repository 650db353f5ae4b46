// HTTP CONNECT handshakes against any reply bytes, in pieces of any size, with and without
// credentials. The handshake either fails with one of the transport's exceptions (a foreign
// status line quoted without its control characters) or succeeds on a 2xx status line, and
// it never reads past its caps nor reconnects more than once.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/MemoryIOHandler.h"
#include "proxy/IdConnectThroughHttpProxy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  FuzzedDataProvider LIn(AData, ASize);
  const bool LCredentials = LIn.ConsumeBool();
  std::vector<size_t> LPieces;
  for (int i = LIn.ConsumeIntegralInRange<int>(0, 8); i > 0; --i)
    LPieces.push_back(LIn.ConsumeIntegralInRange<size_t>(1, 200));
  const std::vector<uint8_t> LReply = LIn.ConsumeRemainingBytes<uint8_t>();

  std::unique_ptr<TIdConnectThroughHttpProxy> LProxy(New<TIdConnectThroughHttpProxy>(nullptr));
  LProxy->SetEnabled(true);
  if (LCredentials) {
    LProxy->SetUsername("user");
    LProxy->SetPassword("secret");
  }
  std::unique_ptr<TMemoryIOHandler> LIO(New<TMemoryIOHandler>(LReply, LPieces));
  TMemoryIOHandler* LHandler = LIO.get();
  LIO->SetOnOpen([&] { LProxy->Connect(LHandler, "game.example", 27015, Id_IPv4); });
  LIO->Open();
  bool LGranted = true;
  try {
    LProxy->Connect(LIO.get(), "game.example", 27015, Id_IPv4);
  } catch (const EIdHttpProxyError& E) {
    LGranted = false;
    // A foreign status line is quoted with its control characters masked.
    if (E.Message().rfind("The HTTP proxy sent no valid status line", 0) == 0) {
      for (char c : E.Message())
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 32 && c != 127, "control character quoted");
    }
  } catch (const EIdException&) {
    LGranted = false;
  }
  FUZZ_CHECK(LIO->Opens() <= 2, "more than one reconnection");
  const size_t kMost = 2 * (TIdConnectThroughHttpProxy::MaxHeaderBytes + 2 +
                            TIdConnectThroughHttpProxy::MaxBodyBytes);
  FUZZ_CHECK(LIO->Consumed() <= kMost, "read past the caps");
  if (!LGranted) return 0;
  // A 2xx status line was among the bytes taken (a body may end right before it).
  const std::string LTaken(LReply.begin(), LReply.begin() + std::ptrdiff_t(LIO->Consumed()));
  bool LSaw2xx = false;
  for (size_t At = LTaken.find("HTTP/"); At != std::string::npos && !LSaw2xx;
       At = LTaken.find("HTTP/", At + 1)) {
    const std::string LLine = LTaken.substr(At, LTaken.find('\n', At) - At);
    // The code follows the first blank; control characters around it count as blanks.
    size_t LCode = LLine.find(' ');
    while (LCode < LLine.size() && static_cast<unsigned char>(LLine[LCode]) <= ' ') ++LCode;
    if (LCode >= LLine.size()) LCode = std::string::npos;
    if (LCode == std::string::npos) continue;
    const size_t LDigits = LLine.find_first_not_of("0123456789", LCode);
    const std::string LNumber = LLine.substr(LCode, LDigits - LCode);  // leading zeros pass
    LSaw2xx = !LNumber.empty() && LNumber.size() <= 9 && std::stoi(LNumber) / 100 == 2;
  }
  FUZZ_CHECK(LSaw2xx, "a tunnel without a 2xx status line after " + std::to_string(LTaken.size()) +
                          " bytes, " + std::to_string(LIO->Opens()) + " opens");
  return 0;
}
