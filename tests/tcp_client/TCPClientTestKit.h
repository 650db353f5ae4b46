#pragma once
// Shared pieces of the TCP client tests: the client's events as a recorder sees them.
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
#include "tests/support/Eventually.h"
#include "tests/support/Loopback.h"
#include "tests/support/Recorder.h"

// What the handlers saw, in order, with the thread each ran on.
struct TClientEvent {
  std::string Text;
  TqorTCPConnection* Connection;
  bool OnMainThread;
};

class TEventLog : public TRecorder<TClientEvent> {
 public:
  using TEvent = TClientEvent;

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

  using TRecorder<TEvent>::Add;
  void Add(const std::string& aText, TqorTCPConnection* aConnection) {
    Add({aText, aConnection, IsMainThread()});
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> LTexts;
    for (const TEvent& E : Get()) LTexts.push_back(E.Text);
    return LTexts;
  }
};

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
