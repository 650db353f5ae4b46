#pragma once
// A private desktop secret store for tests: a D-Bus session bus of its own and gnome-keyring's
// Secret Service on it, with an unlocked login keyring in a temporary folder. The process's
// DBUS_SESSION_BUS_ADDRESS points at that bus, so nothing reaches the real user's keyring.
// Both daemons run through the tests' process launcher, which stops them by process id.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"

class TSecretService {
 public:
  TSecretService() {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0 ||
        access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
      return;
    char folder[] = "/tmp/qor_secrets_XXXXXX";
    if (!mkdtemp(folder)) return;
    FFolder = folder;
    mkdir((FFolder + "/run").c_str(), 0700);
    mkdir((FFolder + "/data").c_str(), 0700);
    const std::string bus = "unix:path=" + FFolder + "/bus";
    FBus = std::make_unique<TChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c", "exec dbus-daemon --session --nofork --nopidfile --address=" + bus});
    if (!WaitFor([&] { return access((FFolder + "/bus").c_str(), F_OK) == 0; })) return;
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    const std::string env = "XDG_RUNTIME_DIR=" + FFolder + "/run XDG_DATA_HOME=" + FFolder +
                            "/data HOME=" + FFolder + " ";
    // --unlock reads the new login keyring's password from standard input.
    FKeyring = std::make_unique<TChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c",
        "printf test | exec env " + env +
            "gnome-keyring-daemon --foreground --unlock --components=secrets"});
    FRunning = WaitFor([&] {
      return system(
                 "dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
                 "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets "
                 "2>/dev/null | grep -q 'boolean true'") == 0;
    });
  }
  ~TSecretService() {
    FKeyring.reset();
    FBus.reset();
    if (!FFolder.empty()) [[maybe_unused]]
      int rc = system(("rm -rf " + FFolder).c_str());
  }
  TSecretService(const TSecretService&) = delete;
  TSecretService& operator=(const TSecretService&) = delete;

  bool Running() const { return FRunning; }

 private:
  template <class F>
  static bool WaitFor(F aDone) {
    for (int i = 0; i < 200; ++i) {
      if (aDone()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string FFolder;
  std::unique_ptr<TChildProcess> FBus;
  std::unique_ptr<TChildProcess> FKeyring;
  bool FRunning = false;
};
