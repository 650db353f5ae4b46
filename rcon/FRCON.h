#pragma once
#include <QWidget>
#include <memory>
#include <string>

#include "rcon/qorLib_RCON_Client.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The console window: host, port and password, Connect / Disconnect, a command line and the
// log. Every control carries its field name as Qt object name.
class TFRMRCON : public QWidget {
 public:
  explicit TFRMRCON(QWidget* aParent = nullptr);
  ~TFRMRCON() override;

  // Appends aValue as a new line at the end of the log and keeps it in view.
  void DoLog(const std::string& aValue);

  QWidget* pnlTop;
  QWidget* pnlBody;
  QPushButton* btnConnect;
  QPushButton* btnDisconnect;
  QLabel* lblHost;
  QLineEdit* txtHost;
  QLabel* lblPort;
  QLineEdit* txtPort;
  QLabel* lblPassword;
  QLineEdit* txtPassword;
  QCheckBox* chkShowPassword;
  QLineEdit* txtCommand;
  QPushButton* btnExecCommand;
  QPlainTextEdit* Memo1;
  std::unique_ptr<TqorLib_RCON> RCON;

 private:
  void CreateControls();
  void LoadRCON();
  // Runs an action; what it throws goes to the application's error box.
  void RunAction(void (TFRMRCON::*aAction)());

  void btnConnectClick();
  void btnDisconnectClick();
  void btnExecCommandClick();

  void RCONConnect(TComponent* Sender);
  void RCONDisconnect(TComponent* Sender);
  void RCONAuthenticate(TComponent* Sender, bool Authenticated, const TqorRCON_Packet& aPacket);
  void RCONResponse(TComponent* Sender, const std::string& aResponse, const TqorRCON_Packet& aPacket);
  void RCONException(TComponent* Sender, Exception& E);
};
