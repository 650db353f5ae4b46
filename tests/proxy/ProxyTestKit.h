#pragma once
// A socket I/O handler aimed at a target through a proxy played by a scripted loopback peer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Component.h"
#include "proxy/IdConnectThroughHttpProxy.h"
#include "tests/support/ScriptServer.h"
#include "transport/IdIOHandlerStack.h"

inline TBytes B(const std::string& s) {
  return TBytes(s.begin(), s.end());
}
inline std::string S(const TBytes& b) {
  return std::string(b.begin(), b.end());
}

// What a scripted proxy read from the client, safe to look at from the test thread.
class TWire {
 public:
  void Add(const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> G(FLock);
    FBytes.append(reinterpret_cast<const char*>(p), n);
  }
  std::string Bytes() const {
    std::lock_guard<std::mutex> G(FLock);
    return FBytes;
  }

 private:
  mutable std::mutex FLock;
  std::string FBytes;
};

// A peer that records what it reads.
class TRecordingPeer : public TScriptPeer {
 public:
  using TScriptPeer::TScriptPeer;
  // Reads exactly n bytes into the wire record; false (and the session fails) otherwise.
  std::string Read(TWire& AWire, size_t n) const {
    std::string s(n, '\0');
    if (!ReadExact(reinterpret_cast<uint8_t*>(s.data()), n, 5000)) {
      throw std::runtime_error("the client sent less than expected");
    }
    AWire.Add(reinterpret_cast<const uint8_t*>(s.data()), n);
    return s;
  }
  // Reads up to and including an empty line.
  std::string ReadHead(TWire& AWire) const {
    std::string s;
    while (s.size() < 4 || s.compare(s.size() - 4, 4, "\r\n\r\n") != 0) {
      uint8_t c;
      if (!ReadExact(&c, 1, 5000)) throw std::runtime_error("no end of request head");
      s += char(c);
    }
    AWire.Add(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    return s;
  }
  void Send(const std::string& s) const { TScriptPeer::Send(B(s)); }
  // Reads and drops what comes until the client closes or the time is up; never answers.
  void Silence(int AMs) const {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    uint8_t Buf[512];
    while (std::chrono::steady_clock::now() < End) {
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0 && recv(FFd, Buf, sizeof Buf, 0) <= 0) return;
    }
  }
};

using TProxyServer = TScriptServer<TRecordingPeer>;

// An enabled HTTP CONNECT proxy component at 127.0.0.1:APort, owned by AOwner.
inline TIdConnectThroughHttpProxy* HttpProxyAt(TComponent& AOwner, int APort,
                                               const std::string& AUser = "",
                                               const std::string& APassword = "") {
  auto* LProxy = New<TIdConnectThroughHttpProxy>(&AOwner);
  LProxy->SetHost("127.0.0.1");
  LProxy->SetPort(static_cast<TIdPort>(APort));
  LProxy->SetEnabled(true);
  LProxy->SetUsername(AUser);
  LProxy->SetPassword(APassword);
  return LProxy;
}

// The handler connects to AProxy's peer; its own host and port are the target.
inline std::unique_ptr<TIdIOHandlerStack> HandlerThrough(TIdCustomTransparentProxy* AProxy,
                                                         const std::string& ATargetHost,
                                                         int ATargetPort) {
  std::unique_ptr<TIdIOHandlerStack> LIO(New<TIdIOHandlerStack>(nullptr));
  LIO->SetHost(ATargetHost);
  LIO->SetPort(ATargetPort);
  LIO->SetTransparentProxy(AProxy);
  return LIO;
}

// Runs F and returns the exception's class name and message ("" when none was raised).
template <class F>
std::pair<std::string, std::string> Failure(F&& AFunc) {
  try {
    AFunc();
  } catch (const Exception& E) {
    return {E.ClassName(), E.Message()};
  }
  return {};
}

inline int64_t MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}
