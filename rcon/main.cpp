#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "rcon/FRCON.h"
#include "rcon/qorRCON_Application.h"

int main(int argc, char** argv) {
  // Answered before the window system is needed, so it works without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("qorRCON %s\n", QOR_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "Usage: qorRCON [--version] [--help] [Qt options]\n"
          "A remote console (RCON) for game servers. Saved servers: "
          "$XDG_CONFIG_HOME/qorRCON/qorRCON.ini\n");
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qorRCON"));
  QApplication::setApplicationVersion(QStringLiteral(QOR_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("org.qorrcon.qorRCON"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.qorrcon.qorRCON")));
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
