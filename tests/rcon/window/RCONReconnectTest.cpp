// The console against the demo server: the server's "quit" and a new Connect, many times. A
// close by the server is log lines ("#disconnected" and the close's "#exception: "), never an
// error box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

#include "platform/MainThread.h"
#include "rcon/FRCON.h"
#include "rcon/qorRCON_Application.h"
#include "tests/rcon/window/WindowWaits.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EscapedExceptions.h"

namespace {

constexpr int kCycles = 200;
constexpr int kWait = 10000;

TEST(RCONWindowCycles, ServerCloseAndReconnectNeverShowsAnErrorBox) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  TEscapedExceptions escaped(ShowApplicationException);
  // An error box the window shows itself (an action's exception) is closed and recorded, so
  // that the test fails instead of waiting for a click.
  std::vector<std::string> boxes;
  QTimer boxWatch;
  QObject::connect(&boxWatch, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxes.push_back(box->text().toStdString());
      box->close();
    }
  });
  boxWatch.start(20);
  QPointer<TFRMRCON> window = new TFRMRCON;
  window->show();
  window->txtPort->setText(QString::number(server.Port()));
  const int threads = ThreadsButQtPool();
  auto count = [&](const QString& aLine) { return window->Memo1->toPlainText().count(aLine); };
  for (int i = 1; i <= kCycles && escaped.Messages().empty() && boxes.empty(); ++i) {
    QTest::mouseClick(window->btnConnect, Qt::LeftButton);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return count(QStringLiteral("#authenticated")) == i; }, kWait))
        << "cycle " << i;
    window->txtCommand->setText(QStringLiteral("quit"));
    QTest::mouseClick(window->btnExecCommand, Qt::LeftButton);
    // Closed, reported, and ready to connect again. (The server may close with a command of
    // the console still unread; the close then arrives as a reset, which ends it as well.)
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return count(QStringLiteral("#disconnected")) == i && window->btnConnect->isEnabled();
        },
        kWait))
        << "cycle " << i << ":\n"
        << window->Memo1->toPlainText().toStdString();
  }
  // What the last close still has to report is queued once its threads have ended.
  EXPECT_TRUE(QTest::qWaitFor([&] { return ThreadsButQtPool() <= threads; }, kWait))
      << ThreadsButQtPool() << " threads, " << threads << " before connecting";
  EXPECT_TRUE(DrainMainThread());
  EXPECT_EQ(escaped.Messages(), std::vector<std::string>{});
  EXPECT_EQ(boxes, std::vector<std::string>{});
  EXPECT_EQ(count(QStringLiteral("#disconnected")), kCycles);
  EXPECT_EQ(count(QStringLiteral("#connected")), kCycles);
  delete window.data();
}

}  // namespace
