#!/usr/bin/env bash
# Builds and runs the whole test suite. Usage: tools/run-tests.sh [release|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
tools/setup-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
