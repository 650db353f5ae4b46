#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rcon/FRCON.h"
#include "rcon/qorRCON_Application.h"
#include "tests/support/Loopback.h"
#include "tools/RCONDemoServerProcess.h"

namespace {

constexpr int kWait = 10000;

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

QStringList LogLines(const TFRMRCON& w) { return w.Memo1->toPlainText().split(QLatin1Char('\n')); }

class RCONWindow : public testing::Test {
 protected:
  void SetUp() override {
    Window = new TFRMRCON;
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window));
  }
  void TearDown() override { delete Window.data(); }

  void ConnectTo(int aPort, const QString& aPassword = QStringLiteral("zulu")) {
    Window->txtPort->setText(QString::number(aPort));
    Window->txtPassword->setText(aPassword);
    QTest::mouseClick(Window->btnConnect, Qt::LeftButton);
  }
  bool WaitForLine(const QString& aLine) {
    return QTest::qWaitFor([&] { return LogLines(*Window).contains(aLine); }, kWait);
  }

  QPointer<TFRMRCON> Window;
};

TEST_F(RCONWindow, ControlsAndStoredSettings) {
  EXPECT_EQ(Window->windowTitle(), "qorRCON - Client");
  EXPECT_EQ(Window->size(), QSize(635, 527));
  EXPECT_LE((Window->frameGeometry().center() - Window->screen()->availableGeometry().center())
                .manhattanLength(), 12);  // frame decorations may shift it a little
  struct { const char* Name; const char* Text; } fields[] = {
      {"txtHost", "127.0.0.1"}, {"txtPort", "25575"}, {"txtPassword", "zulu"}, {"txtCommand", "help"}};
  for (auto f : fields) {
    auto* edit = Window->findChild<QLineEdit*>(f.Name);
    ASSERT_NE(edit, nullptr) << f.Name;
    EXPECT_EQ(edit->text(), f.Text) << f.Name;
  }
  struct { const char* Name; const char* Caption; } captions[] = {
      {"btnConnect", "Connect"}, {"btnDisconnect", "Disconnect"}, {"btnExecCommand", "Exec Command"}};
  for (auto c : captions) {
    auto* button = Window->findChild<QPushButton*>(c.Name);
    ASSERT_NE(button, nullptr) << c.Name;
    EXPECT_EQ(button->text(), c.Caption);
  }
  EXPECT_EQ(Window->lblHost->text(), "Host:");
  EXPECT_EQ(Window->lblPort->text(), "Port:");
  EXPECT_EQ(Window->lblPassword->text(), "Password:");
  EXPECT_EQ(Window->lblHost->buddy(), Window->txtHost);
  ASSERT_NE(Window->findChild<QPlainTextEdit*>("Memo1"), nullptr);
  EXPECT_TRUE(Window->Memo1->toPlainText().isEmpty());
  EXPECT_FALSE(Window->Memo1->isReadOnly());
  EXPECT_TRUE(Window->Memo1->font().fixedPitch() ||
              QFontInfo(Window->Memo1->font()).fixedPitch());

  EXPECT_EQ(Window->RCON->Name(), "RCON");
  EXPECT_EQ(Window->RCON->NotifyEvents(), neAsynchronous);
  EXPECT_EQ(Window->RCON->RCON_Options()->Port(), 0);
  EXPECT_EQ(Window->RCON->RCON_Options()->Host(), "");
  EXPECT_FALSE(Window->RCON->ComponentState() & csLoading);
  EXPECT_FALSE(Window->RCON->Active());

  // Masked password, shown on request.
  EXPECT_EQ(Window->txtPassword->echoMode(), QLineEdit::Password);
  Window->chkShowPassword->setChecked(true);
  EXPECT_EQ(Window->txtPassword->echoMode(), QLineEdit::Normal);
}

TEST_F(RCONWindow, TopBandKeepsHeightAndLogGrowsWithWindow) {
  EXPECT_EQ(Window->pnlTop->height(), 118);
  const QSize before = Window->Memo1->size();
  Window->resize(900, 700);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window->Memo1->width() > before.width(); }, kWait));
  EXPECT_EQ(Window->pnlTop->height(), 118);
  EXPECT_EQ(Window->Memo1->width() - before.width(), 900 - 635);
  EXPECT_EQ(Window->Memo1->height() - before.height(), 700 - 527);
}

TEST_F(RCONWindow, SessionWithDemoServer) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated")) << LogLines(*Window).join('|').toStdString();
  EXPECT_EQ(LogLines(*Window), QStringList({"#connected", "#authenticated"}));

  QTest::mouseClick(Window->btnExecCommand, Qt::LeftButton);
  ASSERT_TRUE(WaitForLine("Commands of the qorRCON demo server:"));
  EXPECT_EQ(Window->txtCommand->text(), "help") << "the command field keeps its text";
  EXPECT_TRUE(WaitForLine("  echo <text>   answers <text>"));

  // Enter in the command field runs it; a long answer fills the log past its height, which
  // then shows its newest line.
  Window->txtCommand->setText("long 20000");
  QTest::keyClick(Window->txtCommand, Qt::Key_Return);
  ASSERT_TRUE(WaitForLine("line 00311 " + QString(52, QLatin1Char('z'))));
  QScrollBar* bar = Window->Memo1->verticalScrollBar();
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar->isVisible(); }, kWait));
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  Window->txtCommand->setText("echo done");
  QTest::keyClick(Window->txtCommand, Qt::Key_Return);
  ASSERT_TRUE(WaitForLine("done"));

  QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);
  EXPECT_EQ(LogLines(*Window).last(), "#disconnected");

  if (const char* shot = std::getenv("QOR_CONSOLE_SCREENSHOT")) {
    Window->Memo1->clear();
    Window->txtCommand->setText("help");
    QTest::keyClick(Window->txtHost, Qt::Key_Return);
    ASSERT_TRUE(WaitForLine("#authenticated"));
    QTest::mouseClick(Window->btnExecCommand, Qt::LeftButton);
    ASSERT_TRUE(WaitForLine("  quit          closes this connection"));
    Window->txtCommand->setText("echo Hello from qorRCON");
    QTest::keyClick(Window->txtCommand, Qt::Key_Return);
    ASSERT_TRUE(WaitForLine("Hello from qorRCON"));
    Window->txtCommand->setText("list");
    QTest::keyClick(Window->txtCommand, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Window->Memo1->toPlainText().contains("1 client connected: "); }, kWait));
    EXPECT_TRUE(Window->grab().save(QString::fromLocal8Bit(shot)));
  }
}

TEST_F(RCONWindow, WrongPasswordIsReported) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port(), "not zulu");
  ASSERT_TRUE(WaitForLine("#not authenticated"));
  EXPECT_EQ(LogLines(*Window), QStringList({"#connected", "#not authenticated"}));
}

TEST_F(RCONWindow, RefusedPortIsLogged) {
  ConnectTo(ClosedPort());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Window->Memo1->toPlainText().isEmpty(); }, kWait));
  EXPECT_EQ(Window->Memo1->toPlainText(), "#exception: Socket Error # 10061\nConnection refused.");
  EXPECT_FALSE(Window->RCON->Active());
}

TEST_F(RCONWindow, NonNumericPortShowsErrorBoxAndDoesNotConnect) {
  QString boxText;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxText = box->text();
      box->accept();
    }
  });
  watcher.start(20);
  Window->txtHost->setText("localhost");
  Window->txtPort->setText("abc");
  Window->txtPassword->setText("other");
  QTest::mouseClick(Window->btnConnect, Qt::LeftButton);  // returns once the box is closed
  ASSERT_TRUE(QTest::qWaitFor([&] { return !boxText.isEmpty(); }, kWait));
  EXPECT_EQ(boxText, "'abc' is not a valid integer value");
  EXPECT_TRUE(Window->Memo1->toPlainText().isEmpty());
  EXPECT_FALSE(Window->RCON->Active());
  EXPECT_EQ(Window->RCON->RCON_Options()->Host(), "localhost");
  EXPECT_EQ(Window->RCON->RCON_Options()->Port(), 0);
  EXPECT_EQ(Window->RCON->RCON_Options()->Password(), "");
}

TEST_F(RCONWindow, ClosingWithLiveConnectionIsSilentAndLeavesNoThread) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  const int baseline = ThreadCount();
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated"));
  int changes = 0;
  QObject::connect(Window->Memo1, &QPlainTextEdit::textChanged, [&] { ++changes; });
  Window->setAttribute(Qt::WA_DeleteOnClose);
  Window->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.isNull(); }, kWait));
  EXPECT_EQ(changes, 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ThreadCount() <= baseline; }, kWait))
      << ThreadCount() << " threads, " << baseline << " before connecting";
  QTest::qWait(200);  // anything still queued for the window would run (and crash) now
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qorRCON"));
  InstallMainThreadHooks();
  int result = RUN_ALL_TESTS();
  RemoveMainThreadHooks();
  return result;
}
