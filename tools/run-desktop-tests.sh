#!/usr/bin/env bash
# Runs the window tests (release build) as on an operator's desktop: the usual fonts, a German
# UTF-8 locale and an empty HOME, which must still be empty afterwards, so that a test that
# depends on the machine's fonts or locale, or writes into the real user's folders, fails here.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-deps.sh
locale -a | grep -qix 'de_DE.utf8' || localedef -i de_DE -f UTF-8 de_DE.UTF-8
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target test_rcon_window
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u LC_ALL -u LANGUAGE \
  HOME="$home" LANG=de_DE.UTF-8 ctest --preset release -L '^rcon-window$' --no-tests=error
if [ -n "$(ls -A "$home")" ]; then
  echo "The window tests wrote into HOME:" >&2
  find "$home" >&2
  exit 1
fi
echo "desktop-like run: passed, HOME left empty"
