#pragma once
// Shared pieces of the TCP client tests: an event recorder and bounded waits that keep the
// main thread's call queue moving.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainThread.h"
#include "tcp_client/qorTCP_Client.h"
#include "tests/support/Loopback.h"

// What the handlers saw, in order, with the thread each ran on.
class TEventLog {
 public:
  struct TEvent {
    std::string Text;
    TqorTCPConnection* Connection;
    bool OnMainThread;
  };

  void Hook(TqorTCPCLient& aClient) {
    aClient.SetOnConnect([this](TqorTCPConnection* c) { Add("connect", c); });
    aClient.SetOnDisconnect([this](TqorTCPConnection* c) {
      // The cached addresses outlive the socket.
      Add("disconnect " + (c ? c->IP() : std::string("-")), c);
    });
    aClient.SetOnBinary([this](TqorTCPConnection* c, TMemoryStream& aData) {
      const std::string LText(reinterpret_cast<const char*>(aData.Memory()) + aData.Position(),
                              static_cast<size_t>(aData.Size() - aData.Position()));
      Add("binary " + LText, c);
      aData.SetPosition(aData.Size());  // a careless handler; the next one must not care
    });
    aClient.SetOnException(
        [this](TqorTCPConnection* c, Exception& E) { Add("exception " + E.Message(), c); });
  }

  void Add(const std::string& aText, TqorTCPConnection* aConnection) {
    std::lock_guard<std::mutex> LGuard(FLock);
    FEvents.push_back({aText, aConnection, IsMainThread()});
  }
  std::vector<TEvent> Events() const {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FEvents;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> LTexts;
    for (const TEvent& E : Events()) LTexts.push_back(E.Text);
    return LTexts;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> LGuard(FLock);
    return FEvents.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> LGuard(FLock);
    FEvents.clear();
  }

 private:
  mutable std::mutex FLock;
  std::vector<TEvent> FEvents;
};

// Pumps the main thread's queue until aDone holds or aMs pass.
inline bool WaitFor(const std::function<bool()>& aDone, int aMs = 5000) {
  if (IsMainThread()) return PumpUntil(aDone, aMs);
  const auto LEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
  while (!aDone() && std::chrono::steady_clock::now() < LEnd)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return aDone();
}

// Keeps pumping for a while, to show that nothing more arrives.
inline void PumpFor(int aMs) {
  WaitFor([] { return false; }, aMs);
}

inline int OpenDescriptors() {
  int LCount = 0;
  if (DIR* LDir = ::opendir("/proc/self/fd")) {
    while (::readdir(LDir)) ++LCount;
    ::closedir(LDir);
  }
  return LCount;
}

inline TIdBytes Bytes(const std::string& aText) {
  return TIdBytes(aText.begin(), aText.end());
}
