// The console window under load, against the demo server, under Qt's offscreen platform:
// - echo round trips typed into the command field and shown in the log (a trip ends when the
//   answer is in the log's text; the view paints at its frame rate), beside the same session
//   with the log bypassed (commands sent and answers taken straight at the component);
// - a 16 MiB answer: time until its last line is shown, and the longest time the event loop
//   could not run (a 5 ms timer's largest gap) meanwhile, beside the bypassed time.
// Rounds alternate between the two ways; the figures are medians.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <vector>

#include "rcon/FRCON.h"
#include "rcon/qorRCON_Application.h"
#include "tests/support/ChildProcess.h"

namespace {

constexpr int kRounds = 5;
constexpr int kTripsPerRound = 2000;
constexpr int kBigAnswer = 16 * 1024 * 1024;
constexpr int kTimeoutMs = 120000;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

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
  };
  // The 16 MiB answer; aShown: until the window shows its last line, else until the
  // component has it.
  TBig BigAnswer(bool aShown) {
    const QString lastLine = QStringLiteral("line 262143 ");
    bool received = false;
    if (aShown) {
      FWindow.RCON->SetOnResponseComplete(FWindowHandler);
    } else {
      FWindow.RCON->SetOnResponseComplete(
          [&](TComponent*, int32_t, const std::string&, const std::string& aText) {
            received = aText.size() == size_t(kBigAnswer);
          });
    }
    FWindow.Log().Flush();
    QElapsedTimer tick, clock;
    qint64 longest = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longest = std::max(longest, tick.restart()); });
    ticker.start(5);
    tick.start();
    clock.start();
    FWindow.RCON->ExecCommand("long " + std::to_string(kBigAnswer));
    const bool ok = RunUntil([&] {
      // The text ends with a line break, so its last line is the one before the last block.
      return aShown ? FWindow.Memo1->document()->lastBlock().previous().text().startsWith(lastLine)
                    : received;
    });
    TBig result{double(clock.nsecsElapsed()) / 1e9, double(longest)};
    ticker.stop();
    if (!ok) throw std::runtime_error("the long answer did not arrive");
    FWindow.Log().Clear();
    return result;
  }

 private:
  TFRMRCON FWindow{nullptr, QStringLiteral("/tmp/qor-rcon-console-bench")};
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
    std::vector<double> window, bypassed, bigShown, bigBypassed, stall, stallBypassed;
    for (int r = 0; r < kRounds; ++r) {
      window.push_back(bench.WindowTrips());
      bypassed.push_back(bench.BypassedTrips());
    }
    for (int r = 0; r < 3; ++r) {
      const auto shown = bench.BigAnswer(true);
      bigShown.push_back(shown.Seconds);
      stall.push_back(shown.LongestStallMs);
      const auto direct = bench.BigAnswer(false);
      bigBypassed.push_back(direct.Seconds);
      stallBypassed.push_back(direct.LongestStallMs);
    }
    std::printf(
        "console window against the demo server (offscreen), medians of interleaved rounds\n");
    std::printf("  echo round trips, %d per round, %d rounds\n", kTripsPerRound, kRounds);
    std::printf("    through the window:     %8.0f /s\n", Median(window));
    std::printf("    log bypassed:           %8.0f /s\n", Median(bypassed));
    std::printf("    ratio window/bypassed:  %8.2f (target >= 0.80)\n",
                Median(window) / Median(bypassed));
    std::printf("  16 MiB answer, 3 rounds\n");
    std::printf("    shown in the window:    %8.2f s (target <= 2)\n", Median(bigShown));
    std::printf("    log bypassed:           %8.2f s\n", Median(bigBypassed));
    std::printf("    longest event loop stall:  %5.0f ms shown, %5.0f ms bypassed\n", Median(stall),
                Median(stallBypassed));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rcon_console: %s\n", e.what());
    code = 1;
  }
  RemoveMainThreadHooks();
  return code;
}
