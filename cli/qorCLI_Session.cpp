#include "cli/qorCLI_Session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "cli/qorCLI_Output.h"
#include "cli/qorCLI_Prompt.h"
#include "platform/MainThread.h"

namespace {

volatile sig_atomic_t gInterrupted = 0;
int gWakeFd = -1;

void OnInterrupt(int) {
  gInterrupted = 1;
  const char c = 0;
  (void)!write(gWakeFd, &c, 1);
}

int Milliseconds(double aSeconds) {
  return aSeconds <= 0 ? 0 : int(std::min(aSeconds * 1000.0, double(INT_MAX)));
}

std::string SecondsText(double aSeconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", aSeconds);
  return buf;
}

// The transport's messages may hold a line break ("Socket Error # 10061\r\nConnection ...").
std::string OneLine(std::string aText) {
  std::string out;
  for (char c : aText) {
    if (c == '\r') continue;
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

}  // namespace

TqorCLI_Session::TqorCLI_Session(TqorCLI_Settings aSettings, bool aColour)
    : FSettings(std::move(aSettings)), FColour(aColour) {
  const bool v6 = FSettings.Host.find(':') != std::string::npos;
  FAddress =
      (v6 ? "[" + FSettings.Host + "]" : FSettings.Host) + ":" + std::to_string(FSettings.Port);
  if (pipe2(FWake, O_NONBLOCK | O_CLOEXEC) != 0) FWake[0] = FWake[1] = -1;
  gWakeFd = FWake[1];
  const int wake = FWake[1];
  SetWakeMainThread([wake] {
    const char c = 0;
    (void)!write(wake, &c, 1);
  });
  Configure();
}

TqorCLI_Session::~TqorCLI_Session() {
  FRCON.SetActive(false);
  SetWakeMainThread({});
  gWakeFd = -1;
  for (int fd : FWake)
    if (fd >= 0) close(fd);
}

void TqorCLI_Session::Configure() {
  FRCON.SetNotifyEvents(neAsynchronous);
  FRCON.RCON_Options()->SetHost(FSettings.Host);
  FRCON.RCON_Options()->SetPort(FSettings.Port);
  FRCON.RCON_Options()->SetPassword(FSettings.Password.value_or(""));
  FRCON.SetConnectTimeout(Milliseconds(FSettings.ConnectTimeout));
  // Raw output shows the packets as the server sends them: nothing but the commands goes out.
  FRCON.SetSendFences(!FSettings.Raw);
  TqorTCPCLient& tcp = FRCON.TCP();
  if (FSettings.Host.find(':') != std::string::npos) tcp.SetIPVersion(Id_IPv6);
  const TqorCLI_Proxy& p = FSettings.Proxy;
  if (p.Enabled) {
    tcp.Proxy().SetEnabled(true);
    tcp.Proxy().SetProxyType(p.Type);
    tcp.Proxy().SetHost(p.Host);
    tcp.Proxy().SetPort(p.Port);
    tcp.Proxy().SetUsername(p.User);
    tcp.Proxy().SetPassword(p.Password);
  }
  const TqorCLI_TLS& t = FSettings.TLS;
  if (t.Enabled) {
    tcp.SetTLS(true);
    TqorTCPTLS_Options& o = tcp.TLSOptions();
    o.SetIOHandler(t.Handler);
    o.SetVersion(t.Version);
    o.SetVerifyCertificate(t.Verify);
    o.SetRootCertFile(t.CA);
    o.SetCertFile(t.Cert);
    o.SetKeyFile(t.Key);
    for (const std::string& protocol : t.ALPN) o.ALPNProtocols().Add(protocol);
  }
  if (!FSettings.LogFile.empty()) {
    tcp.LogFile().SetEnabled(true);
    tcp.LogFile().SetFileName(FSettings.LogFile);
  }
  if (FSettings.Throttle > 0) {
    tcp.Throttle().SetEnabled(true);
    tcp.Throttle().SetBitsPerSec(FSettings.Throttle);
  }

  FRCON.SetOnConnect([this](TComponent*) {
    FAuthenticated = 0;
    FDisconnected = false;
    FHaveError = false;
  });
  FRCON.SetOnDisconnect([this](TComponent*) { FDisconnected = true; });
  FRCON.SetOnException([this](TComponent*, Exception& E) {
    if (FHaveError) return;
    FHaveError = true;
    FError = OneLine(E.Message());
  });
  FRCON.SetOnAuthenticate(
      [this](TComponent*, bool aOK, const TqorRCON_Packet&) { FAuthenticated = aOK ? 1 : -1; });
  FRCON.SetOnResponse([this](TComponent*, const std::string& aBody, const TqorRCON_Packet& aP) {
    // Fence replies are the program's own, not the answer's.
    if (FWaiting && aP.ID() < TqorRCON_AnswerAssembler::FenceIDOffset) ++FPackets;
    if (FSettings.Raw && !FSettings.Silent && FAuthenticated > 0) Write(aBody + "\n");
  });
  FRCON.SetOnResponseComplete([this](TComponent*, int32_t, const std::string& aCommand,
                                     const std::string& aText) {
    const double ms = std::chrono::duration<double, std::milli>(TClock::now() - FSentAt).count();
    if (aCommand.empty()) {
      PrintAnswer(nullptr, aText, 1, 0);
      return;
    }
    PrintAnswer(&aCommand, aText, FPackets, ms);
    if (FWaiting) FAnswered = true;
  });
}

int TqorCLI_Session::Fail(int aExit, const std::string& aMessage) {
  std::fflush(stdout);
  std::fprintf(stderr, "qorrcon: %s: %s\n", FAddress.c_str(), aMessage.c_str());
  return aExit;
}

int TqorCLI_Session::Lost() {
  // The close is reported first, its reason right after.
  if (!FHaveError) Wait([this] { return FHaveError; }, 2.0);
  return Fail(exConnection, FHaveError ? FError : "the connection was closed");
}

void TqorCLI_Session::Write(const std::string& aText) {
  if (FPrompt) {
    FPrompt->Print(aText);
    return;
  }
  std::fwrite(aText.data(), 1, aText.size(), stdout);
}

void TqorCLI_Session::PrintAnswer(const std::string* aCommand, const std::string& aText,
                                  int aPackets, double aMilliseconds) {
  if (FSettings.Silent || FSettings.Raw) return;
  if (FSettings.Json) {
    Write(JsonAnswer(aCommand, StripColours(aText), aPackets, aMilliseconds) + "\n");
    return;
  }
  std::string text = FColour ? ColoursToANSI(aText) : StripColours(aText);
  if (text.empty()) return;
  if (text.back() != '\n') text += '\n';
  Write(text);
}

TqorCLI_Session::TWait TqorCLI_Session::Wait(const std::function<bool()>& aDone, double aSeconds,
                                             int aInput) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(Milliseconds(aSeconds));
  // Output waits in the buffer while answers come quickly, not while the program sits idle.
  if (aInput >= 0 || aSeconds > 0) std::fflush(stdout);
  for (;;) {
    CheckSynchronize(0);
    const bool open = FRCON.OpenResponses() > 0;
    if (open) FRCON.CheckResponses();
    if (aDone()) return wDone;
    if (gInterrupted) {
      gInterrupted = 0;
      return wInterrupted;
    }
    int timeout = -1;
    if (aSeconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
      if (left <= 0) return wTimedOut;
      timeout = int(std::min<int64_t>(left, INT_MAX));
    }
    // Answers cut at full size end after a quiet period, which only a later check sees.
    if (open) timeout = timeout < 0 ? 50 : std::min(timeout, 50);
    pollfd fds[2] = {{FWake[0], POLLIN, 0}, {aInput, POLLIN, 0}};
    if (poll(fds, aInput >= 0 ? 2 : 1, timeout) <= 0) continue;
    if (fds[0].revents) {
      char drain[256];
      while (read(FWake[0], drain, sizeof drain) > 0) {
      }
    }
    if (aInput >= 0 && fds[1].revents) return wInput;
  }
}

int TqorCLI_Session::Connect() {
  // Failures (refused, time-out, proxy, TLS) reach OnException on this thread while it runs.
  FRCON.SetActive(true);
  if (!FRCON.Active() || FDisconnected)
    return Fail(exConnection, FHaveError ? FError : "cannot connect");
  Wait([this] { return FAuthenticated != 0 || FDisconnected; }, FSettings.AnswerTimeout);
  if (FAuthenticated > 0) return exOK;
  if (FAuthenticated < 0) return Fail(exAuthentication, "not authenticated: wrong password");
  if (FDisconnected) return Lost();
  return Fail(exNoAnswer, "no answer to the authentication after " +
                              SecondsText(FSettings.AnswerTimeout) + " s");
}

int TqorCLI_Session::Execute(const std::string& aCommand) {
  if (FDisconnected || !FRCON.Active()) return Lost();
  FAnswered = false;
  FPackets = 0;
  FSentAt = TClock::now();
  FWaiting = true;
  try {
    FRCON.ExecCommand(aCommand);
  } catch (Exception& E) {
    FWaiting = false;
    if (!FHaveError) {
      FHaveError = true;
      FError = OneLine(E.Message());
    }
    return Lost();
  }
  const TWait result = Wait([this] { return FAnswered || FDisconnected; }, FSettings.AnswerTimeout);
  FWaiting = false;
  if (FAnswered) return exOK;
  if (result == wInterrupted) {
    // Ctrl+C at the prompt stops the waiting; a late answer still shows when it comes.
    if (FPrompt) FPrompt->Interrupt();
    return exOK;
  }
  if (FDisconnected) return Lost();
  return Fail(exNoAnswer, "no answer to \"" + aCommand + "\" after " +
                              SecondsText(FSettings.AnswerTimeout) + " s");
}

int TqorCLI_Session::Run(int aInput, bool aTerminal) {
  int rc = Connect();
  bool first = true;
  auto send = [&](const std::string& aCommand) {
    if (!first && FSettings.WaitSeconds > 0) {
      Wait([this] { return FDisconnected; }, FSettings.WaitSeconds);
    }
    first = false;
    return Execute(aCommand);
  };
  for (size_t i = 0; rc == exOK && i < FSettings.Commands.size(); ++i)
    rc = send(FSettings.Commands[i]);
  if (rc == exOK && (FSettings.Interactive || FSettings.Commands.empty())) {
    if (aTerminal) return RunPrompt(aInput);
    // One command per line; empty lines are skipped. Read in blocks: a script may be long.
    std::string buffer;
    size_t pos = 0;
    for (bool end = false; rc == exOK;) {
      const size_t nl = buffer.find('\n', pos);
      std::string line;
      if (nl != std::string::npos) {
        line = buffer.substr(pos, nl - pos);
        pos = nl + 1;
      } else if (end) {
        if (pos >= buffer.size()) break;
        line = buffer.substr(pos);
        pos = buffer.size();
      } else {
        buffer.erase(0, pos);
        pos = 0;
        Wait([] { return false; }, 0, aInput);
        char chunk[65536];
        const ssize_t n = read(aInput, chunk, sizeof chunk);
        if (n > 0)
          buffer.append(chunk, size_t(n));
        else
          end = n == 0 || (errno != EINTR && errno != EAGAIN);
        continue;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) rc = send(line);
    }
  }
  return rc;
}

int TqorCLI_Session::RunPrompt(int aInput) {
  TqorCLI_Prompt prompt(FAddress + "> ", TqorCLI_Prompt::HistoryFile());
  FPrompt = &prompt;
  struct sigaction action {
  }, previous{};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);
  int rc = exOK;
  prompt.Show();
  for (;;) {
    const TWait result = Wait([this] { return FDisconnected; }, 0, aInput);
    if (result == wDone) {
      prompt.Hide();
      rc = Lost();
      break;
    }
    if (result == wInterrupted) {
      prompt.Interrupt();
      continue;
    }
    prompt.ReadKeys();
    if (prompt.Ended()) break;
    if (auto line = prompt.TakeLine()) {
      if (!line->empty()) {
        prompt.Remember(*line, FSettings.Password.value_or(""));
        rc = Execute(*line);
        if (rc == exConnection) break;
      }
      prompt.Show();
    }
  }
  sigaction(SIGINT, &previous, nullptr);
  FPrompt = nullptr;
  // Ctrl+D, or an answer missing now and then, is no failure of the session.
  return rc == exConnection ? rc : exOK;
}
