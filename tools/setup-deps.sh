#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the console need, when missing.
set -euo pipefail
packages=(g++ cmake ninja-build ccache pkg-config libgtest-dev clang-format
          clang libclang-rt-14-dev  # the fuzz targets (libFuzzer)
          qt6-base-dev libqt6gui6 fonts-dejavu-core iproute2 procps
          # remembered passwords: QtKeychain; the tests' private secret store
          qtkeychain-qt6-dev gnome-keyring dbus-daemon dbus-bin
          # the desktop entry's and AppStream metadata's validators; the Debian package
          desktop-file-utils appstream dpkg-dev qt6-qpa-plugins
          # a desktop-like second run of the window tests: its usual fonts and a German locale
          fonts-noto-mono fonts-dejavu locales
          # the terminal client: options and the interactive prompt
          libcli11-dev libedit-dev
          # real proxy and TLS servers the tests and benchmarks run against
          microsocks dante-server openssh-server openssh-client tinyproxy-bin squid ncat
          openssl libssl3 stunnel4 python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
