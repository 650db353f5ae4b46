#include "rcon/FRCON.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCompleter>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
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
#include <QTextBlock>
#include <QVBoxLayout>

#include "platform/SysUtils.h"
#include "rcon/qorRCON_Application.h"
#include "rcon/qorRCON_History.h"
#include "rcon/qorRCON_Secrets.h"
#include "tls/IdSSLOpenSSL.h"
#include "transport/IdException.h"

namespace {

constexpr size_t kCommandHistory = 500;
constexpr size_t kRecentServers = 10;
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

TFRMRCON::TFRMRCON(QWidget* aParent, const QString& aDataFolder, const QString& aConfigFile)
    : QWidget(aParent), FConfigFile(ServersFile(aConfigFile)) {
  setObjectName(QStringLiteral("FRMRCON"));
  const QString folder = aDataFolder.isEmpty()
                             ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                             : aDataFolder;
  FCommands = std::make_unique<TqorRCON_History>(
      QDir(folder).filePath(QStringLiteral("history.txt")).toStdString(), kCommandHistory, false);
  FServers = std::make_unique<TqorRCON_History>(
      QDir(folder).filePath(QStringLiteral("servers.txt")).toStdString(), kRecentServers, true);
  FServerList = LoadServers(FConfigFile);
  CreateControls();
  CreateActions();
  FillServerBox();
  resize(635, 527);
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  LoadRCON();
  SetState(TConsoleState::Disconnected);
}

// The component goes first, so that nothing it does on the way out reaches half-gone controls.
TFRMRCON::~TFRMRCON() {
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
  lblServer = Named(new QLabel(QStringLiteral("Server:"), pnlTop), "lblServer");
  cmbServer = Named(new QComboBox(pnlTop), "cmbServer");
  cmbServer->setToolTip(QStringLiteral("A saved server: choosing it fills the fields."));
  lblServer->setBuddy(cmbServer);
  btnSettings = Named(new QPushButton(QStringLiteral("Settings\u2026"), pnlTop), "btnSettings");
  btnSettings->setToolTip(
      QStringLiteral("The chosen server's settings: proxy, TLS, traffic log, throttle, "
                     "time-out, passwords. Without a chosen server: save the fields as one."));
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
  grid->addWidget(lblServer, 1, 4);
  grid->addWidget(cmbServer, 1, 5);
  grid->addWidget(btnSettings, 1, 6);
  grid->addWidget(txtCommand, 2, 0, 1, 6);
  grid->addWidget(btnExecCommand, 2, 6);
  grid->setColumnStretch(3, 1);
  grid->setColumnStretch(5, 1);

  pnlBody = Named(new QWidget(this), "pnlBody");
  lblState = Named(new QLabel(pnlBody), "lblState");
  lblState->setContentsMargins(4, 2, 4, 2);
  lblState->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblLogNote = Named(new QLabel(pnlBody), "lblLogNote");
  Memo1 = Named(new TqorRCON_LogEdit(pnlBody), "Memo1");
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  Memo1->setTabChangesFocus(true);
  FLog = new TqorRCON_LogView(Memo1, lblLogNote);
  // Ctrl+F opens it under the log; Enter and F3 find the next match, with Shift the previous.
  pnlFind = Named(new QWidget(pnlBody), "pnlFind");
  txtFind = Named(new QLineEdit(pnlFind), "txtFind");
  txtFind->setPlaceholderText(QStringLiteral("Find in the log"));
  txtFind->setClearButtonEnabled(true);
  btnFindPrevious = Named(new QPushButton(QStringLiteral("Previous"), pnlFind), "btnFindPrevious");
  btnFindNext = Named(new QPushButton(QStringLiteral("Next"), pnlFind), "btnFindNext");
  lblFindNote = Named(new QLabel(pnlFind), "lblFindNote");
  auto* closeFind = Named(new QPushButton(QStringLiteral("Close"), pnlFind), "btnFindClose");
  auto* find = new QHBoxLayout(pnlFind);
  find->setContentsMargins(4, 2, 4, 2);
  find->addWidget(txtFind, 1);
  find->addWidget(btnFindPrevious);
  find->addWidget(btnFindNext);
  find->addWidget(lblFindNote);
  find->addWidget(closeFind);
  pnlFind->hide();
  // As the text is typed the match grows where it stands.
  connect(txtFind, &QLineEdit::textChanged, this, [this] {
    QTextCursor at = Memo1->textCursor();
    at.setPosition(at.selectionStart());
    Memo1->setTextCursor(at);
    FindInLog(false);
  });
  txtFind->installEventFilter(this);
  connect(btnFindNext, &QPushButton::clicked, this, [this] { FindInLog(false); });
  connect(btnFindPrevious, &QPushButton::clicked, this, [this] { FindInLog(true); });
  connect(closeFind, &QPushButton::clicked, this, [this] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    eventFilter(txtFind, &escape);
  });
  auto* body = new QVBoxLayout(pnlBody);
  body->setContentsMargins(0, 0, 0, 0);
  body->setSpacing(0);
  body->addWidget(lblState);
  body->addWidget(lblLogNote);
  body->addWidget(Memo1);
  body->addWidget(pnlFind);

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
  connect(btnSettings, &QPushButton::clicked, this, [this] { RunAction(&TFRMRCON::EditServer); });
  connect(cmbServer, &QComboBox::activated, this, [this](int aIndex) {
    ChooseServer(aIndex > 0 ? cmbServer->itemText(aIndex) : QString());
  });
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
  actCertificate =
      Named(new QAction(QStringLiteral("Server certificate\u2026"), this), "actCertificate");
  actCertificate->setEnabled(false);
  connect(actCertificate, &QAction::triggered, this, [this] {
    QMessageBox::information(this, QStringLiteral("Server certificate"), FPeerCertificate);
  });
  actFind = Named(new QAction(QStringLiteral("Find..."), this), "actFind");
  actFind->setShortcut(QKeySequence::Find);
  connect(actFind, &QAction::triggered, this, [this] {
    pnlFind->show();
    txtFind->setFocus();
    txtFind->selectAll();
  });
  auto* findNext = new QAction(this);
  findNext->setShortcut(QKeySequence::FindNext);
  connect(findNext, &QAction::triggered, this, [this] { FindInLog(false); });
  auto* findPrevious = new QAction(this);
  findPrevious->setShortcut(QKeySequence::FindPrevious);
  connect(findPrevious, &QAction::triggered, this, [this] { FindInLog(true); });
  actCopyAnswer = Named(new QAction(QStringLiteral("Copy whole answer"), this), "actCopyAnswer");
  actCopyAnswer->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
  connect(actCopyAnswer, &QAction::triggered, this, [this] {
    FLog->Flush();
    QApplication::clipboard()->setText(Memo1->EntryText(Memo1->textCursor().position()));
  });
  for (QAction* a : {actClear, actSave, actTimestamps, actCertificate, actFind, findNext,
                     findPrevious, actCopyAnswer}) {
    a->setShortcutContext(Qt::WindowShortcut);
    addAction(a);
  }
  Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Memo1, &QWidget::customContextMenuRequested, this, [this](const QPoint& aAt) {
    // The answer to copy is the one under the mouse.
    if (!Memo1->textCursor().hasSelection()) Memo1->setTextCursor(Memo1->cursorForPosition(aAt));
    QMenu* menu = Memo1->createStandardContextMenu();
    menu->addAction(actCopyAnswer);
    menu->addAction(actFind);
    menu->addSeparator();
    menu->addActions({actClear, actSave, actTimestamps, actCertificate});
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
  RCON->SetConnectInBackground(true);  // the window never waits for a server, a proxy or TLS
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
  if (aObject == txtFind && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
    FindInLog(static_cast<QKeyEvent*>(aEvent)->modifiers() & Qt::ShiftModifier);
    return true;
  }
  if (aObject == txtFind && key == Qt::Key_Escape) {
    pnlFind->hide();
    Memo1->setExtraSelections({});
    Memo1->setFocus();
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
  QString carrier = aState == TConsoleState::Disconnected ? QString() : Carrier();
  if (!carrier.isEmpty()) carrier = QStringLiteral(" (%1)").arg(carrier);
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
      lblState->setText(QStringLiteral("Connecting to %1%2\u2026").arg(Address(), carrier));
      break;
    case TConsoleState::Connected:
      lblState->setText(QStringLiteral("Connected to %1%2").arg(Address(), carrier));
      break;
    case TConsoleState::Authenticated:
      lblState->setText(QStringLiteral("Authenticated on %1%2").arg(Address(), carrier));
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
  if (!ApplyChosenServer()) return;
  options = RCON->RCON_Options();
  options->SetHost(txtHost->text().trimmed().toStdString());
  options->SetPort(port);
  options->SetPassword(txtPassword->text().toStdString());
  // The component connects in the background (lookup, proxy, TLS): OnConnect or OnException
  // ends the wait.
  SetState(TConsoleState::Connecting);
  RCON->SetActive(true);
}

void TFRMRCON::btnDisconnectClick() {
  const bool connecting = FState == TConsoleState::Connecting;
  RCON->SetActive(false);
  if (!connecting) return;
  DoLog("#connect cancelled");
  SetState(TConsoleState::Disconnected);
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
  auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(RCON->TCPClient()->HandlerSSL());
  if (TIdX509* cert = tls && tls->SSLSocket() ? tls->SSLSocket()->PeerCert() : nullptr) {
    const QDateTime expires = QDateTime::fromSecsSinceEpoch(cert->notAfter(), Qt::UTC);
    FPeerCertificate =
        QStringLiteral("Subject: %1\nIssuer: %2\nExpires: %3")
            .arg(FromStd(cert->Subject().OneLine()), FromStd(cert->Issuer().OneLine()),
                 expires.toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")));
    actCertificate->setEnabled(true);
  }
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
  FPeerCertificate.clear();
  actCertificate->setEnabled(false);
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
  if (FConnection.TLS) ExplainTLSFailure(E.Message());
  if (FState == TConsoleState::Disconnected || FState == TConsoleState::Connecting)
    SetState(TConsoleState::Disconnected,
             Address() + QStringLiteral(": ") + FromStd(E.Message()).simplified());
}

void TFRMRCON::FillServerBox() {
  const QString chosen = cmbServer->currentIndex() > 0 ? cmbServer->currentText() : QString();
  cmbServer->clear();
  cmbServer->addItem(QStringLiteral("(none)"));
  for (const TqorRCON_Server& s : FServerList) cmbServer->addItem(s.Name);
  cmbServer->setCurrentIndex(std::max(0, cmbServer->findText(chosen)));
}

const TqorRCON_Server* TFRMRCON::ChosenServer() const {
  const int index = cmbServer->currentIndex() - 1;
  return index >= 0 && index < FServerList.size() ? &FServerList[index] : nullptr;
}

void TFRMRCON::ChooseServer(const QString& aName) {
  cmbServer->setCurrentIndex(aName.isEmpty() ? 0 : std::max(0, cmbServer->findText(aName)));
  const TqorRCON_Server* server = ChosenServer();
  if (!server) return;
  txtHost->setText(server->Host);
  txtPort->setText(QString::number(server->Port));
  txtPassword->setText(PasswordsOf(server->Name).RCON);
  if (txtPassword->text().isEmpty()) txtPassword->setFocus();
}

void TFRMRCON::StoreFailed(const QString& aError) {
  if (FStoreFailed) return;
  FStoreFailed = true;
  DoLog("#secret store: " + aError.toStdString() + "; passwords are asked for instead");
}

TqorRCON_Passwords TFRMRCON::PasswordsOf(const QString& aName) {
  if (auto found = FPasswords.constFind(aName); found != FPasswords.constEnd()) return *found;
  TqorRCON_Passwords p;
  QString error;
  bool any = false;
  for (auto [suffix, value] : {std::pair{"rcon", &p.RCON}, {"proxy", &p.Proxy}, {"key", &p.Key}}) {
    const bool read =
        qorRCONSecrets::Read(aName + QLatin1Char('/') + QLatin1String(suffix), *value, error);
    if (!error.isEmpty()) {
      StoreFailed(error);
      return p;
    }
    any = any || read;
  }
  if (any) FRemembered.insert(aName);
  FPasswords.insert(aName, p);
  return p;
}

void TFRMRCON::StorePasswords(const QString& aName, const TqorRCON_Passwords& aPasswords,
                              bool aRemember) {
  FPasswords.insert(aName, aPasswords);
  if (!aRemember && !FRemembered.contains(aName)) return;
  QString error;
  for (auto [suffix, value] :
       {std::pair{"rcon", aPasswords.RCON}, {"proxy", aPasswords.Proxy}, {"key", aPasswords.Key}}) {
    const QString key = aName + QLatin1Char('/') + QLatin1String(suffix);
    const bool done = aRemember && !value.isEmpty() ? qorRCONSecrets::Write(key, value, error)
                                                    : qorRCONSecrets::Remove(key, error);
    if (!done) return StoreFailed(error);
  }
  if (aRemember)
    FRemembered.insert(aName);
  else
    FRemembered.remove(aName);
}

void TFRMRCON::EditServer() {
  const TqorRCON_Server* chosen = ChosenServer();
  TqorRCON_Server server;
  TqorRCON_Passwords passwords;
  if (chosen) {
    server = *chosen;
    passwords = PasswordsOf(chosen->Name);
  } else {
    SplitHostAndPort();
    server.Host = txtHost->text().trimmed();
    bool ok = false;
    const int port = txtPort->text().toInt(&ok);
    if (ok && port > 0 && port < 65536) server.Port = port;
    server.Name = server.Host;
    passwords.RCON = txtPassword->text();
  }
  const QString old = chosen ? chosen->Name : QString();
  TqorRCON_ServerDialog dialog(this, server, passwords, FRemembered.contains(old));
  const int result = dialog.exec();
  if (result == QDialog::Rejected) return;
  const qsizetype at = old.isEmpty() ? -1 : cmbServer->currentIndex() - 1;
  if (at >= 0) FServerList.removeAt(at);
  if (result == TqorRCON_ServerDialog::Deleted) {
    StorePasswords(old, {}, false);
    FPasswords.remove(old);
  } else {
    const TqorRCON_Server edited = dialog.Server();
    FServerList.removeIf([&](const TqorRCON_Server& s) { return s.Name == edited.Name; });
    FServerList.insert(at >= 0 ? std::min(at, FServerList.size()) : FServerList.size(), edited);
    if (!old.isEmpty() && old != edited.Name) {
      StorePasswords(old, {}, false);
      FPasswords.remove(old);
    }
    StorePasswords(edited.Name, dialog.Passwords(), dialog.Remember());
  }
  FillServerBox();
  if (result != TqorRCON_ServerDialog::Deleted) ChooseServer(dialog.Server().Name);
  QString error;
  if (!SaveServers(FConfigFile, FServerList, error))
    QMessageBox::warning(this, kCaption, QStringLiteral("Cannot save the servers: %1").arg(error));
}

bool TFRMRCON::ApplyChosenServer() {
  const TqorRCON_Server* server = ChosenServer();
  if (!server) {
    // Back to the plain connection the window starts with.
    if (FServerApplied) LoadRCON();
    FServerApplied = false;
    FConnection = TqorRCON_Server();
    return true;
  }
  TqorRCON_Passwords& known = FPasswords[server->Name];
  auto ask = [&](const QString& aWhat, QString& aValue) {
    bool ok = false;
    aValue = QInputDialog::getText(this, kCaption, aWhat, QLineEdit::Password, QString(), &ok);
    return ok;
  };
  if (server->HasProxy() && !server->ProxyUser.isEmpty() && known.Proxy.isEmpty() &&
      !ask(QStringLiteral("Password of %1 on the proxy %2:")
               .arg(server->ProxyUser, server->ProxyHost),
           known.Proxy))
    return false;
  if (server->TLS && !server->TLSKey.isEmpty() && known.Key.isEmpty() &&
      KeyFileIsEncrypted(server->TLSKey) &&
      !ask(QStringLiteral("Password of the key %1:").arg(server->TLSKey), known.Key))
    return false;
  // A fresh component each time: an HTTP proxy keeps the settings it was first made with.
  LoadRCON();
  ApplyServer(*server, {known.Proxy, known.Key}, *RCON);
  FServerApplied = true;
  FConnection = *server;
  return true;
}

QString TFRMRCON::Carrier() {
  QStringList parts;
  if (FConnection.TLS) {
    QString version = QStringLiteral("TLS");
    if (auto* tls = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(RCON->TCPClient()->HandlerSSL())) {
      const QString v = FromStd(tls->GetSSLVersion());
      if (v.startsWith(QStringLiteral("TLSv"))) version = QStringLiteral("TLS ") + v.mid(4);
    }
    parts << version;
  }
  if (FConnection.HasProxy()) {
    static const QHash<QString, QString> kNames = {
        {QStringLiteral("socks4"), QStringLiteral("SOCKS4")},
        {QStringLiteral("socks4a"), QStringLiteral("SOCKS4A")},
        {QStringLiteral("socks5"), QStringLiteral("SOCKS5")},
        {QStringLiteral("http"), QStringLiteral("HTTP proxy")}};
    parts << QStringLiteral("via %1 %2:%3")
                 .arg(kNames.value(FConnection.ProxyType), FConnection.ProxyHost)
                 .arg(FConnection.ProxyPort);
  }
  QString text = parts.join(QLatin1Char(' '));
  if (FConnection.TLS && !FConnection.TLSVerify)
    text += QStringLiteral(", certificate not verified");
  return text;
}

// The library's reason, said so that an operator knows what to do about it.
void TFRMRCON::ExplainTLSFailure(const std::string& aMessage) {
  static const struct {
    const char* Reason;
    const char* Words;
  } kReasons[] = {
      {"self-signed certificate in certificate chain",
       "the server's certificate chain ends in a CA that is not trusted here"},
      {"self-signed certificate", "the server's certificate is self-signed, and not trusted here"},
      {"unable to get local issuer certificate",
       "the server's certificate was issued by a CA that is not trusted here"},
      {"certificate has expired", "the server's certificate has expired"},
      {"certificate is not yet valid", "the server's certificate is not valid yet"},
      {"Hostname mismatch", "the server's certificate is made out for another host name"},
      {"IP address mismatch", "the server's certificate is made out for another address"},
      {"certificate revoked", "the server's certificate was revoked"},
  };
  for (const auto& r : kReasons) {
    if (aMessage.find(r.Reason) == std::string::npos) continue;
    DoLog(std::string("#certificate not accepted: ") + r.Words +
          ". Set the CA file that issued it in the server's settings, or turn verification off "
          "for this server only if you trust the connection otherwise.");
    return;
  }
}

void TFRMRCON::FindInLog(bool aBackward) {
  if (!pnlFind->isVisible()) return;
  FLog->Flush();
  const bool found = Memo1->Find(txtFind->text(), aBackward);
  lblFindNote->setText(found || txtFind->text().isEmpty() ? QString()
                                                          : QStringLiteral("Not found"));
}
