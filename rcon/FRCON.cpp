#include "rcon/FRCON.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QStringListModel>
#include <QVBoxLayout>

#include "platform/SysUtils.h"
#include "rcon/qorRCON_Application.h"
#include "rcon/qorRCON_ConnectProbe.h"
#include "rcon/qorRCON_History.h"
#include "transport/IdException.h"

namespace {

constexpr size_t kCommandHistory = 500;
constexpr size_t kRecentServers = 10;
constexpr int kProbePollMs = 20;
constexpr int kResponseCheckMs = 50;
constexpr int kHistorySaveMs = 2000;
const QString kCaption = QStringLiteral("qorRCON - Client");

template <class T>
T* Named(T* aObject, const char* aName) {
  aObject->setObjectName(QString::fromLatin1(aName));
  return aObject;
}

QString FromStd(const std::string& aText) {
  return QString::fromUtf8(aText.data(), static_cast<qsizetype>(aText.size()));
}

}  // namespace

TFRMRCON::TFRMRCON(QWidget* aParent, const QString& aDataFolder) : QWidget(aParent) {
  setObjectName(QStringLiteral("FRMRCON"));
  const QString folder = aDataFolder.isEmpty()
                             ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                             : aDataFolder;
  FCommands = std::make_unique<TqorRCON_History>(
      QDir(folder).filePath(QStringLiteral("history.txt")).toStdString(), kCommandHistory, false);
  FServers = std::make_unique<TqorRCON_History>(
      QDir(folder).filePath(QStringLiteral("servers.txt")).toStdString(), kRecentServers, true);
  CreateControls();
  CreateActions();
  resize(635, 527);
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  LoadRCON();
  SetState(TConsoleState::Disconnected);
}

// The component goes first, so that nothing it does on the way out reaches half-gone controls.
TFRMRCON::~TFRMRCON() {
  FProbe.reset();
  RCON.reset();
  FCommands->Save();
}

void TFRMRCON::CreateControls() {
  pnlTop = Named(new QWidget(this), "pnlTop");
  pnlTop->setFixedHeight(118);
  btnConnect = Named(new QPushButton(QStringLiteral("Connect"), pnlTop), "btnConnect");
  btnDisconnect = Named(new QPushButton(QStringLiteral("Disconnect"), pnlTop), "btnDisconnect");
  lblHost = Named(new QLabel(QStringLiteral("Host:"), pnlTop), "lblHost");
  txtHost = Named(new QLineEdit(QStringLiteral("127.0.0.1"), pnlTop), "txtHost");
  lblPort = Named(new QLabel(QStringLiteral("Port:"), pnlTop), "lblPort");
  txtPort = Named(new QLineEdit(QStringLiteral("25575"), pnlTop), "txtPort");
  lblPassword = Named(new QLabel(QStringLiteral("Password:"), pnlTop), "lblPassword");
  txtPassword = Named(new QLineEdit(QStringLiteral("zulu"), pnlTop), "txtPassword");
  txtPassword->setEchoMode(QLineEdit::Password);
  chkShowPassword = Named(new QCheckBox(QStringLiteral("Show"), pnlTop), "chkShowPassword");
  lblState = Named(new QLabel(pnlTop), "lblState");
  txtCommand = Named(new QLineEdit(QStringLiteral("help"), pnlTop), "txtCommand");
  btnExecCommand = Named(new QPushButton(QStringLiteral("Exec Command"), pnlTop), "btnExecCommand");
  lblHost->setBuddy(txtHost);
  lblPort->setBuddy(txtPort);
  lblPassword->setBuddy(txtPassword);
  txtHost->setToolTip(
      QStringLiteral("Host name or address; host:port fills both fields. "
                     "Down lists the recent servers."));
  txtCommand->setToolTip(QStringLiteral("Enter sends the command; Up and Down walk the history."));

  auto* grid = new QGridLayout(pnlTop);
  grid->addWidget(btnConnect, 0, 0);
  grid->addWidget(btnDisconnect, 1, 0);
  grid->setColumnMinimumWidth(1, 16);
  grid->addWidget(lblHost, 0, 2);
  grid->addWidget(txtHost, 0, 3);
  grid->addWidget(lblPort, 1, 2);
  grid->addWidget(txtPort, 1, 3);
  grid->addWidget(lblPassword, 0, 4);
  grid->addWidget(txtPassword, 0, 5);
  grid->addWidget(chkShowPassword, 0, 6);
  grid->addWidget(lblState, 1, 4, 1, 3);
  grid->addWidget(txtCommand, 2, 0, 1, 6);
  grid->addWidget(btnExecCommand, 2, 6);
  grid->setColumnStretch(3, 1);
  grid->setColumnStretch(5, 1);

  pnlBody = Named(new QWidget(this), "pnlBody");
  lblLogNote = Named(new QLabel(pnlBody), "lblLogNote");
  Memo1 = Named(new QPlainTextEdit(pnlBody), "Memo1");
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  Memo1->setTabChangesFocus(true);
  FLog = new TqorRCON_LogView(Memo1, lblLogNote);
  auto* body = new QVBoxLayout(pnlBody);
  body->setContentsMargins(0, 0, 0, 0);
  body->setSpacing(0);
  body->addWidget(lblLogNote);
  body->addWidget(Memo1);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(0, 0, 0, 0);
  main->setSpacing(0);
  main->addWidget(pnlTop);
  main->addWidget(pnlBody, 1);

  connect(btnConnect, &QPushButton::clicked, this,
          [this] { RunAction(&TFRMRCON::btnConnectClick); });
  connect(btnDisconnect, &QPushButton::clicked, this,
          [this] { RunAction(&TFRMRCON::btnDisconnectClick); });
  connect(btnExecCommand, &QPushButton::clicked, this,
          [this] { RunAction(&TFRMRCON::btnExecCommandClick); });
  for (QLineEdit* field : {txtHost, txtPort, txtPassword})
    connect(field, &QLineEdit::returnPressed, btnConnect, &QPushButton::click);
  // Not through the button: without a connection it is disabled, and the log says why.
  connect(txtCommand, &QLineEdit::returnPressed, this,
          [this] { RunAction(&TFRMRCON::ExecFromField); });
  connect(txtHost, &QLineEdit::editingFinished, this, [this] { SplitHostAndPort(); });
  connect(chkShowPassword, &QCheckBox::toggled, txtPassword, [this](bool aShow) {
    txtPassword->setEchoMode(aShow ? QLineEdit::Normal : QLineEdit::Password);
  });
  txtCommand->installEventFilter(this);
  txtHost->installEventFilter(this);

  FServerModel = new QStringListModel(this);
  FServerCompleter = Named(new QCompleter(FServerModel, this), "cmpServers");
  FServerCompleter->setCaseSensitivity(Qt::CaseInsensitive);
  txtHost->setCompleter(FServerCompleter);
  // Queued: the field takes the chosen text first.
  connect(
      FServerCompleter, qOverload<const QString&>(&QCompleter::activated), this,
      [this] { SplitHostAndPort(); }, Qt::QueuedConnection);
  QStringList recent;
  for (const std::string& s : FServers->Items()) recent.prepend(FromStd(s));
  FServerModel->setStringList(recent);

  FProbeTimer.setInterval(kProbePollMs);
  connect(&FProbeTimer, &QTimer::timeout, this, [this] { RunAction(&TFRMRCON::ProbeAnswered); });
  // The history file is written a moment after a burst of commands, not for each one.
  FHistorySaveTimer.setSingleShot(true);
  FHistorySaveTimer.setInterval(kHistorySaveMs);
  connect(&FHistorySaveTimer, &QTimer::timeout, this, [this] { FCommands->Save(); });
  FResponseTimer.setInterval(kResponseCheckMs);
  connect(&FResponseTimer, &QTimer::timeout, this, [this] {
    RCON->CheckResponses();
    if (RCON->OpenResponses() == 0) FResponseTimer.stop();
  });
}

void TFRMRCON::CreateActions() {
  actClear = Named(new QAction(QStringLiteral("Clear log"), this), "actClear");
  actClear->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  connect(actClear, &QAction::triggered, this, [this] { FLog->Clear(); });
  actSave = Named(new QAction(QStringLiteral("Save log as text..."), this), "actSave");
  actSave->setShortcut(QKeySequence::Save);
  connect(actSave, &QAction::triggered, this, [this] { SaveLogAs(); });
  actTimestamps = Named(new QAction(QStringLiteral("Timestamps"), this), "actTimestamps");
  actTimestamps->setCheckable(true);
  connect(actTimestamps, &QAction::toggled, this, [this](bool aOn) { FLog->SetTimestamps(aOn); });
  for (QAction* a : {actClear, actSave, actTimestamps}) {
    a->setShortcutContext(Qt::WindowShortcut);
    addAction(a);
  }
  Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Memo1, &QWidget::customContextMenuRequested, this, [this](const QPoint& aAt) {
    QMenu* menu = Memo1->createStandardContextMenu();
    menu->addSeparator();
    menu->addActions({actClear, actSave, actTimestamps});
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(Memo1->viewport()->mapToGlobal(aAt));
  });
}

// What a stored window would apply: the component in its loading state, then its settings.
void TFRMRCON::LoadRCON() {
  using namespace std::placeholders;
  RCON = std::make_unique<TqorLib_RCON>(nullptr);
  RCON->SetName("RCON");
  RCON->Loading();
  RCON->RCON_Options()->SetPort(0);
  RCON->SetNotifyEvents(neAsynchronous);
  RCON->SetOnConnect(std::bind(&TFRMRCON::RCONConnect, this, _1));
  RCON->SetOnDisconnect(std::bind(&TFRMRCON::RCONDisconnect, this, _1));
  RCON->SetOnAuthenticate(std::bind(&TFRMRCON::RCONAuthenticate, this, _1, _2, _3));
  RCON->SetOnResponseComplete(std::bind(&TFRMRCON::RCONResponseComplete, this, _1, _2, _3, _4));
  RCON->SetOnResponseOverdue(std::bind(&TFRMRCON::RCONResponseOverdue, this, _1, _2, _3));
  RCON->SetOnException(std::bind(&TFRMRCON::RCONException, this, _1, _2));
  RCON->SetSendFences(true);
  RCON->Loaded();
}

void TFRMRCON::RunAction(void (TFRMRCON::*aAction)()) {
  try {
    (this->*aAction)();
  } catch (...) {
    ShowApplicationException(std::current_exception());
  }
}

bool TFRMRCON::eventFilter(QObject* aObject, QEvent* aEvent) {
  if (aEvent->type() != QEvent::KeyPress) return QWidget::eventFilter(aObject, aEvent);
  const int key = static_cast<QKeyEvent*>(aEvent)->key();
  if (aObject == txtCommand && (key == Qt::Key_Up || key == Qt::Key_Down)) {
    std::string text = txtCommand->text().toStdString();
    if (key == Qt::Key_Up ? FCommands->Older(text) : FCommands->Newer(text))
      txtCommand->setText(FromStd(text));
    return true;
  }
  if (aObject == txtHost && key == Qt::Key_Down && !FServerCompleter->popup()->isVisible()) {
    ShowRecentServers();
    return true;
  }
  return QWidget::eventFilter(aObject, aEvent);
}

void TFRMRCON::ShowRecentServers() {
  if (FServerModel->rowCount() == 0) return;
  FServerCompleter->setCompletionPrefix(QString());
  FServerCompleter->complete();
}

void TFRMRCON::DoLog(const std::string& aValue) {
  FLog->Append(aValue, TqorRCONLogKind::Event);
}

QString TFRMRCON::Address() const {
  const QString host = FromStd(RCON->RCON_Options()->Host());
  const QString port = QString::number(RCON->RCON_Options()->Port());
  return host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2").arg(host, port)
                                         : host + QLatin1Char(':') + port;
}

void TFRMRCON::SetState(TConsoleState aState, const QString& aDetail) {
  FState = aState;
  btnConnect->setEnabled(aState == TConsoleState::Disconnected);
  btnDisconnect->setEnabled(aState != TConsoleState::Disconnected);
  btnExecCommand->setEnabled(aState == TConsoleState::Connected ||
                             aState == TConsoleState::Authenticated);
  switch (aState) {
    case TConsoleState::Disconnected:
      lblState->setText(aDetail.isEmpty() ? QStringLiteral("Disconnected")
                                          : QStringLiteral("Disconnected: ") + aDetail);
      break;
    case TConsoleState::Connecting:
      lblState->setText(QStringLiteral("Connecting to %1\u2026").arg(Address()));
      break;
    case TConsoleState::Connected:
      lblState->setText(QStringLiteral("Connected to %1").arg(Address()));
      break;
    case TConsoleState::Authenticated:
      lblState->setText(QStringLiteral("Authenticated on %1").arg(Address()));
      break;
  }
  setWindowTitle(aState == TConsoleState::Disconnected
                     ? kCaption
                     : kCaption + QStringLiteral(" - ") + Address());
}

// "host:port" and "[v6 address]:port" fill both fields; a bare IPv6 address stays as it is.
bool TFRMRCON::SplitHostAndPort() {
  const QString text = txtHost->text().trimmed();
  qsizetype colon = -1;
  if (text.startsWith(QLatin1Char('[')))
    colon = text.indexOf(QStringLiteral("]:")) + 1;
  else if (text.count(QLatin1Char(':')) == 1)
    colon = text.indexOf(QLatin1Char(':'));
  if (colon <= 0 || colon + 1 >= text.size()) return false;
  QString host = text.left(colon);
  if (host.startsWith(QLatin1Char('['))) host = host.mid(1, host.size() - 2);
  txtHost->setText(host);
  txtPort->setText(text.mid(colon + 1));
  return true;
}

void TFRMRCON::btnConnectClick() {
  if (FState != TConsoleState::Disconnected) return;  // a click that was queued meanwhile
  SplitHostAndPort();
  TqorRCON_Options* options = RCON->RCON_Options();
  options->SetHost(txtHost->text().trimmed().toStdString());
  int port;
  try {
    port = StrToInt(txtPort->text().toStdString());
  } catch (Exception& e) {
    e.SetMessage("Port: " + e.Message());
    throw;
  }
  // The TCP client would take the low 16 bits and connect somewhere else.
  if (port < 1 || port > 65535)
    throw EConvertError(Format("Port: %d is not a port number (1 to 65535)", port));
  options->SetPort(port);
  options->SetPassword(txtPassword->text().toStdString());
  FProbe = std::make_unique<TqorRCON_ConnectProbe>(options->Host(), port, RCON->ConnectTimeout());
  SetState(TConsoleState::Connecting);
  FProbeTimer.start();
}

// The server answered the probe (or it timed out): the component connects now, quickly.
void TFRMRCON::ProbeAnswered() {
  if (!FProbe || FProbe->Result() == TqorRCON_ConnectProbe::prWaiting) return;
  const bool answered = FProbe->Result() == TqorRCON_ConnectProbe::prAnswered;
  FProbe.reset();
  FProbeTimer.stop();
  if (!answered) {
    DoLog(std::string("#exception: ") + RSConnectTimeout);
    SetState(TConsoleState::Disconnected, Address() + QStringLiteral(": ") + RSConnectTimeout);
    return;
  }
  RCON->SetActive(true);
  // Neither a connection nor an error came of it.
  if (FState == TConsoleState::Connecting) SetState(TConsoleState::Disconnected);
}

void TFRMRCON::btnDisconnectClick() {
  if (FState == TConsoleState::Connecting && FProbe) {
    FProbe.reset();
    FProbeTimer.stop();
    DoLog("#connect cancelled");
    SetState(TConsoleState::Disconnected);
    return;
  }
  RCON->SetActive(false);
}

void TFRMRCON::btnExecCommandClick() {
  ExecFromField();
}

void TFRMRCON::ExecFromField() {
  const QString text = txtCommand->text();
  if (text.trimmed().isEmpty()) return;
  if (FState != TConsoleState::Connected && FState != TConsoleState::Authenticated) {
    DoLog("#not connected: the command was not sent");
    return;
  }
  FLog->Append("> " + text.toStdString(), TqorRCONLogKind::Command);
  // A command that carries the password (rcon_password, login ...) stays out of the file.
  const QString password = txtPassword->text();
  if (password.isEmpty() || !text.contains(password)) FCommands->Add(text.toStdString());
  if (FCommands->Unsaved() && !FHistorySaveTimer.isActive()) FHistorySaveTimer.start();
  txtCommand->clear();
  RCON->ExecCommand(text.toStdString());
  if (!FResponseTimer.isActive()) FResponseTimer.start();
}

void TFRMRCON::SaveLogAs() {
  const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save log as text"),
                                                    QStringLiteral("rcon-log.txt"),
                                                    QStringLiteral("Text files (*.txt)"));
  if (name.isEmpty()) return;
  QString error;
  if (!FLog->SaveToFile(name, error))
    QMessageBox::warning(this, kCaption, QStringLiteral("Cannot save %1: %2").arg(name, error));
}

void TFRMRCON::RCONConnect(TComponent*) {
  DoLog("#connected");
  SetState(TConsoleState::Connected);
  FServers->Add(Address().toStdString());
  FServers->Save();
  QStringList recent = FServerModel->stringList();
  recent.removeAll(Address());
  recent.prepend(Address());
  FServerModel->setStringList(recent.mid(0, int(kRecentServers)));
}

void TFRMRCON::RCONDisconnect(TComponent*) {
  DoLog("#disconnected");
  SetState(TConsoleState::Disconnected);
  FResponseTimer.stop();
}

void TFRMRCON::RCONAuthenticate(TComponent*, bool Authenticated, const TqorRCON_Packet&) {
  DoLog(Authenticated ? "#authenticated" : "#not authenticated");
  if (Authenticated) {
    SetState(TConsoleState::Authenticated);
    return;
  }
  // The server keeps the connection but takes no command on it: end it, so that Connect
  // with a corrected password connects anew. Queued: not from inside the receive path.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (FState != TConsoleState::Connected) return;
        RCON->SetActive(false);
        SetState(TConsoleState::Disconnected, Address() + QStringLiteral(": password rejected"));
      },
      Qt::QueuedConnection);
}

void TFRMRCON::RCONResponseComplete(TComponent*, int32_t, const std::string&,
                                    const std::string& aResponse) {
  FLog->Append(aResponse, TqorRCONLogKind::Answer);
}

void TFRMRCON::RCONResponseOverdue(TComponent*, int32_t, const std::string& aCommand) {
  DoLog(Format("#no answer to \"%s\" after %d s; the connection stays open", aCommand.c_str(),
               int(RCON->ResponseOverdueMs() / 1000)));
}

void TFRMRCON::RCONException(TComponent*, Exception& E) {
  DoLog("#exception: " + E.Message());
  if (FState == TConsoleState::Disconnected || FState == TConsoleState::Connecting)
    SetState(TConsoleState::Disconnected,
             Address() + QStringLiteral(": ") + FromStd(E.Message()).simplified());
}
