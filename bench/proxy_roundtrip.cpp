// RCON round trips straight to the demo server and through real proxies (microsocks for
// SOCKS 5, tinyproxy for HTTP CONNECT), each with this transport and with a plain blocking
// socket that does the same handshake by hand: the proxy's cost is the extra hop, and the
// client should add nothing to it. Then the traffic log's cost on a 16 MiB answer.
// Medians of interleaved rounds.
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/Figures.h"
#include "bench/OneConnectionServer.h"
#include "proxy/IdConnectThroughHttpProxy.h"
#include "proxy/IdSocksInfo.h"
#include "proxy/qorIdLogFile.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProxyPeers.h"
#include "tests/support/RCONWire.h"
#include "transport/IdIOHandlerStack.h"

namespace {

constexpr int kRounds = 5;
constexpr int kRoundTrips = 2000;
constexpr int64_t kAnswerBytes = 16 << 20;
const std::string kCommand = "echo round trip";

using Clock = std::chrono::steady_clock;

// One connection that sends a request and reads one whole answer packet.
struct TConnection {
  virtual ~TConnection() = default;
  virtual void Send(const TIdBytes& aBytes) = 0;
  virtual void Read(uint8_t* aOut, size_t aCount) = 0;
  int32_t RoundTrip(const TIdBytes& aRequest) {
    Send(aRequest);
    TWirePacket answer;
    auto read = [this](uint8_t* aOut, size_t aCount) {
      Read(aOut, aCount);
      return true;
    };
    if (!ReadWirePacket(read, answer)) throw std::runtime_error("bad answer");
    return answer.ID;
  }
};

// This transport, through the proxy (or none).
class TTransportConnection : public TConnection {
 public:
  TTransportConnection(TIdCustomTransparentProxy* aProxy, int aPort)
      : FIO(New<TIdIOHandlerStack>(nullptr)) {
    FIO->SetHost("127.0.0.1");
    FIO->SetPort(aPort);
    FIO->SetUseNagle(false);
    FIO->SetReadTimeout(10000);
    if (aProxy) FIO->SetTransparentProxy(aProxy);
    FIO->Open();
  }
  void Send(const TIdBytes& aBytes) override { FIO->Write(aBytes); }
  void Read(uint8_t* aOut, size_t aCount) override {
    FIO->ReadBytes(FBuffer, int(aCount), false);
    std::copy(FBuffer.begin(), FBuffer.end(), aOut);
  }

 private:
  std::unique_ptr<TIdIOHandlerStack> FIO;
  TIdBytes FBuffer;
};

// A plain blocking socket; the handshake written out by hand.
class TSocketConnection : public TConnection {
 public:
  TSocketConnection(const std::string& aKind, int aProxyPort, int aPort) {
    FFd = ConnectLoopback(uint16_t(aKind.empty() ? aPort : aProxyPort));
    if (FFd < 0) throw std::runtime_error("connect failed");
    SetTimeouts(FFd);
    uint8_t reply[64];
    if (aKind == "socks5") {
      Send({5, 1, 0});
      Read(reply, 2);
      Send({5, 1, 0, 1, 127, 0, 0, 1, uint8_t(aPort >> 8), uint8_t(aPort)});
      Read(reply, 10);
      if (reply[1] != 0) throw std::runtime_error("SOCKS refused");
    } else if (aKind == "http") {
      const std::string req = "CONNECT 127.0.0.1:" + std::to_string(aPort) + " HTTP/1.0\r\n\r\n";
      Send(TIdBytes(req.begin(), req.end()));
      std::string head;
      while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        Read(reply, 1);
        head += char(reply[0]);
      }
      if (head.find(" 200 ") == std::string::npos) throw std::runtime_error("CONNECT refused");
    }
  }
  ~TSocketConnection() override { close(FFd); }
  void Send(const TIdBytes& aBytes) override {
    for (size_t sent = 0; sent < aBytes.size();) {
      const ssize_t n = send(FFd, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      sent += size_t(n);
    }
  }
  void Read(uint8_t* aOut, size_t aCount) override {
    for (size_t got = 0; got < aCount;) {
      const ssize_t n = recv(FFd, aOut + got, aCount - got, 0);
      if (n <= 0) throw std::runtime_error("receive failed");
      got += size_t(n);
    }
  }

 private:
  int FFd = -1;
};

double RoundTripsPerSecond(TConnection& aConnection) {
  if (aConnection.RoundTrip(WirePacket(1, 3, "zulu")) != 1)
    throw std::runtime_error("not authenticated");
  const TIdBytes request = WirePacket(2, 2, kCommand);
  const auto start = Clock::now();
  for (int i = 0; i < kRoundTrips; ++i) aConnection.RoundTrip(request);
  return kRoundTrips / std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads a 16 MiB stream through the handler, with or without the log intercept; MiB/s.
double ReadAnswer(TIdConnectionIntercept* aLog) {
  TOneConnectionServer server(Stream(std::string(65536, 'x'), kAnswerBytes));
  std::unique_ptr<TIdIOHandlerStack> io(New<TIdIOHandlerStack>(nullptr));
  io->SetHost("127.0.0.1");
  io->SetPort(server.Port());
  io->SetReadTimeout(10000);
  io->SetIntercept(aLog);
  const auto start = Clock::now();
  io->Open();
  TIdBytes chunk;
  for (int64_t left = kAnswerBytes; left > 0; left -= int64_t(chunk.size())) {
    io->ReadBytes(chunk, -1, false);
  }
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  io->Close();
  return kAnswerBytes / 1048576.0 / s;
}

}  // namespace

int main() {
  try {
    TRCONDemoServerProcess server(RCON_DEMO_SERVER);
    std::unique_ptr<TProxyPeer> socks, http;
    if (HaveProgram("/usr/bin/microsocks")) socks = StartProxyPeer("microsocks");
    if (HaveProgram("/usr/bin/tinyproxy")) http = StartProxyPeer("tinyproxy");
    TComponent owner(nullptr);
    auto* socksInfo = New<TIdSocksInfo>(&owner);
    socksInfo->SetVersion(svSocks5);
    auto* httpProxy = New<TIdConnectThroughHttpProxy>(&owner);
    httpProxy->SetEnabled(true);
    socksInfo->SetHost("127.0.0.1");
    httpProxy->SetHost("127.0.0.1");
    if (socks) socksInfo->SetPort(socks->Port);
    if (http) httpProxy->SetPort(http->Port);

    struct TPath {
      const char* Name;
      std::function<std::unique_ptr<TConnection>()> Make;
      std::vector<double> Rates;
    };
    std::vector<TPath> paths;
    const int port = server.Port();
    paths.push_back({"direct, plain socket",
                     [&] { return std::make_unique<TSocketConnection>("", 0, port); },
                     {}});
    paths.push_back({"direct, transport",
                     [&] { return std::make_unique<TTransportConnection>(nullptr, port); },
                     {}});
    if (socks) {
      paths.push_back(
          {"microsocks, plain socket",
           [&] { return std::make_unique<TSocketConnection>("socks5", socks->Port, port); },
           {}});
      paths.push_back({"microsocks, transport + TIdSocksInfo",
                       [&] { return std::make_unique<TTransportConnection>(socksInfo, port); },
                       {}});
    }
    if (http) {
      paths.push_back(
          {"tinyproxy, plain socket",
           [&] { return std::make_unique<TSocketConnection>("http", http->Port, port); },
           {}});
      paths.push_back({"tinyproxy, transport + HTTP CONNECT",
                       [&] { return std::make_unique<TTransportConnection>(httpProxy, port); },
                       {}});
    }
    for (int round = 0; round < kRounds; ++round) {
      for (TPath& p : paths) {
        auto c = p.Make();
        p.Rates.push_back(RoundTripsPerSecond(*c));
      }
    }
    std::printf("RCON round trips per second (%d per round), median of %d interleaved rounds\n",
                kRoundTrips, kRounds);
    for (TPath& p : paths) {
      std::printf("  %-40s %9.0f  (%.0f..%.0f)\n", p.Name, Median(p.Rates), Range(p.Rates).first,
                  Range(p.Rates).second);
    }
    if (!socks) std::printf("  (microsocks not installed)\n");
    if (!http) std::printf("  (tinyproxy not installed)\n");

    TTempFolder folder;
    std::vector<double> plain, logged;
    for (int round = 0; round < kRounds; ++round) {
      plain.push_back(ReadAnswer(nullptr));
      std::unique_ptr<TqorIdLogFileClient> log(New<TqorIdLogFileClient>(nullptr));
      log->SetReplaceCRLF(false);
      log->SetFilename(folder.File("traffic.log"));
      log->SetActive(true);
      logged.push_back(ReadAnswer(log.get()));
      log.reset();
      unlink(folder.File("traffic.log").c_str());
    }
    std::printf("A 16 MiB answer read by the transport, MiB/s, median of %d interleaved rounds\n",
                kRounds);
    std::printf("  %-40s %9.0f\n  %-40s %9.0f\n", "no intercept", Median(plain),
                "traffic log (TqorIdLogFileClient)", Median(logged));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
