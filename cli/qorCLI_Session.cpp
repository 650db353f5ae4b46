#include "cli/qorCLI_Session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>

#include "cli/qorCLI_Output.h"
#include "cli/qorCLI_Prompt.h"
#include "platform/MainThread.h"

namespace {

constexpr const char* kSystemCAs = "/etc/ssl/certs/ca-certificates.crt";

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

void TqorCLI_Session::Wake() {
  const char c = 0;
  (void)!write(FWake[1], &c, 1);
}

void TqorCLI_Session::Configure() {
  FRCON.SetNotifyEvents(neNoSync);
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
    // Verification without a CA file of its own trusts what the system trusts.
    o.SetRootCertFile(t.CA.empty() && t.Verify && access(kSystemCAs, R_OK) == 0 ? kSystemCAs
                                                                                : t.CA);
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
    TGuard g(FLock);
    FAuthenticated = 0;
    FDisconnected = false;
    FHaveError = false;
  });
  FRCON.SetOnDisconnect([this](TComponent*) {
    TGuard g(FLock);
    FDisconnected = true;
    Wake();
  });
  FRCON.SetOnException([this](TComponent*, Exception& E) {
    TGuard g(FLock);
    SetError(E.Message());
    Wake();
  });
  FRCON.SetOnAuthenticate([this](TComponent*, bool aOK, const TqorRCON_Packet&) {
    TGuard g(FLock);
    FAuthenticated = aOK ? 1 : -1;
    Wake();
  });
  FRCON.SetOnResponse([this](TComponent*, const std::string& aBody, const TqorRCON_Packet& aP) {
    TGuard g(FLock);
    // Fence replies are the program's own, not the answer's.
    if (FWaiting && aP.ID() < TqorRCON_AnswerAssembler::FenceIDOffset) ++FPackets;
    if (FSettings.Raw && !FSettings.Silent && FAuthenticated > 0) Output(aBody + "\n");
  });
  FRCON.SetOnResponseComplete(
      [this](TComponent*, int32_t, const std::string& aCommand, const std::string& aText) {
        TGuard g(FLock);
        if (aCommand.empty()) {
          PrintAnswer(nullptr, aText, 1, 0);
          return;
        }
        const auto now = TClock::now();
        PrintAnswer(&aCommand, aText, FPackets,
                    std::chrono::duration<double, std::milli>(now - FSentAt).count());
        if (!FWaiting) return;  // a late answer, after a time-out or Ctrl+C
        FWaiting = false;
        FAnsweredAt = now;
        if (FChain && !FQueue.empty())
          SendNext();
        else
          Wake();
      });
}

void TqorCLI_Session::SetError(const std::string& aMessage) {
  if (FHaveError) return;
  FHaveError = true;
  FError = OneLine(aMessage);
}

void TqorCLI_Session::SendNext() {
  const std::string command = std::move(FQueue.front());
  FQueue.pop_front();
  // The main thread reads ahead again when half the lines read ahead have gone.
  if (FQueue.size() == QueueLimit / 2 || FQueue.empty()) Wake();
  FWaiting = true;
  FCommand = command;
  FPackets = 0;
  FSentAny = true;
  FSentAt = TClock::now();
  try {
    FRCON.ExecCommand(command);
  } catch (Exception& E) {
    FWaiting = false;
    FWriteFailed = true;
    SetError(E.Message());
    Wake();
  }
}

void TqorCLI_Session::Output(const std::string& aText) {
  if (FDirect) {
    std::fwrite(aText.data(), 1, aText.size(), stdout);
    return;
  }
  FPending += aText;
  Wake();
}

void TqorCLI_Session::DrainOutput() {
  std::string text;
  {
    TGuard g(FLock);
    text.swap(FPending);
  }
  if (text.empty()) return;
  if (FPrompt)
    FPrompt->Print(text);
  else
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void TqorCLI_Session::PrintAnswer(const std::string* aCommand, const std::string& aText,
                                  int aPackets, double aMilliseconds) {
  if (FSettings.Silent || FSettings.Raw) return;
  if (FSettings.Json) {
    Output(JsonAnswer(aCommand, StripColours(aText), aPackets, aMilliseconds) + "\n");
    return;
  }
  std::string text = FColour ? ColoursToANSI(aText) : StripColours(aText);
  if (text.empty()) return;
  if (text.back() != '\n') text += '\n';
  Output(text);
}

int TqorCLI_Session::Fail(int aExit, const std::string& aMessage) {
  DrainOutput();
  std::fflush(stdout);
  std::fprintf(stderr, "qorrcon: %s: %s\n", FAddress.c_str(), aMessage.c_str());
  return aExit;
}

int TqorCLI_Session::Lost() {
  // The close is reported first, its reason right after.
  Wait([this] { return FHaveError; }, 2.0);
  TGuard g(FLock);
  return Fail(exConnection, FHaveError ? FError : "the connection was closed");
}

int TqorCLI_Session::CheckAnswers(int aTimeoutMs) {
  if (FRCON.OpenResponses() == 0) return aTimeoutMs;
  FRCON.CheckResponses();
  // Answers cut at full size end after a quiet period, which only a later check sees.
  return aTimeoutMs < 0 ? 50 : std::min(aTimeoutMs, 50);
}

TqorCLI_Session::TWait TqorCLI_Session::Wait(const std::function<bool()>& aDone, double aSeconds,
                                             int aInput) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(Milliseconds(aSeconds));
  for (;;) {
    CheckSynchronize(0);
    DrainOutput();
    {
      TGuard g(FLock);
      if (aDone()) return wDone;
    }
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
    timeout = CheckAnswers(timeout);
    // Output waits in the buffer while answers come quickly, not while the program sits idle.
    if (aInput >= 0 || FPrompt) std::fflush(stdout);
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
  const bool connected = FRCON.Active();
  {
    TGuard g(FLock);
    if (!connected || FDisconnected)
      return Fail(exConnection, FHaveError ? FError : "cannot connect");
  }
  Wait([this] { return FAuthenticated != 0 || FDisconnected; }, FSettings.AnswerTimeout);
  std::unique_lock<std::recursive_mutex> g(FLock);
  if (FAuthenticated > 0) return exOK;
  if (FAuthenticated < 0) return Fail(exAuthentication, "not authenticated: wrong password");
  if (FDisconnected) {
    g.unlock();  // the reason is still on its way from the reading thread
    return Lost();
  }
  return Fail(exNoAnswer, "no answer to the authentication after " +
                              SecondsText(FSettings.AnswerTimeout) + " s");
}

int TqorCLI_Session::RunQueue(int aInput) {
  bool inputEnded = aInput < 0;
  std::string buffer;
  const int answerMs = Milliseconds(FSettings.AnswerTimeout);
  const int pauseMs = Milliseconds(FSettings.WaitSeconds);
  {
    TGuard g(FLock);
    FQueue.assign(FSettings.Commands.begin(), FSettings.Commands.end());
    FChain = pauseMs == 0;
  }
  for (;;) {
    CheckSynchronize(0);
    int timeout = -1;
    bool readAhead = false;
    {
      TGuard g(FLock);
      if (FWriteFailed || (FDisconnected && (FWaiting || !FQueue.empty()))) break;
      const auto now = TClock::now();
      if (!FWaiting && !FQueue.empty()) {
        const int paused =
            FSentAny ? int(std::chrono::duration_cast<std::chrono::milliseconds>(now - FAnsweredAt)
                               .count())
                     : pauseMs;
        if (paused >= pauseMs)
          SendNext();
        else
          timeout = pauseMs - paused;
      }
      if (FWaiting && answerMs > 0) {
        const int64_t left =
            answerMs - std::chrono::duration_cast<std::chrono::milliseconds>(now - FSentAt).count();
        if (left <= 0) {
          FWaiting = false;
          return Fail(exNoAnswer, "no answer to \"" + FCommand + "\" after " +
                                      SecondsText(FSettings.AnswerTimeout) + " s");
        }
        timeout = timeout < 0 ? int(left) : std::min(timeout, int(left));
      }
      if (!FWaiting && FQueue.empty() && inputEnded) return exOK;
      readAhead = !inputEnded && FQueue.size() < QueueLimit;
      // Idle until more input comes: what was printed goes out now.
      if (!FWaiting && FQueue.empty()) std::fflush(stdout);
    }
    timeout = CheckAnswers(timeout);
    pollfd fds[2] = {{FWake[0], POLLIN, 0}, {aInput, POLLIN, 0}};
    if (poll(fds, readAhead ? 2 : 1, timeout) <= 0) continue;
    if (fds[0].revents) {
      char drain[256];
      while (read(FWake[0], drain, sizeof drain) > 0) {
      }
    }
    if (!readAhead || !fds[1].revents) continue;
    // One command per line; empty lines are skipped.
    char chunk[65536];
    const ssize_t n = read(aInput, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n > 0)
      buffer.append(chunk, size_t(n));
    else
      inputEnded = true;
    TGuard g(FLock);
    size_t pos = 0;
    for (size_t nl; (nl = buffer.find('\n', pos)) != std::string::npos || inputEnded;) {
      const size_t end = nl == std::string::npos ? buffer.size() : nl;
      std::string line = buffer.substr(pos, end - pos);
      pos = nl == std::string::npos ? buffer.size() : nl + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") != std::string::npos) FQueue.push_back(std::move(line));
      if (pos >= buffer.size()) break;
    }
    buffer.erase(0, pos);
  }
  return Lost();
}

int TqorCLI_Session::Execute(const std::string& aCommand) {
  bool sent = false;
  {
    TGuard g(FLock);
    if (!FDisconnected && !FWriteFailed) {
      FQueue.push_back(aCommand);
      SendNext();
      sent = !FWriteFailed;
    }
  }
  TWait result = wDone;
  if (sent) result = Wait([this] { return !FWaiting || FDisconnected; }, FSettings.AnswerTimeout);
  std::unique_lock<std::recursive_mutex> g(FLock);
  if (sent && !FWaiting) return exOK;
  FWaiting = false;
  if (!sent || FDisconnected) {
    g.unlock();  // the reason may still be on its way from the reading thread
    return Lost();
  }
  if (result == wInterrupted) {
    // Ctrl+C stops the waiting; a late answer still shows when it comes.
    FPrompt->Interrupt();
    return exOK;
  }
  return Fail(exNoAnswer, "no answer to \"" + aCommand + "\" after " +
                              SecondsText(FSettings.AnswerTimeout) + " s");
}

int TqorCLI_Session::Run(int aInput, bool aTerminal) {
  int rc = Connect();
  if (rc != exOK) return rc;
  const bool more = FSettings.Interactive || FSettings.Commands.empty();
  rc = RunQueue(more && !aTerminal ? aInput : -1);
  if (rc != exOK || !more || !aTerminal) return rc;
  {
    TGuard g(FLock);
    FDirect = false;
    FChain = false;
  }
  std::fflush(stdout);
  return RunPrompt(aInput);
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
      prompt.Clear();
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
