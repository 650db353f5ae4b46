#include <QApplication>

#include "rcon/FRCON.h"
#include "rcon/qorRCON_Application.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qorRCON"));
  InstallMainThreadHooks();
  int result;
  {
    TFRMRCON window;
    window.show();
    result = QApplication::exec();
  }
  RemoveMainThreadHooks();
  return result;
}
