#pragma once
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "rcon/qorLib_RCON_Client.h"
#include "rcon/qorRCON_LogView.h"

class QAction;
class QCheckBox;
class QCompleter;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStringListModel;
class TqorRCON_ConnectProbe;
class TqorRCON_History;

// Where the console stands; the buttons, the state line and the title follow it.
enum class TConsoleState { Disconnected, Connecting, Connected, Authenticated };

// The console window: host, port and password, Connect / Disconnect, a command line with
// history and the log. Every control carries its field name as Qt object name.
class TFRMRCON : public QWidget {
 public:
  // The console's history files live in aDataFolder (by default the user's data folder).
  explicit TFRMRCON(QWidget* aParent = nullptr, const QString& aDataFolder = QString());
  ~TFRMRCON() override;

  // Appends aValue as a new line at the end of the log.
  void DoLog(const std::string& aValue);
  TConsoleState State() const { return FState; }
  TqorRCON_LogView& Log() { return *FLog; }

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
  QLabel* lblState;
  QLineEdit* txtCommand;
  QPushButton* btnExecCommand;
  QLabel* lblLogNote;
  TqorRCON_LogEdit* Memo1;
  QAction* actClear;
  QAction* actSave;
  QAction* actTimestamps;
  std::unique_ptr<TqorLib_RCON> RCON;

 protected:
  bool eventFilter(QObject* aObject, QEvent* aEvent) override;

 private:
  void CreateControls();
  void CreateActions();
  void LoadRCON();
  // Runs an action; what it throws goes to the application's error box.
  void RunAction(void (TFRMRCON::*aAction)());
  void SetState(TConsoleState aState, const QString& aDetail = QString());
  QString Address() const;
  bool SplitHostAndPort();
  void ProbeAnswered();
  void ExecFromField();
  void SaveLogAs();
  void ShowRecentServers();

  void btnConnectClick();
  void btnDisconnectClick();
  void btnExecCommandClick();

  void RCONConnect(TComponent* Sender);
  void RCONDisconnect(TComponent* Sender);
  void RCONAuthenticate(TComponent* Sender, bool Authenticated, const TqorRCON_Packet& aPacket);
  void RCONResponseComplete(TComponent* Sender, int32_t aID, const std::string& aCommand,
                            const std::string& aResponse);
  void RCONResponseOverdue(TComponent* Sender, int32_t aID, const std::string& aCommand);
  void RCONException(TComponent* Sender, Exception& E);

  TConsoleState FState = TConsoleState::Disconnected;
  TqorRCON_LogView* FLog = nullptr;
  std::unique_ptr<TqorRCON_History> FCommands;
  std::unique_ptr<TqorRCON_History> FServers;
  QStringListModel* FServerModel = nullptr;
  QCompleter* FServerCompleter = nullptr;
  std::unique_ptr<TqorRCON_ConnectProbe> FProbe;
  QTimer FProbeTimer;
  QTimer FResponseTimer;
  QTimer FHistorySaveTimer;
};
