#include "rcon/qorRCON_ServerDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

template <class T>
T* Named(T* aObject, const char* aName) {
  aObject->setObjectName(QString::fromLatin1(aName));
  return aObject;
}

QLineEdit* PasswordField(QWidget* aParent, const char* aName, const QString& aText) {
  auto* field = Named(new QLineEdit(aText, aParent), aName);
  field->setEchoMode(QLineEdit::Password);
  return field;
}

QSpinBox* NumberField(QWidget* aParent, const char* aName, int aMin, int aMax, int aValue) {
  auto* box = Named(new QSpinBox(aParent), aName);
  box->setRange(aMin, aMax);
  box->setValue(aValue);
  return box;
}

// A file name field with a button that opens a file chooser.
QWidget* FileRow(QLineEdit* aField, bool aSave) {
  auto* row = new QWidget(aField->parentWidget());
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* browse = new QPushButton(QStringLiteral("\u2026"), row);
  QObject::connect(browse, &QPushButton::clicked, aField, [aField, aSave] {
    const QString name = aSave ? QFileDialog::getSaveFileName(aField, QString(), aField->text())
                               : QFileDialog::getOpenFileName(aField, QString(), aField->text());
    if (!name.isEmpty()) aField->setText(name);
  });
  layout->addWidget(aField, 1);
  layout->addWidget(browse);
  return row;
}

// (shown, stored) pairs of the choice lists.
const QList<QPair<QString, QString>> kProxyTypes = {
    {QStringLiteral("None"), QStringLiteral("none")},
    {QStringLiteral("SOCKS4"), QStringLiteral("socks4")},
    {QStringLiteral("SOCKS4A"), QStringLiteral("socks4a")},
    {QStringLiteral("SOCKS5"), QStringLiteral("socks5")},
    {QStringLiteral("HTTP CONNECT"), QStringLiteral("http")}};
const QList<QPair<QString, QString>> kHandlers = {
    {QStringLiteral("OpenSSL"), QStringLiteral("openssl")},
    {QStringLiteral("SChannel"), QStringLiteral("schannel")}};
const QList<QPair<QString, QString>> kVersions = {
    {QStringLiteral("Best available"), QString()},
    {QStringLiteral("TLS 1.0"), QStringLiteral("1.0")},
    {QStringLiteral("TLS 1.1"), QStringLiteral("1.1")},
    {QStringLiteral("TLS 1.2"), QStringLiteral("1.2")},
    {QStringLiteral("TLS 1.3"), QStringLiteral("1.3")}};

QComboBox* Choice(QWidget* aParent, const char* aName, const QList<QPair<QString, QString>>& aItems,
                  const QString& aValue) {
  auto* box = Named(new QComboBox(aParent), aName);
  for (const auto& item : aItems) box->addItem(item.first, item.second);
  box->setCurrentIndex(std::max(0, box->findData(aValue)));
  return box;
}

}  // namespace

TqorRCON_ServerDialog::TqorRCON_ServerDialog(QWidget* aParent, const TqorRCON_Server& aServer,
                                             const TqorRCON_Passwords& aPasswords, bool aRemember)
    : QDialog(aParent) {
  setObjectName(QStringLiteral("dlgServer"));
  setWindowTitle(QStringLiteral("Server settings"));
  auto* server = new QGroupBox(QStringLiteral("Server"), this);
  txtName = Named(new QLineEdit(aServer.Name, server), "txtName");
  txtHost = Named(new QLineEdit(aServer.Host, server), "txtHost");
  spnPort = NumberField(server, "spnPort", 1, 65535, aServer.Port);
  txtPassword = PasswordField(server, "txtPassword", aPasswords.RCON);
  auto* serverForm = new QFormLayout(server);
  serverForm->addRow(QStringLiteral("&Name:"), txtName);
  serverForm->addRow(QStringLiteral("&Host:"), txtHost);
  serverForm->addRow(QStringLiteral("&Port:"), spnPort);
  serverForm->addRow(QStringLiteral("RCON pass&word:"), txtPassword);

  auto* proxy = new QGroupBox(QStringLiteral("Proxy"), this);
  cmbProxyType = Choice(proxy, "cmbProxyType", kProxyTypes, aServer.ProxyType);
  txtProxyHost = Named(new QLineEdit(aServer.ProxyHost, proxy), "txtProxyHost");
  spnProxyPort = NumberField(proxy, "spnProxyPort", 1, 65535, aServer.ProxyPort);
  txtProxyUser = Named(new QLineEdit(aServer.ProxyUser, proxy), "txtProxyUser");
  txtProxyPassword = PasswordField(proxy, "txtProxyPassword", aPasswords.Proxy);
  auto* proxyForm = new QFormLayout(proxy);
  proxyForm->addRow(QStringLiteral("T&ype:"), cmbProxyType);
  proxyForm->addRow(QStringLiteral("Host:"), txtProxyHost);
  proxyForm->addRow(QStringLiteral("Port:"), spnProxyPort);
  proxyForm->addRow(QStringLiteral("User:"), txtProxyUser);
  proxyForm->addRow(QStringLiteral("Password:"), txtProxyPassword);

  grpTLS = Named(new QGroupBox(QStringLiteral("&TLS"), this), "grpTLS");
  grpTLS->setCheckable(true);
  grpTLS->setChecked(aServer.TLS);
  cmbTLSHandler = Choice(grpTLS, "cmbTLSHandler", kHandlers, aServer.TLSHandler);
  cmbTLSVersion = Choice(grpTLS, "cmbTLSVersion", kVersions, aServer.TLSVersion);
  chkTLSVerify =
      Named(new QCheckBox(QStringLiteral("&Verify the certificate and the host name"), grpTLS),
            "chkTLSVerify");
  chkTLSVerify->setChecked(aServer.TLSVerify);
  txtTLSCA = Named(new QLineEdit(aServer.TLSCA, grpTLS), "txtTLSCA");
  txtTLSCA->setPlaceholderText(QStringLiteral("the system's trusted CAs"));
  txtTLSCert = Named(new QLineEdit(aServer.TLSCert, grpTLS), "txtTLSCert");
  txtTLSKey = Named(new QLineEdit(aServer.TLSKey, grpTLS), "txtTLSKey");
  txtKeyPassword = PasswordField(grpTLS, "txtKeyPassword", aPasswords.Key);
  txtALPN = Named(new QLineEdit(aServer.TLSALPN, grpTLS), "txtALPN");
  txtALPN->setPlaceholderText(QStringLiteral("protocol names, comma-separated"));
  auto* tlsForm = new QFormLayout(grpTLS);
  tlsForm->addRow(QStringLiteral("Library:"), cmbTLSHandler);
  tlsForm->addRow(QStringLiteral("Version:"), cmbTLSVersion);
  tlsForm->addRow(chkTLSVerify);
  tlsForm->addRow(QStringLiteral("CA file:"), FileRow(txtTLSCA, false));
  tlsForm->addRow(QStringLiteral("Client certificate:"), FileRow(txtTLSCert, false));
  tlsForm->addRow(QStringLiteral("Key:"), FileRow(txtTLSKey, false));
  tlsForm->addRow(QStringLiteral("Key password:"), txtKeyPassword);
  tlsForm->addRow(QStringLiteral("ALPN:"), txtALPN);

  auto* traffic = new QGroupBox(QStringLiteral("Connection"), this);
  txtLogFile = Named(new QLineEdit(aServer.LogFile, traffic), "txtLogFile");
  txtLogFile->setPlaceholderText(QStringLiteral("no traffic log"));
  spnThrottle = NumberField(traffic, "spnThrottle", 0, 1000000000, aServer.Throttle);
  spnThrottle->setSpecialValueText(QStringLiteral("off"));
  spnThrottle->setSuffix(QStringLiteral(" bit/s"));
  spnConnectTimeout = NumberField(traffic, "spnConnectTimeout", 0, 600000, aServer.ConnectTimeout);
  spnConnectTimeout->setSpecialValueText(QStringLiteral("the system's"));
  spnConnectTimeout->setSuffix(QStringLiteral(" ms"));
  auto* trafficForm = new QFormLayout(traffic);
  trafficForm->addRow(QStringLiteral("Traffic log:"), FileRow(txtLogFile, true));
  trafficForm->addRow(QStringLiteral("Throttle:"), spnThrottle);
  trafficForm->addRow(QStringLiteral("Connect time-out:"), spnConnectTimeout);

  chkRemember = Named(
      new QCheckBox(QStringLiteral("&Remember the passwords in the desktop's secret store"), this),
      "chkRemember");
  chkRemember->setChecked(aRemember);
  btnBox = Named(new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this),
                 "btnBox");
  connect(btnBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(btnBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  if (!aServer.Name.isEmpty()) {
    QPushButton* remove =
        btnBox->addButton(QStringLiteral("&Delete"), QDialogButtonBox::DestructiveRole);
    remove->setObjectName(QStringLiteral("btnDelete"));
    connect(remove, &QPushButton::clicked, this, [this] { done(Deleted); });
  }

  auto* columns = new QHBoxLayout;
  auto* left = new QVBoxLayout;
  left->addWidget(server);
  left->addWidget(proxy);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(grpTLS);
  right->addWidget(traffic);
  right->addStretch();
  columns->addLayout(left);
  columns->addLayout(right);
  auto* main = new QVBoxLayout(this);
  main->addLayout(columns);
  main->addWidget(chkRemember);
  main->addWidget(btnBox);

  for (QLineEdit* f : {txtName, txtHost, txtProxyHost})
    connect(f, &QLineEdit::textChanged, this, [this] { UpdateControls(); });
  connect(cmbProxyType, &QComboBox::currentIndexChanged, this, [this] { UpdateControls(); });
  UpdateControls();
}

void TqorRCON_ServerDialog::UpdateControls() {
  const bool proxy = cmbProxyType->currentData().toString() != QStringLiteral("none");
  for (QWidget* w :
       std::initializer_list<QWidget*>{txtProxyHost, spnProxyPort, txtProxyUser, txtProxyPassword})
    w->setEnabled(proxy);
  const bool complete = !txtName->text().trimmed().isEmpty() &&
                        !txtHost->text().trimmed().isEmpty() &&
                        (!proxy || !txtProxyHost->text().trimmed().isEmpty());
  btnBox->button(QDialogButtonBox::Save)->setEnabled(complete);
}

TqorRCON_Server TqorRCON_ServerDialog::Server() const {
  TqorRCON_Server s;
  s.Name = txtName->text().trimmed();
  s.Host = txtHost->text().trimmed();
  s.Port = spnPort->value();
  s.ProxyType = cmbProxyType->currentData().toString();
  s.ProxyHost = txtProxyHost->text().trimmed();
  s.ProxyPort = spnProxyPort->value();
  s.ProxyUser = txtProxyUser->text();
  s.TLS = grpTLS->isChecked();
  s.TLSHandler = cmbTLSHandler->currentData().toString();
  s.TLSVersion = cmbTLSVersion->currentData().toString();
  s.TLSVerify = chkTLSVerify->isChecked();
  s.TLSCA = txtTLSCA->text().trimmed();
  s.TLSCert = txtTLSCert->text().trimmed();
  s.TLSKey = txtTLSKey->text().trimmed();
  s.TLSALPN = txtALPN->text().trimmed();
  s.LogFile = txtLogFile->text().trimmed();
  s.Throttle = spnThrottle->value();
  s.ConnectTimeout = spnConnectTimeout->value();
  return s;
}

TqorRCON_Passwords TqorRCON_ServerDialog::Passwords() const {
  return {txtPassword->text(), txtProxyPassword->text(), txtKeyPassword->text()};
}

bool TqorRCON_ServerDialog::Remember() const {
  return chkRemember->isChecked();
}
