#pragma once
#include <cstddef>
#include <deque>

#include "transport/IdGlobal.h"

enum TtcpEOFScanBuffer { eofScanNone, eofScanLatestBytes, eofScanAllBytes };

// Cuts the reads of one connection into frames, with no socket: eofScanNone makes every read
// one frame, eofScanLatestBytes keeps only reads that end with the delimiter, eofScanAllBytes
// cuts frames wherever the delimiter occurs in the bytes kept since the last frame. The mode
// and the delimiter may differ from read to read: bytes kept by eofScanAllBytes stay, and are
// scanned from their start again whenever the delimiter or the mode has changed.
class TqorTCPFrameAssembler {
 public:
  // Takes one read.
  void Add(TIdBytes aRead, TtcpEOFScanBuffer aMode, const TIdBytes& aDelimiter);
  // The next complete frame in order; false when there is none yet.
  bool Next(TIdBytes& aFrame);
  // Bytes kept by eofScanAllBytes, waiting for a delimiter.
  size_t PendingSize() const { return FPending.size() - FHead; }
  void ClearPending();

 private:
  void Compact();

  std::deque<TIdBytes> FReady;  // whole reads already found to be frames
  TIdBytes FPending;            // eofScanAllBytes: frames taken end at FHead
  size_t FHead = 0;
  size_t FScanFrom = 0;    // no delimiter of FDelimiter begins before this
  TIdBytes FDelimiter;     // the one the last eofScanAllBytes read was scanned for
  bool FScanning = false;  // the last read was an eofScanAllBytes one
};
