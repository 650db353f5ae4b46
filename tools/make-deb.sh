#!/usr/bin/env bash
# Builds the release tree and the Debian package of the console; prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-deps.sh >&2
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qorRCON >&2
(cd build/release && cpack -G DEB >&2)
ls "$PWD"/build/release/qorrcon_*.deb | tail -1
