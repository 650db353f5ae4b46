// The console window under load, against the demo server, under Qt's offscreen platform:
// - echo round trips typed into the command field and shown in the log (a trip ends when the
//   answer is in the log's text; the view paints at its frame rate), beside the same session
//   with the log bypassed (commands sent and answers taken straight at the component);
// - answers of 1 MiB and 16 MiB in one line and 16 MiB of short lines: time until the window is
//   idle with the answer in the log, the longest time the event loop could not run (a 5 ms
//   timer's largest gap) meanwhile, and the heap the log holds afterwards, beside the time
//   with the log bypassed.
// Rounds alternate between the two ways; the figures are medians.
#include <malloc.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <vector>

#include "bench/Figures.h"
#include "rcon/FRCON.h"
#include "rcon/qorRCON_Application.h"
#include "tests/support/ChildProcess.h"

namespace {

constexpr int kRounds = 5;
constexpr int kTripsPerRound = 2000;
constexpr int kTimeoutMs = 120000;

// Runs the event loop until aDone() holds; false after kTimeoutMs.
bool RunUntil(const std::function<bool()>& aDone) {
  QElapsedTimer clock;
  clock.start();
  while (!aDone()) {
    if (clock.elapsed() > kTimeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  return true;
}

// Bytes in use on the heap, large (mapped) blocks included.
double Heap() {
  const struct mallinfo2 m = mallinfo2();
  return double(m.uordblks) + double(m.hblkhd);
}

QString LastLine(TFRMRCON& w) {
  return w.Memo1->document()->lastBlock().text();
}

class TBench {
 public:
  explicit TBench(int aPort) {
    FWindow.show();
    FWindow.txtPort->setText(QString::number(aPort));
    FWindow.btnConnect->click();
    if (!RunUntil([&] { return FWindow.State() == TConsoleState::Authenticated; }))
      throw std::runtime_error("no connection to the demo server");
    FWindowHandler = FWindow.RCON->OnResponseComplete();
  }

  // Round trips per second through the command field and the log.
  double WindowTrips() {
    FWindow.RCON->SetOnResponseComplete(FWindowHandler);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kTripsPerRound; ++i) {
      const QString answer = QStringLiteral("round trip %1").arg(i);
      FWindow.txtCommand->setText(QStringLiteral("echo ") + answer);
      emit FWindow.txtCommand->returnPressed();
      if (!RunUntil([&] { return LastLine(FWindow) == answer; }))
        throw std::runtime_error("window round trip lost");
    }
    return kTripsPerRound / (double(clock.nsecsElapsed()) / 1e9);
  }

  // The same session, the log bypassed.
  double BypassedTrips() {
    std::string last;
    FWindow.RCON->SetOnResponseComplete(
        [&](TComponent*, int32_t, const std::string&, const std::string& aText) { last = aText; });
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kTripsPerRound; ++i) {
      const std::string answer = "round trip " + std::to_string(i);
      FWindow.RCON->ExecCommand("echo " + answer);
      if (!RunUntil([&] { return last == answer; }))
        throw std::runtime_error("bypassed round trip lost");
    }
    return kTripsPerRound / (double(clock.nsecsElapsed()) / 1e9);
  }

  struct TBig {
    double Seconds = 0;
    double LongestStallMs = 0;
    double HeldMiB = 0;  // heap the log holds once the answer is in
  };
  // aCommand's answer of aBytes; aShown: until the window is idle with it in the log, else
  // until the component has it.
  TBig BigAnswer(const std::string& aCommand, size_t aBytes, bool aShown) {
    bool received = false;
    FWindow.RCON->SetOnResponseComplete(
        [&](TComponent* aSender, int32_t aID, const std::string& aAsked, const std::string& aText) {
          if (aShown) FWindowHandler(aSender, aID, aAsked, aText);
          received = aText.size() == aBytes;
        });
    FWindow.Log().Clear();
    const double heldBefore = Heap();
    QElapsedTimer tick, clock;
    qint64 longest = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longest = std::max(longest, tick.restart()); });
    ticker.start(5);
    tick.start();
    clock.start();
    FWindow.RCON->ExecCommand(aCommand + " " + std::to_string(aBytes));
    const bool ok = RunUntil([&] { return received && FWindow.Log().Idle(); });
    TBig result{double(clock.nsecsElapsed()) / 1e9, double(longest),
                (Heap() - heldBefore) / (1 << 20)};
    ticker.stop();
    if (!ok) throw std::runtime_error("the long answer did not arrive");
    return result;
  }

 private:
  // History and saved servers in a folder of this run, never the user's.
  QTemporaryDir FFolder;
  TFRMRCON FWindow{nullptr, FFolder.path(), FFolder.filePath(QStringLiteral("qorRCON.ini"))};
  TqorRCONResponseCompleteEvent FWindowHandler;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  InstallMainThreadHooks();
  int code = 0;
  try {
    TRCONDemoServerProcess server(RCON_DEMO_SERVER);
    TBench bench(server.Port());
    std::vector<double> window, bypassed;
    for (int r = 0; r < kRounds; ++r) {
      window.push_back(bench.WindowTrips());
      bypassed.push_back(bench.BypassedTrips());
    }
    struct {
      const char* Name;
      const char* Command;
      size_t Bytes;
      double Target;
    } answers[] = {{"1 MiB in one line", "wide", 1u << 20, 1},
                   {"16 MiB in one line", "wide", 16u << 20, 2},
                   {"16 MiB of 64-byte lines", "long", 16u << 20, 0}};
    std::printf(
        "console window against the demo server (offscreen), medians of interleaved rounds\n");
    std::printf("  echo round trips, %d per round, %d rounds\n", kTripsPerRound, kRounds);
    std::printf("    through the window:     %8.0f /s\n", Median(window));
    std::printf("    log bypassed:           %8.0f /s\n", Median(bypassed));
    std::printf("    ratio window/bypassed:  %8.2f (target >= 0.80)\n",
                Median(window) / Median(bypassed));
    std::printf(
        "  large answers, 3 rounds: time until the window is idle, longest event loop\n"
        "  stall, heap the log holds afterwards; beside them the log bypassed\n");
    for (const auto& a : answers) {
      std::vector<double> shown, direct, stall, stallDirect, held;
      for (int r = 0; r < 3; ++r) {
        const auto s = bench.BigAnswer(a.Command, a.Bytes, true);
        shown.push_back(s.Seconds);
        stall.push_back(s.LongestStallMs);
        held.push_back(s.HeldMiB);
        const auto d = bench.BigAnswer(a.Command, a.Bytes, false);
        direct.push_back(d.Seconds);
        stallDirect.push_back(d.LongestStallMs);
      }
      char target[32] = "";
      if (a.Target > 0) std::snprintf(target, sizeof target, " (target <= %.0f s)", a.Target);
      std::printf("    %-24s idle after %6.2f s%s, stall %4.0f ms, log holds %6.1f MiB\n", a.Name,
                  Median(shown), target, Median(stall), Median(held));
      std::printf("    %-24s bypassed   %6.2f s, stall %4.0f ms\n", "", Median(direct),
                  Median(stallDirect));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rcon_console: %s\n", e.what());
    code = 1;
  }
  RemoveMainThreadHooks();
  return code;
}
