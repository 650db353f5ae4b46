#!/usr/bin/env bash
# Fails when a lower layer includes an upper one. Layers, lowest first: platform, base,
# transport, tls | proxy (side by side: neither includes the other), tcp_client, rcon, cli (the
# terminal client, a top layer like the window in rcon/).
# A test folder (tests/<layer>) keeps to the same order; tests/support, bench/ and tools/
# may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    platform) echo 0 ;;
    base) echo 1 ;;
    transport) echo 2 ;;
    tls | proxy) echo 3 ;;
    tcp_client) echo 4 ;;
    rcon) echo 5 ;;
    cli) echo 6 ;;
    *) echo "" ;;
  esac
}

status=0
for layer in platform base transport tls proxy tcp_client rcon cli; do
  own=$(rank "$layer")
  for dir in "$layer" "tests/$layer"; do
    [ -d "$dir" ] || continue
    while IFS=: read -r file line text; do
      target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([a-z_]+)\/.*/\1/' <<<"$text")
      theirs=$(rank "$target")
      [ -n "$theirs" ] || continue
      if [ "$theirs" -gt "$own" ] || { [ "$theirs" -eq "$own" ] && [ "$target" != "$layer" ]; }; then
        echo "$file:$line: $layer must not include $target: $text" >&2
        status=1
      fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]+/' "$dir" \
               --include='*.h' --include='*.cpp' || true)
  done
done
[ "$status" -eq 0 ] && echo "layers: no upward include"
exit "$status"
