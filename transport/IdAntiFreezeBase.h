#pragma once

// The transport's wait. No process-wide idle hook is ever installed, so a wait is a plain
// sleep of the calling thread.
class TIdAntiFreezeBase {
 public:
  // Waits ATimeout milliseconds (nothing for 0 or less).
  static void Sleep(int ATimeout);
};
