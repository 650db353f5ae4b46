// The window tests' main(): the QApplication, folders of this run for the user's data,
// configuration and cache, and a private secret store.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include "rcon/qorRCON_Application.h"
#include "tests/support/SecretService.h"

namespace {
TSecretService* GSecrets = nullptr;
}

bool SecretStoreRunning() {
  return GSecrets && GSecrets->Running();
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Test discovery only lists the cases: no secret store, no window.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  // Offscreen unless told otherwise, also when run outside ctest.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Remembered passwords go to a secret store of this run, never the user's keyring.
  TSecretService secrets;
  GSecrets = &secrets;
  // The default window's files go to folders of this run, never the user's.
  QTemporaryDir home;
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
    qputenv(name, QDir(home.path()).filePath(QString::fromLatin1(name)).toLocal8Bit());
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qorRCON"));
  InstallMainThreadHooks();
  int result = RUN_ALL_TESTS();
  RemoveMainThreadHooks();
  return result;
}
