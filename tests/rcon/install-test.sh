#!/usr/bin/env bash
# `cmake --install` puts the program, its desktop entry, icon and AppStream metadata in place;
# entry and metadata pass their validators, and the installed program answers --version.
# Usage: install-test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
cmake --install "$build" --prefix "$dest/usr" >/dev/null
id=org.qorrcon.qorRCON
for f in bin/qorRCON share/applications/$id.desktop share/icons/hicolor/scalable/apps/$id.svg \
         share/metainfo/$id.metainfo.xml; do
  [ -f "$dest/usr/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
answer=$("$dest/usr/bin/qorRCON" --version)
[ "$answer" = "qorRCON $version" ] || { echo "--version said: $answer" >&2; exit 1; }
desktop-file-validate "$dest/usr/share/applications/$id.desktop"
appstreamcli validate --no-net "$dest/usr/share/metainfo/$id.metainfo.xml" >/dev/null
grep -qx "Icon=$id" "$dest/usr/share/applications/$id.desktop"
echo "installed and valid"
