#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCompleter>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <atomic>
#include <chrono>

#include "rcon/FRCON.h"
#include "rcon/qorRCON_Application.h"
#include "tests/rcon/RCONTestServer.h"
#include "tests/rcon/window/WindowWaits.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"

inline void PrintTo(const QString& aText, std::ostream* aOut) {
  *aOut << aText.toStdString();
}

namespace {

constexpr int kWait = 10000;

QStringList LogLines(TFRMRCON& w) {
  return w.Log().PlainText().split(QLatin1Char('\n'));
}

// Answers every message box that opens and keeps its text.
class TBoxWatcher {
 public:
  TBoxWatcher() {
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Texts << box->text();
        box->accept();
      }
    });
    FTimer.start(20);
  }
  QStringList Texts;

 private:
  QTimer FTimer;
};

class RCONWindow : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Data.isValid());
    Window = new TFRMRCON(nullptr, Data.path());
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window));
  }
  void TearDown() override { delete Window.data(); }

  void ConnectTo(int aPort, const QString& aPassword = QStringLiteral("zulu")) {
    Window->txtPort->setText(QString::number(aPort));
    Window->txtPassword->setText(aPassword);
    QTest::mouseClick(Window->btnConnect, Qt::LeftButton);
  }
  void Send(const QString& aCommand) {
    Window->txtCommand->setText(aCommand);
    QTest::keyClick(Window->txtCommand, Qt::Key_Return);
  }
  bool WaitForLine(const QString& aLine) {
    return QTest::qWaitFor([&] { return LogLines(*Window).contains(aLine); }, kWait);
  }
  bool WaitForState(TConsoleState aState) {
    return QTest::qWaitFor([&] { return Window->State() == aState; }, kWait);
  }
  std::string Log() { return LogLines(*Window).join('|').toStdString(); }

  QTemporaryDir Data;
  QPointer<TFRMRCON> Window;
};

TEST_F(RCONWindow, ControlsAndStoredSettings) {
  EXPECT_EQ(Window->windowTitle(), "qorRCON - Client");
  EXPECT_EQ(Window->size(), QSize(635, 527));
  EXPECT_LE((Window->frameGeometry().center() - Window->screen()->availableGeometry().center())
                .manhattanLength(),
            12);  // frame decorations may shift it a little
  struct {
    const char* Name;
    const char* Text;
  } fields[] = {{"txtHost", "127.0.0.1"},
                {"txtPort", "25575"},
                {"txtPassword", "zulu"},
                {"txtCommand", "help"}};
  for (auto f : fields) {
    auto* edit = Window->findChild<QLineEdit*>(f.Name);
    ASSERT_NE(edit, nullptr) << f.Name;
    EXPECT_EQ(edit->text(), f.Text) << f.Name;
  }
  struct {
    const char* Name;
    const char* Caption;
  } captions[] = {{"btnConnect", "Connect"},
                  {"btnDisconnect", "Disconnect"},
                  {"btnExecCommand", "Exec Command"}};
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
  // What the window asks for, and what the operator sees: whichever font the machine picks
  // for it, "i" and "W" take the same width (some monospaced fonts carry no fixed-pitch mark).
  EXPECT_EQ(Window->Memo1->font(), QFontDatabase::systemFont(QFontDatabase::FixedFont));
  const QFontMetricsF metrics(Window->Memo1->font());
  EXPECT_EQ(metrics.horizontalAdvance(QLatin1Char('i')),
            metrics.horizontalAdvance(QLatin1Char('W')));

  EXPECT_EQ(Window->RCON->Name(), "RCON");
  EXPECT_EQ(Window->RCON->NotifyEvents(), neAsynchronous);
  EXPECT_EQ(Window->RCON->RCON_Options()->Port(), 0);
  EXPECT_EQ(Window->RCON->RCON_Options()->Host(), "");
  EXPECT_FALSE(Window->RCON->ComponentState() & csLoading);
  EXPECT_FALSE(Window->RCON->Active());

  // State and buttons before any connection.
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  EXPECT_EQ(Window->lblState->text(), "Disconnected");
  EXPECT_TRUE(Window->btnConnect->isEnabled());
  EXPECT_FALSE(Window->btnDisconnect->isEnabled());
  EXPECT_FALSE(Window->btnExecCommand->isEnabled());

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

TEST_F(RCONWindow, SessionWithDemoServerShowsStateEchoAndWholeAnswers) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port());
  EXPECT_EQ(Window->State(), TConsoleState::Connecting) << "the click returns at once";
  EXPECT_EQ(Window->lblState->text(),
            QStringLiteral("Connecting to 127.0.0.1:%1\u2026").arg(server.Port()));
  EXPECT_FALSE(Window->btnConnect->isEnabled());
  EXPECT_TRUE(Window->btnDisconnect->isEnabled());
  ASSERT_TRUE(WaitForLine("#authenticated")) << Log();
  EXPECT_EQ(LogLines(*Window), QStringList({"#connected", "#authenticated"}));
  const QString address = QStringLiteral("127.0.0.1:%1").arg(server.Port());
  EXPECT_EQ(Window->State(), TConsoleState::Authenticated);
  EXPECT_EQ(Window->lblState->text(), "Authenticated on " + address);
  EXPECT_EQ(Window->windowTitle(), "qorRCON - Client - " + address);
  EXPECT_TRUE(Window->btnExecCommand->isEnabled());
  EXPECT_FALSE(Window->btnConnect->isEnabled());

  QTest::mouseClick(Window->btnExecCommand, Qt::LeftButton);
  ASSERT_TRUE(WaitForLine("  quit          closes this connection"));
  EXPECT_EQ(LogLines(*Window).mid(2, 2),
            QStringList({"> help", "Commands of the qorRCON demo server:"}));
  EXPECT_TRUE(Window->txtCommand->text().isEmpty()) << "the command field is cleared";

  // 20000 bytes in 4096-byte packets: one block, no blank line and no cut line at the joins.
  Send("long 20000");
  ASSERT_TRUE(WaitForLine("line 00311 " + QString(52, QLatin1Char('z'))));
  Send("echo done");
  ASSERT_TRUE(WaitForLine("done"));
  const QStringList lines = LogLines(*Window);
  const qsizetype first = lines.indexOf("> long 20000");
  ASSERT_GE(first, 0);
  for (int i = 0; i <= 312; ++i) {
    const QString prefix = QStringLiteral("line %1 ").arg(i, 5, 10, QLatin1Char('0'));
    ASSERT_TRUE(lines[first + 1 + i].startsWith(prefix))
        << i << ": " << lines[first + 1 + i].toStdString();
    EXPECT_EQ(lines[first + 1 + i].size(), i < 312 ? 63 : 20000 - 312 * 64) << i;
  }
  EXPECT_EQ(lines[first + 314], "> echo done");
  QScrollBar* bar = Window->Memo1->verticalScrollBar();
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar->isVisible(); }, kWait));
  EXPECT_EQ(bar->value(), bar->maximum());

  QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);
  EXPECT_EQ(LogLines(*Window).last(), "#disconnected");
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  EXPECT_EQ(Window->windowTitle(), "qorRCON - Client");

  // Exec Command without a connection says so and keeps the text.
  Send("list");
  EXPECT_EQ(LogLines(*Window).last(), "#not connected: the command was not sent");
  EXPECT_EQ(Window->txtCommand->text(), "list");

  if (const char* shot = std::getenv("QOR_CONSOLE_SCREENSHOT")) {
    QTest::keyClick(Window, Qt::Key_L, Qt::ControlModifier);
    QTest::keyClick(Window->txtHost, Qt::Key_Return);
    ASSERT_TRUE(WaitForLine("#authenticated"));
    Send("long 4500");  // two packets, joined without a seam
    ASSERT_TRUE(WaitForLine("line 00070 sssssssss"));
    Send("colours");
    ASSERT_TRUE(WaitForLine("online | warning | info | underlined plain"));
    Send("echo Hello from qorRCON");
    ASSERT_TRUE(WaitForLine("Hello from qorRCON"));
    QTest::keyClick(Window->txtCommand, Qt::Key_Up);
    QTest::keyClick(Window->txtCommand, Qt::Key_Up);  // the history: "colours" again
    ASSERT_EQ(Window->txtCommand->text(), "colours");
    // The log repaints at most once a frame, its updates held back meanwhile, which a picture
    // taken then shows as a black field.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Window->Log().Idle() && Window->Memo1->updatesEnabled(); }, kWait));
    EXPECT_TRUE(Window->grab().save(QString::fromLocal8Bit(shot)));
  }
}

TEST_F(RCONWindow, HistoryWalksLikeAShellAndOutlivesTheWindow) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated"));
  for (const char* c : {"echo one", "echo two", "echo two", "echo three"}) {
    Send(c);
    ASSERT_TRUE(WaitForLine(QString::fromLatin1(c + 5)));
  }
  Send("echo the password is zulu");  // sent, but not kept
  ASSERT_TRUE(WaitForLine("the password is zulu"));
  // An empty command is not sent: a command after it is answered first, and the log has
  // nothing of the empty one. (With the password in it, this one stays out of the history.)
  const int lines = int(LogLines(*Window).size());
  Send("   ");
  Send("echo after the empty one, zulu");
  ASSERT_TRUE(WaitForLine("after the empty one, zulu"));
  EXPECT_EQ(LogLines(*Window).mid(lines),
            QStringList({"> echo after the empty one, zulu", "after the empty one, zulu"}));

  QLineEdit* field = Window->txtCommand;
  field->setText("half typed");
  auto key = [&](Qt::Key k) {
    QTest::keyClick(field, k);
    return field->text();
  };
  EXPECT_EQ(key(Qt::Key_Up), "echo three");
  EXPECT_EQ(key(Qt::Key_Up), "echo two") << "a repeated command is kept once";
  EXPECT_EQ(key(Qt::Key_Up), "echo one");
  EXPECT_EQ(key(Qt::Key_Up), "echo one") << "the oldest stays";
  EXPECT_EQ(key(Qt::Key_Down), "echo two");
  EXPECT_EQ(key(Qt::Key_Down), "echo three");
  EXPECT_EQ(key(Qt::Key_Down), "half typed") << "the half-typed line comes back";
  EXPECT_EQ(key(Qt::Key_Down), "half typed");

  // The next window (the next run) has the same history; the password is in no file.
  delete Window.data();
  Window = new TFRMRCON(nullptr, Data.path());
  Window->txtCommand->clear();
  QTest::keyClick(Window->txtCommand, Qt::Key_Up);
  EXPECT_EQ(Window->txtCommand->text(), "echo three");
  for (const QString& name : QDir(Data.path()).entryList(QDir::Files)) {
    QFile f(Data.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_FALSE(f.readAll().contains("zulu")) << name.toStdString();
  }
}

TEST_F(RCONWindow, RecentServersAreOfferedInTheHostField) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated"));
  QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);

  delete Window.data();
  Window = new TFRMRCON(nullptr, Data.path());
  Window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Window));
  const QString address = QStringLiteral("127.0.0.1:%1").arg(server.Port());
  QCompleter* completer = Window->txtHost->completer();
  ASSERT_NE(completer, nullptr);
  EXPECT_EQ(completer->model()->rowCount(), 1);
  EXPECT_EQ(completer->model()->index(0, 0).data().toString(), address);
  Window->txtHost->setFocus();
  QTest::keyClick(Window->txtHost, Qt::Key_Down);
  ASSERT_TRUE(QTest::qWaitFor([&] { return completer->popup()->isVisible(); }, kWait));
  // Choosing it fills host and port.
  emit completer->activated(address);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window->txtHost->text() == "127.0.0.1"; }, kWait));
  EXPECT_EQ(Window->txtPort->text(), QString::number(server.Port()));
}

TEST_F(RCONWindow, RejectedPasswordDisconnectsAndConnectStartsAnew) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port(), "not zulu");
  ASSERT_TRUE(WaitForLine("#disconnected")) << Log();
  EXPECT_EQ(LogLines(*Window), QStringList({"#connected", "#not authenticated", "#disconnected"}));
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  EXPECT_TRUE(Window->lblState->text().endsWith("password rejected"));
  ConnectTo(server.Port(), "zulu");
  ASSERT_TRUE(WaitForLine("#authenticated")) << Log();
  EXPECT_EQ(Window->State(), TConsoleState::Authenticated);
}

TEST_F(RCONWindow, RefusedPortIsLoggedAndTheStateNamesTheAddress) {
  const int port = ClosedPort();
  ConnectTo(port);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Window->Memo1->toPlainText().isEmpty(); }, kWait));
  EXPECT_EQ(LogLines(*Window).join('\n'), "#exception: Socket Error # 10061\nConnection refused.");
  EXPECT_FALSE(Window->RCON->Active());
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  EXPECT_EQ(Window->lblState->text(),
            QStringLiteral("Disconnected: 127.0.0.1:%1: Socket Error # 10061 Connection refused.")
                .arg(port));
  EXPECT_TRUE(Window->btnConnect->isEnabled());
}

TEST_F(RCONWindow, PortIsCheckedAndHostPortIsSplit) {
  TBoxWatcher boxes;
  Window->txtHost->setText("localhost");
  Window->txtPassword->setText("other");
  struct {
    const char* Port;
    const char* Box;
  } rows[] = {
      {"abc", "Port: 'abc' is not a valid integer value"},
      {"91111", "Port: 91111 is not a port number (1 to 65535)"},
      {"0", "Port: 0 is not a port number (1 to 65535)"},
      {"-5", "Port: -5 is not a port number (1 to 65535)"},
  };
  for (auto r : rows) {
    boxes.Texts.clear();
    Window->txtPort->setText(r.Port);
    QTest::mouseClick(Window->btnConnect, Qt::LeftButton);  // returns once the box is closed
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.Texts.isEmpty(); }, kWait)) << r.Port;
    EXPECT_EQ(boxes.Texts, QStringList{r.Box});
    EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  }
  EXPECT_TRUE(Window->Memo1->toPlainText().isEmpty());
  EXPECT_FALSE(Window->RCON->Active());
  EXPECT_EQ(Window->RCON->RCON_Options()->Host(), "localhost");
  EXPECT_EQ(Window->RCON->RCON_Options()->Port(), 0);
  EXPECT_EQ(Window->RCON->RCON_Options()->Password(), "");

  // host:port typed into the host field fills both fields and connects there.
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  Window->txtPort->setText("1");
  Window->txtPassword->setText("zulu");
  Window->txtHost->setText(QStringLiteral("127.0.0.1:%1").arg(server.Port()));
  QTest::keyClick(Window->txtHost, Qt::Key_Return);
  ASSERT_TRUE(WaitForLine("#authenticated")) << Log();
  EXPECT_EQ(Window->txtHost->text(), "127.0.0.1");
  EXPECT_EQ(Window->txtPort->text(), QString::number(server.Port()));
  // A bare IPv6 address is no host:port.
  Window->txtHost->setText("::1");
  emit Window->txtHost->editingFinished();
  EXPECT_EQ(Window->txtHost->text(), "::1");
  Window->txtHost->setText("[::1]:27015");
  emit Window->txtHost->editingFinished();
  EXPECT_EQ(Window->txtHost->text(), "::1");
  EXPECT_EQ(Window->txtPort->text(), "27015");
  EXPECT_TRUE(boxes.Texts.size() <= 1);
}

// A host that never answers the connect: the window stays alive, and Disconnect cancels.
TEST_F(RCONWindow, ConnectToSilentHostCanBeCancelledAndClosed) {
  TSilentPeer peer;
  if (!peer.Valid()) GTEST_SKIP() << "this sandbox answers every loopback connect";
  ConnectTo(peer.Port());
  EXPECT_EQ(Window->State(), TConsoleState::Connecting);
  // The event loop runs: timers fire and the window repaints while the attempt waits.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 10; }, 5000));
  EXPECT_EQ(Window->State(), TConsoleState::Connecting);
  EXPECT_FALSE(Window->grab().isNull());
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);
  EXPECT_EQ(Window->State(), TConsoleState::Disconnected);
  EXPECT_LT(clock.elapsed(), 1000);
  EXPECT_EQ(LogLines(*Window), QStringList{"#connect cancelled"});
  // Clicks that queued up meanwhile do nothing harmful.
  QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);
  EXPECT_EQ(LogLines(*Window).size(), 1);

  // No answer within the component's connect time-out: its own text.
  Window->RCON->SetConnectTimeout(300);
  ConnectTo(peer.Port());
  ASSERT_TRUE(WaitForState(TConsoleState::Disconnected));
  EXPECT_EQ(LogLines(*Window).last(), "#exception: Connect timed out.");
  EXPECT_EQ(Window->lblState->text(),
            QStringLiteral("Disconnected: 127.0.0.1:%1: Connect timed out.").arg(peer.Port()));

  // Closing the window during an attempt.
  Window->RCON->SetConnectTimeout(TqorLib_RCON_Client::DefaultConnectTimeout);
  ConnectTo(peer.Port());
  EXPECT_EQ(Window->State(), TConsoleState::Connecting);
  Window->setAttribute(Qt::WA_DeleteOnClose);
  clock.restart();
  Window->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.isNull(); }, kWait));
  EXPECT_LT(clock.elapsed(), 1000);
}

TEST_F(RCONWindow, LogIsReadOnlyAndOffersClearSaveAndTimestamps) {
  EXPECT_TRUE(Window->Memo1->isReadOnly());
  EXPECT_TRUE(Window->Memo1->tabChangesFocus()) << "Tab must not get stuck in the log";
  Window->DoLog("first");
  Window->DoLog(
      "\xC2\xA7"
      "cred\xC2\xA7r text");
  Window->Log().Append(
      "\xC2\xA7"
      "cred\xC2\xA7r answer",
      TqorRCONLogKind::Answer);
  EXPECT_EQ(LogLines(*Window), QStringList({"first",
                                            QString::fromUtf8("\xC2\xA7"
                                                              "cred\xC2\xA7r text"),
                                            "red answer"}))
      << "only answers have their codes rendered";
  Window->Memo1->setFocus();
  QTest::keyClicks(Window->Memo1, "typed");
  EXPECT_EQ(LogLines(*Window).size(), 3);

  const QString file = Data.filePath("log.txt");
  QString error;
  ASSERT_TRUE(Window->Log().SaveToFile(file, error)) << error.toStdString();
  QFile saved(file);
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(),
            "first\n\xC2\xA7"
            "cred\xC2\xA7r text\nred answer\n");
  EXPECT_FALSE(Window->Log().SaveToFile(Data.filePath("no/such/folder/log.txt"), error));
  EXPECT_FALSE(error.isEmpty());

  QTest::keyClick(Window->Memo1, Qt::Key_L, Qt::ControlModifier);
  EXPECT_TRUE(Window->Memo1->toPlainText().isEmpty());

  Window->actTimestamps->setChecked(true);
  Window->DoLog("two\nlines");
  const QStringList stamped = LogLines(*Window);
  ASSERT_EQ(stamped.size(), 2);
  for (const QString& l : stamped)
    EXPECT_TRUE(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\] (two|lines)$").match(l).hasMatch())
        << l.toStdString();
}

TEST_F(RCONWindow, ColourCodesBecomeFormats) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated"));
  Send("colours");
  ASSERT_TRUE(WaitForLine("Welcome to the qorRCON demo server")) << Log();
  EXPECT_EQ(Window->RCON->OpenResponses(), 0u);
  ASSERT_TRUE(WaitForLine("online | warning | info | underlined plain"));
  EXPECT_FALSE(Window->Memo1->toPlainText().contains(QChar(0xA7)));
  // Format of the first character of each word in the document.
  auto format = [&](const QString& aWord) {
    QTextDocument* doc = Window->Memo1->document();
    QTextCursor c = doc->find(aWord);
    EXPECT_FALSE(c.isNull()) << aWord.toStdString();
    c.setPosition(c.selectionStart() + 1);
    return c.charFormat();
  };
  EXPECT_EQ(format("Welcome").foreground().color(), QColor(0xFFAA00));
  EXPECT_EQ(format("qorRCON").fontWeight(), QFont::Bold);
  EXPECT_NE(format(" demo").fontWeight(), QFont::Bold) << "reset";
  EXPECT_EQ(format("online").foreground().color(), QColor(0x55FF55));
  EXPECT_EQ(format("warning").foreground().color(), QColor(0xFF5555));
  EXPECT_TRUE(format("under").fontItalic());
  EXPECT_FALSE(format("under").fontUnderline());
  EXPECT_TRUE(format("lined").fontUnderline());
  EXPECT_TRUE(format("lined").fontItalic()) << "styles add up";
  EXPECT_FALSE(format("plain").fontItalic());
  EXPECT_FALSE(format("plain").foreground().color() == QColor(0x555555));
}

TEST_F(RCONWindow, ViewStaysWhereTheUserScrolled) {
  for (int i = 0; i < 200; ++i) Window->DoLog("line " + std::to_string(i));
  Window->Log().Flush();
  QScrollBar* bar = Window->Memo1->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  bar->setValue(10);
  Window->DoLog("more");
  Window->Log().Flush();
  EXPECT_EQ(bar->value(), 10) << "scrolled up: new lines do not pull the view down";
  bar->setValue(bar->maximum());
  Window->DoLog("and more");
  Window->Log().Flush();
  EXPECT_EQ(bar->value(), bar->maximum()) << "at the bottom: the view follows";
}

TEST_F(RCONWindow, LogKeepsTheNewestLinesAndSaysSo) {
  const int cap = TqorRCON_LogView::MaxLines;
  EXPECT_FALSE(Window->lblLogNote->isVisible());
  std::string many =
      "\xC2\xA7"
      "9";  // a colour that the kept lines still show
  for (int i = 0; i < cap + 5000; ++i) many += "row " + std::to_string(i) + "\n";
  many.pop_back();
  Window->Log().Append(many, TqorRCONLogKind::Answer);
  Window->DoLog("last");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return Window->Memo1->document()->lastBlock().text() == "last"; }, kWait));
  EXPECT_EQ(Window->Memo1->document()->blockCount(), cap);
  EXPECT_EQ(Window->Memo1->document()->firstBlock().text(), QStringLiteral("row %1").arg(5001));
  QTextCursor first(Window->Memo1->document());
  first.setPosition(1);
  EXPECT_EQ(first.charFormat().foreground().color(), QColor(0x5555FF));
  EXPECT_TRUE(Window->lblLogNote->isVisible());
  QTest::keyClick(Window->Memo1, Qt::Key_L, Qt::ControlModifier);
  EXPECT_FALSE(Window->lblLogNote->isVisible());
}

// Long texts go in piece by piece: no piece may cut a character or lose a byte.
TEST_F(RCONWindow, LongLinesOfMultiByteTextArriveIntact) {
  std::string line;
  while (line.size() < 100000) line += "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80x";
  const std::string text = line + "\n" + line.substr(0, 70002) + "\n\n" + line;
  Window->Log().Append(text, TqorRCONLogKind::Answer);
  Window->Log().Append(line, TqorRCONLogKind::Event);
  EXPECT_EQ(Window->Log().PlainText().toStdString(), text + "\n" + line);
  // Rows of RowChars: 7 for each line of 100000 bytes (50000 UTF-16 characters), 5 for the
  // line of 70002 bytes.
  EXPECT_EQ(Window->Memo1->document()->blockCount(), 7 + 5 + 1 + 7 + 7);
  // Copying a part across rows gives it back without a break (the row's end is a position in
  // the document, no character).
  QTextCursor part(Window->Memo1->document());
  part.setPosition(TqorRCON_LogEdit::RowChars - 3);
  part.setPosition(TqorRCON_LogEdit::RowChars + 3, QTextCursor::KeepAnchor);
  Window->Memo1->setTextCursor(part);
  Window->Memo1->copy();
  EXPECT_EQ(QApplication::clipboard()->text(),
            QString::fromUtf8(line.data(), qsizetype(line.size()))
                .mid(TqorRCON_LogEdit::RowChars - 3, 5));
}

// A data dump: one line of megabytes. The window keeps answering while it arrives and is idle
// soon after; the line is kept whole, and copying it gives every byte back.
TEST_F(RCONWindow, OneLineOfMegabytesKeepsTheWindowAnsweringAndCopiesWhole) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated"));
  constexpr int kBytes = 2 * 1024 * 1024;
  QElapsedTimer clock, tick;
  qint64 longest = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { longest = std::max(longest, tick.restart()); });
  ticker.start(5);
  tick.start();
  clock.start();
  Send(QStringLiteral("wide %1").arg(kBytes));
  // Without rows a line like this took minutes (each piece laid the whole line out anew).
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return Window->Memo1->document()->characterCount() > kBytes && Window->Log().Idle(); },
      60000));
  EXPECT_LT(clock.elapsed(), 30000);
  // A sanitized debug build runs several times slower; the freeze this guards against took 20 s.
#ifdef QOR_SANITIZED
  constexpr qint64 kLongestStall = 5000;
#else
  constexpr qint64 kLongestStall = 1000;
#endif
  EXPECT_LT(longest, kLongestStall) << "the event loop stood still";
  std::string expected;
  for (int row = 0; int(expected.size()) < kBytes; ++row) {
    char head[32];
    std::snprintf(head, sizeof head, "line %05d ", row);
    expected += head;
    expected.append(63 - std::strlen(head), char('a' + row % 26));
    expected += ' ';
  }
  expected.resize(kBytes);
  EXPECT_EQ(LogLines(*Window).mid(2),
            QStringList({"> wide 2097152", QString::fromStdString(expected)}));
  Window->Memo1->selectAll();
  QTest::keyClick(Window->Memo1, Qt::Key_C, Qt::ControlModifier);
  const QString copied = QApplication::clipboard()->text();
  EXPECT_TRUE(copied.endsWith(QString::fromStdString(expected))) << copied.size();
  EXPECT_EQ(copied.count(QLatin1Char('\n')), 3);
  // The answer alone, from anywhere inside it.
  QTextCursor inside(Window->Memo1->document());
  inside.setPosition(Window->Memo1->document()->characterCount() - kBytes / 2);
  Window->Memo1->setTextCursor(inside);
  QTest::keyClick(Window->Memo1, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(QApplication::clipboard()->text() == QString::fromStdString(expected));
}

TEST_F(RCONWindow, FindInTheLogAndCopyAWholeAnswer) {
  Window->DoLog("#connected");
  Window->Log().Append("> list", TqorRCONLogKind::Command);
  Window->Log().Append("Alpha one\nbeta two\nalpha three", TqorRCONLogKind::Answer);
  Window->DoLog("#note alpha");
  Window->Log().Flush();
  EXPECT_FALSE(Window->pnlFind->isVisible());
  QTest::keyClick(Window, Qt::Key_F, Qt::ControlModifier);
  ASSERT_TRUE(Window->pnlFind->isVisible());
  EXPECT_TRUE(QTest::qWaitFor([&] { return Window->txtFind->hasFocus(); }, kWait));
  auto current = [&] { return Window->Memo1->textCursor().block().text(); };
  QTest::keyClicks(Window->txtFind, "alpha");
  EXPECT_EQ(current(), "Alpha one") << "as typed, case-insensitive";
  EXPECT_EQ(Window->Memo1->extraSelections().size(), 3) << "every match highlighted";
  QTest::keyClick(Window->txtFind, Qt::Key_Return);
  EXPECT_EQ(current(), "alpha three");
  QTest::keyClick(Window->txtFind, Qt::Key_Return);
  EXPECT_EQ(current(), "#note alpha");
  QTest::keyClick(Window->txtFind, Qt::Key_Return);
  EXPECT_EQ(current(), "Alpha one") << "from the top again";
  QTest::keyClick(Window->txtFind, Qt::Key_Return, Qt::ShiftModifier);
  EXPECT_EQ(current(), "#note alpha") << "backwards, from the end again";
  QTest::mouseClick(Window->btnFindPrevious, Qt::LeftButton);
  EXPECT_EQ(current(), "alpha three");
  EXPECT_TRUE(Window->lblFindNote->text().isEmpty());
  QTest::keyClicks(Window->txtFind, "zzz");
  EXPECT_EQ(Window->lblFindNote->text(), "Not found");
  EXPECT_TRUE(Window->Memo1->extraSelections().isEmpty());

  // Copy whole answer: the entry under the cursor, however many lines it has.
  auto copyAt = [&](int aBlock) {
    QTextCursor c(Window->Memo1->document()->findBlockByNumber(aBlock));
    c.movePosition(QTextCursor::Right);
    Window->Memo1->setTextCursor(c);
    Window->actCopyAnswer->trigger();
    return QApplication::clipboard()->text();
  };
  EXPECT_EQ(copyAt(3), "Alpha one\nbeta two\nalpha three");
  EXPECT_EQ(copyAt(2), "Alpha one\nbeta two\nalpha three");
  EXPECT_EQ(copyAt(1), "> list");
  EXPECT_EQ(copyAt(5), "#note alpha");
  EXPECT_EQ(copyAt(0), "#connected");
}

// A long line shows as rows; a match that runs across a row break is found and selected whole.
TEST_F(RCONWindow, FindMatchesAcrossTheRowsOfALongLine) {
  const qsizetype row = TqorRCON_LogEdit::RowChars;
  Window->Log().Append(
      (QString(row - 3, 'x') + "Needle" + QString(row, 'y') + "needle").toStdString(),
      TqorRCONLogKind::Answer);
  Window->Log().Flush();
  ASSERT_GE(Window->Memo1->document()->blockCount(), 3);
  QTest::keyClick(Window, Qt::Key_F, Qt::ControlModifier);
  QTest::keyClicks(Window->txtFind, "needle");
  EXPECT_EQ(Window->Memo1->SelectedText(), "Needle");
  EXPECT_EQ(Window->Memo1->textCursor().selectionStart(), row - 3);
  EXPECT_EQ(Window->Memo1->extraSelections().size(), 2);
  QTest::keyClick(Window->txtFind, Qt::Key_Return);
  EXPECT_EQ(Window->Memo1->SelectedText(), "needle");
  QTest::keyClick(Window->txtFind, Qt::Key_Return, Qt::ShiftModifier);
  EXPECT_EQ(Window->Memo1->SelectedText(), "Needle") << "backwards across the break";
  EXPECT_EQ(Window->Memo1->textCursor().selectionEnd(), row + 4) << "past the break";
}

// A scripted server: Source-like with the pre-authentication packet, an answer split over
// several TCP sends, two answers coalesced into one send, and a command it never answers.
TEST_F(RCONWindow, JoinedAnswersSplitOrCoalescedAndANoteForSilence) {
  std::atomic<int> failed{0};
  TRCONTestServer server([&](TPeer& peer) {
    TWirePacket p, fence;
    auto next = [&] { return peer.Receive(p) && peer.Receive(fence); };
    if (!peer.Receive(p)) return;  // the console's probe connects and closes at once
    peer.Send(Cat({WirePacket(p.ID, 0, ""), WirePacket(p.ID, 2, "")}));
    if (!next()) return void(failed = 2);
    const TBytes split = Cat({WirePacket(p.ID, 0, std::string(4095, 'x') + "\n\xC3"),
                              WirePacket(p.ID, 0,
                                         "\xBC"
                                         "ber"),
                              WirePacket(fence.ID, 0, "")});
    for (size_t at = 0; at < split.size(); at += 700)
      peer.Send(
          TBytes(split.begin() + long(at), split.begin() + long(std::min(split.size(), at + 700))));
    TWirePacket p2, fence2;
    if (!next() || !peer.Receive(p2) || !peer.Receive(fence2)) return void(failed = 3);
    peer.Send(Cat({WirePacket(p.ID, 0, "first"), WirePacket(fence.ID, 0, ""),
                   WirePacket(p2.ID, 0, "second"), WirePacket(fence2.ID, 0, "")}));
    if (!next()) return void(failed = 4);  // never answered
    if (!peer.WaitClosed(30000)) failed = 5;
  });
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated")) << Log();
  EXPECT_EQ(LogLines(*Window), QStringList({"#connected", "#authenticated"})) << "no blank line";
  Send("split");
  ASSERT_TRUE(
      WaitForLine(QString::fromUtf8("\xC3\xBC"
                                    "ber")))
      << Log();
  Send("one");
  Send("two");
  ASSERT_TRUE(WaitForLine("second"));
  Window->RCON->SetResponseOverdueMs(1000);  // instead of 10 s
  Send("silent");
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return LogLines(*Window).last().startsWith("#no answer"); }, 15000))
      << Log();
  EXPECT_EQ(LogLines(*Window).mid(2),
            QStringList({"> split", QString(4095, 'x'),
                         QString::fromUtf8("\xC3\xBC"
                                           "ber"),
                         "> one", "> two", "first", "second", "> silent",
                         "#no answer to \"silent\" after 1 s; the connection stays open"}));
  EXPECT_EQ(Window->State(), TConsoleState::Authenticated);
  QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);
  EXPECT_EQ(failed, 0) << "the scripted server failed at step " << failed;
}

TEST_F(RCONWindow, ClosingWithLiveConnectionIsSilentAndLeavesNoThread) {
  TRCONDemoServerProcess server(RCON_DEMO_SERVER);
  const int baseline = ThreadsButQtPool();
  ConnectTo(server.Port());
  ASSERT_TRUE(WaitForLine("#authenticated"));
  int changes = 0;
  QObject::connect(Window->Memo1, &QPlainTextEdit::textChanged, [&] { ++changes; });
  Window->setAttribute(Qt::WA_DeleteOnClose);
  Window->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.isNull(); }, kWait));
  EXPECT_EQ(changes, 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ThreadsButQtPool() <= baseline; }, kWait))
      << ThreadsButQtPool() << " threads, " << baseline << " before connecting";
  // Anything still queued for the window would run (and crash) now.
  EXPECT_TRUE(DrainMainThread());
}

}  // namespace
