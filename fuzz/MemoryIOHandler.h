#pragma once
// An I/O handler whose transport is a byte string: a proxy's replies as a fuzzer made them,
// handed over in pieces of the sizes it chose; what the client writes is kept. The end of the
// string is the peer's close.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "transport/IdException.h"
#include "transport/IdIOHandler.h"
#include "transport/IdStack.h"

class TMemoryIOHandler : public TIdIOHandler {
 protected:
  TMemoryIOHandler(std::vector<uint8_t> AInput, std::vector<size_t> APieces)
      : TIdIOHandler(nullptr), FInput(std::move(AInput)), FPieces(std::move(APieces)) {}

 public:
  const char* ClassName() const override { return "TMemoryIOHandler"; }

  // A reopen (an HTTP proxy's retry with credentials) runs AOnOpen, as a stack handler
  // runs the proxy's handshake on the new connection.
  void SetOnOpen(std::function<void()> AOnOpen) { FOnOpen = std::move(AOnOpen); }
  // A new connection takes the input from where the last one stopped; with nothing left, the
  // peer closes at once.
  void Open() override {
    TIdIOHandler::Open();
    FEnded = false;
    ++FOpens;
    if (FOnOpen && FOpens > 1) FOnOpen();
  }

  int ReadFromTransport(TIdBytes& VBuffer) override {
    if (FAt == FInput.size()) {
      FEnded = true;
      return 0;
    }
    size_t LPiece = FPiece < FPieces.size() ? FPieces[FPiece++] : FInput.size();
    LPiece = std::clamp<size_t>(LPiece, 1, std::min(VBuffer.size(), FInput.size() - FAt));
    std::copy_n(FInput.begin() + static_cast<std::ptrdiff_t>(FAt), LPiece, VBuffer.begin());
    FAt += LPiece;
    return static_cast<int>(LPiece);
  }
  int WriteToTransport(const TIdBytes& ABuffer, int AOffset, int ALength) override {
    FWritten.insert(FWritten.end(), ABuffer.begin() + AOffset, ABuffer.begin() + AOffset + ALength);
    return ALength;
  }
  bool TransportAvailable() override { return !FEnded; }
  // After the peer's close only buffered bytes are left; then reading raises.
  void CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) override {
    const bool LLost = FClosedGracefully || !Opened();
    if (LLost && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty()))
      RaiseConnClosedGracefully();
  }
  bool Readable(int) override { return true; }
  int CheckTransportResult(int) override { return Id_WSAECONNRESET; }
  [[noreturn]] void RaiseTransportError(int AErr) override { TIdStack::RaiseSocketError(AErr); }

  // Bytes of the input the handshake has taken: handed over and not left in InputBuffer.
  size_t Consumed() const { return FAt - static_cast<size_t>(InputBuffer()->Size()); }
  const std::vector<uint8_t>& Written() const { return FWritten; }
  int Opens() const { return FOpens; }

 private:
  std::vector<uint8_t> FInput;
  std::vector<size_t> FPieces;
  size_t FPiece = 0;
  size_t FAt = 0;
  bool FEnded = false;
  int FOpens = 0;
  std::vector<uint8_t> FWritten;
  std::function<void()> FOnOpen;
};
