#include "rcon/FRCON.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

#include "platform/SysUtils.h"
#include "rcon/qorRCON_Application.h"

namespace {
template <class T>
T* Named(T* aWidget, const char* aName) {
  aWidget->setObjectName(QString::fromLatin1(aName));
  return aWidget;
}
}  // namespace

TFRMRCON::TFRMRCON(QWidget* aParent) : QWidget(aParent) {
  setWindowTitle(QStringLiteral("qorRCON - Client"));
  setObjectName(QStringLiteral("FRMRCON"));
  CreateControls();
  resize(635, 527);
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  LoadRCON();
}

// The component goes first, so that nothing it does on the way out reaches half-gone controls.
TFRMRCON::~TFRMRCON() { RCON.reset(); }

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
  txtCommand = Named(new QLineEdit(QStringLiteral("help"), pnlTop), "txtCommand");
  btnExecCommand = Named(new QPushButton(QStringLiteral("Exec Command"), pnlTop), "btnExecCommand");
  lblHost->setBuddy(txtHost);
  lblPort->setBuddy(txtPort);
  lblPassword->setBuddy(txtPassword);

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
  grid->addWidget(chkShowPassword, 1, 5);
  grid->addWidget(txtCommand, 2, 0, 1, 5);
  grid->addWidget(btnExecCommand, 2, 5);
  grid->setColumnStretch(3, 1);
  grid->setColumnStretch(5, 1);

  pnlBody = Named(new QWidget(this), "pnlBody");
  Memo1 = Named(new QPlainTextEdit(pnlBody), "Memo1");
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  auto* body = new QVBoxLayout(pnlBody);
  body->setContentsMargins(0, 0, 0, 0);
  body->addWidget(Memo1);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(0, 0, 0, 0);
  main->setSpacing(0);
  main->addWidget(pnlTop);
  main->addWidget(pnlBody, 1);

  connect(btnConnect, &QPushButton::clicked, this, [this] { RunAction(&TFRMRCON::btnConnectClick); });
  connect(btnDisconnect, &QPushButton::clicked, this,
          [this] { RunAction(&TFRMRCON::btnDisconnectClick); });
  connect(btnExecCommand, &QPushButton::clicked, this,
          [this] { RunAction(&TFRMRCON::btnExecCommandClick); });
  for (QLineEdit* field : {txtHost, txtPort, txtPassword})
    connect(field, &QLineEdit::returnPressed, btnConnect, &QPushButton::click);
  connect(txtCommand, &QLineEdit::returnPressed, btnExecCommand, &QPushButton::click);
  connect(chkShowPassword, &QCheckBox::toggled, txtPassword, [this](bool aShow) {
    txtPassword->setEchoMode(aShow ? QLineEdit::Normal : QLineEdit::Password);
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
  RCON->SetOnResponse(std::bind(&TFRMRCON::RCONResponse, this, _1, _2, _3));
  RCON->SetOnException(std::bind(&TFRMRCON::RCONException, this, _1, _2));
  RCON->Loaded();
}

void TFRMRCON::RunAction(void (TFRMRCON::*aAction)()) {
  try {
    (this->*aAction)();
  } catch (...) {
    ShowApplicationException(std::current_exception());
  }
}

void TFRMRCON::DoLog(const std::string& aValue) {
  Memo1->appendPlainText(QString::fromUtf8(aValue.data(), static_cast<qsizetype>(aValue.size())));
  Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
}

void TFRMRCON::btnConnectClick() {
  TqorRCON_Options* options = RCON->RCON_Options();
  options->SetHost(txtHost->text().toStdString());
  options->SetPort(StrToInt(txtPort->text().toStdString()));
  options->SetPassword(txtPassword->text().toStdString());
  RCON->SetActive(true);
}

void TFRMRCON::btnDisconnectClick() { RCON->SetActive(false); }

void TFRMRCON::btnExecCommandClick() { RCON->ExecCommand(txtCommand->text().toStdString()); }

void TFRMRCON::RCONConnect(TComponent*) { DoLog("#connected"); }

void TFRMRCON::RCONDisconnect(TComponent*) { DoLog("#disconnected"); }

void TFRMRCON::RCONAuthenticate(TComponent*, bool Authenticated, const TqorRCON_Packet&) {
  DoLog(Authenticated ? "#authenticated" : "#not authenticated");
}

void TFRMRCON::RCONResponse(TComponent*, const std::string& aResponse, const TqorRCON_Packet&) {
  DoLog(aResponse);
}

void TFRMRCON::RCONException(TComponent*, Exception& E) {
  DoLog("#exception: " + E.Message());
}
