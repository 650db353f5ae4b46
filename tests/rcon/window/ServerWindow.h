#pragma once
// The window with a configuration file of its own, and helpers that drive its server settings
// dialog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "rcon/FRCON.h"
#include "rcon/qorRCON_ServerDialog.h"

bool SecretStoreRunning();  // the test program's private secret service came up

constexpr int kServerWait = 15000;

// Runs aAction once on the next modal dialog of type T that opens.
template <class T>
inline void OnNextDialog(std::function<void(T&)> aAction) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, aAction] {
    if (auto* d = dynamic_cast<T*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      aAction(*d);
    }
  });
  poll->start(10);
}

inline void Choose(QComboBox* aBox, const QString& aData) {
  aBox->setCurrentIndex(aBox->findData(aData));
}

class RCONServers : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Data.isValid());
    Open();
  }
  void TearDown() override { delete Window.data(); }
  void Open() {
    delete Window.data();
    Window = new TFRMRCON(nullptr, Data.path(), Ini());
    Window->show();
  }
  QString Ini() const { return Data.filePath(QStringLiteral("qorRCON.ini")); }
  QString Log() { return Window->Log().PlainText(); }
  bool WaitForLine(const QString& aLine) {
    return QTest::qWaitFor([&] { return Log().split('\n').contains(aLine); }, kServerWait);
  }
  // Opens the settings of the chosen server (a new one without), lets aFill set them and
  // saves.
  void Edit(std::function<void(TqorRCON_ServerDialog&)> aFill) {
    OnNextDialog<TqorRCON_ServerDialog>([aFill](TqorRCON_ServerDialog& d) {
      aFill(d);
      d.btnBox->button(QDialogButtonBox::Save)->click();
    });
    QTest::mouseClick(Window->btnSettings, Qt::LeftButton);
  }
  // A server named aName at the demo server; aMore sets the rest.
  void AddServer(const QString& aName, int aPort,
                 std::function<void(TqorRCON_ServerDialog&)> aMore = nullptr) {
    Window->ChooseServer(QString());
    Edit([=](TqorRCON_ServerDialog& d) {
      d.txtName->setText(aName);
      d.txtHost->setText(QStringLiteral("127.0.0.1"));
      d.spnPort->setValue(aPort);
      d.txtPassword->setText(QStringLiteral("zulu"));
      if (aMore) aMore(d);
    });
    ASSERT_EQ(Window->cmbServer->currentText(), aName);
  }
  void Connect() { QTest::mouseClick(Window->btnConnect, Qt::LeftButton); }
  void Disconnect() {
    QTest::mouseClick(Window->btnDisconnect, Qt::LeftButton);
    Window->Log().Clear();
  }

  QTemporaryDir Data;
  QPointer<TFRMRCON> Window;
};
