#pragma once
#include <QDialog>

#include "rcon/qorRCON_Servers.h"

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QLineEdit;
class QSpinBox;

// The passwords of one server as the dialog shows them.
struct TqorRCON_Passwords {
  QString RCON;
  QString Proxy;
  QString Key;
};

// The settings of one saved server: address, proxy, TLS, traffic log, throttle, connect time-out,
// and its passwords with the choice to remember them in the secret store. Every control carries
// its field name as object name.
class TqorRCON_ServerDialog : public QDialog {
 public:
  // exec()'s result when the operator deleted the server.
  static constexpr int Deleted = 2;

  TqorRCON_ServerDialog(QWidget* aParent, const TqorRCON_Server& aServer,
                        const TqorRCON_Passwords& aPasswords, bool aRemember);

  TqorRCON_Server Server() const;
  TqorRCON_Passwords Passwords() const;
  bool Remember() const;

  QLineEdit* txtName;
  QLineEdit* txtHost;
  QSpinBox* spnPort;
  QLineEdit* txtPassword;
  QComboBox* cmbProxyType;
  QLineEdit* txtProxyHost;
  QSpinBox* spnProxyPort;
  QLineEdit* txtProxyUser;
  QLineEdit* txtProxyPassword;
  QGroupBox* grpTLS;
  QComboBox* cmbTLSHandler;
  QComboBox* cmbTLSVersion;
  QCheckBox* chkTLSVerify;
  QLineEdit* txtTLSCA;
  QLineEdit* txtTLSCert;
  QLineEdit* txtTLSKey;
  QLineEdit* txtKeyPassword;
  QLineEdit* txtALPN;
  QLineEdit* txtLogFile;
  QSpinBox* spnThrottle;
  QSpinBox* spnConnectTimeout;
  QCheckBox* chkRemember;
  QDialogButtonBox* btnBox;

 private:
  void UpdateControls();
};
