#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each for a bounded
# time from its seed corpus in fuzz/corpus/<target>. New inputs go to a temporary folder,
# never into the tree. Usage: tools/run-fuzz.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
targets=(frame_assembler rcon_stream_decoder answer_assembler socks_reply http_connect_reply)
build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQOR_FUZZ=ON \
  -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  echo "fuzz_$t: ${seconds} s"
  if (cd "$work" && "$OLDPWD/$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "$work/$t" "$OLDPWD/fuzz/corpus/$t" \
        >"$work/$t.log" 2>&1); then
    grep -E '^stat::number_of_executed_units|^Done' "$work/$t.log" || true
    passed=$((passed + 1))
  else
    tail -n 40 "$work/$t.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
