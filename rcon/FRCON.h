#pragma once
#include <QHash>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "rcon/qorLib_RCON_Client.h"
#include "rcon/qorRCON_LogView.h"
#include "rcon/qorRCON_ServerDialog.h"
#include "rcon/qorRCON_Servers.h"

class QAction;
class QCheckBox;
class QComboBox;
class QCompleter;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStringListModel;
class TqorRCON_History;

// Where the console stands; the buttons, the state line and the title follow it.
enum class TConsoleState { Disconnected, Connecting, Connected, Authenticated };

// The console window: host, port and password, Connect / Disconnect, a command line with
// history and the log. Every control carries its field name as Qt object name.
class TFRMRCON : public QWidget {
 public:
  // The console's history files live in aDataFolder (by default the user's data folder), its
  // saved servers in aConfigFile (by default $XDG_CONFIG_HOME/qorRCON/qorRCON.ini).
  explicit TFRMRCON(QWidget* aParent = nullptr, const QString& aDataFolder = QString(),
                    const QString& aConfigFile = QString());
  ~TFRMRCON() override;

  // Appends aValue as a new line at the end of the log.
  void DoLog(const std::string& aValue);
  TConsoleState State() const { return FState; }
  TqorRCON_LogView& Log() { return *FLog; }
  const QList<TqorRCON_Server>& Servers() const { return FServerList; }
  // Chooses the saved server aName (empty: none) as the combo box does: fills the fields.
  void ChooseServer(const QString& aName);
  // Opens the settings of the chosen server (a new one when none is chosen).
  void EditServer();
  // The TLS peer's certificate of the connection that stands (subject, issuer, expiry).
  const QString& PeerCertificate() const { return FPeerCertificate; }

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
  QLabel* lblServer;
  QComboBox* cmbServer;
  QPushButton* btnSettings;
  QLineEdit* txtCommand;
  QPushButton* btnExecCommand;
  QLabel* lblLogNote;
  TqorRCON_LogEdit* Memo1;
  QAction* actClear;
  QAction* actSave;
  QAction* actTimestamps;
  QAction* actCertificate;
  QAction* actFind;
  QAction* actCopyAnswer;
  QWidget* pnlFind;
  QLineEdit* txtFind;
  QPushButton* btnFindNext;
  QPushButton* btnFindPrevious;
  QLabel* lblFindNote;
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
  void ExecFromField();
  void SaveLogAs();
  void ShowRecentServers();
  void FindInLog(bool aBackward);
  void FillServerBox();
  const TqorRCON_Server* ChosenServer() const;
  // The passwords of aName: this run's, else the secret store's.
  TqorRCON_Passwords PasswordsOf(const QString& aName);
  // Sets the component up for the chosen server; false when the operator cancelled a password.
  bool ApplyChosenServer();
  QString Carrier();
  void StorePasswords(const QString& aName, const TqorRCON_Passwords& aPasswords, bool aRemember);
  void StoreFailed(const QString& aError);
  void ExplainTLSFailure(const std::string& aMessage);

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
  QString FConfigFile;
  QList<TqorRCON_Server> FServerList;
  QHash<QString, TqorRCON_Passwords> FPasswords;  // this run's, by server name
  QSet<QString> FRemembered;                      // servers whose passwords are in the secret store
  bool FStoreFailed = false;                      // said once in the log
  bool FServerApplied = false;                    // the component carries a saved server's settings
  TqorRCON_Server FConnection;                    // the settings of the current connection
  QString FPeerCertificate;
  QTimer FResponseTimer;
  QTimer FHistorySaveTimer;
};
