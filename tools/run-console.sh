#!/usr/bin/env bash
# Builds the project, starts the demo RCON server on 127.0.0.1:25575 unless something already
# listens there, opens the console, and stops the server again when the console closes.
# Extra arguments go to the demo server (for example --password secret or --source).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target qorRCON rcon_demo_server -j "$(nproc)"

bin=build/release
port=25575
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
}
trap stop_server EXIT

if ss -Hltn "sport = :$port" | grep -q .; then
  echo "Port $port is in use; the console will talk to whatever listens there."
else
  "$bin/tools/rcon_demo_server" --port "$port" "$@" &
  server_pid=$!
  # Wait (at most 5 s) until the server listens, so the first Connect cannot be refused.
  for _ in $(seq 50); do
    ss -Hltn "sport = :$port" | grep -q . && break
    kill -0 "$server_pid" 2>/dev/null || { echo "The demo server did not start." >&2; exit 1; }
    sleep 0.1
  done
fi

"$bin/rcon/qorRCON"
