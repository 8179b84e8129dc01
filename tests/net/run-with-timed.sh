#!/usr/bin/env bash
# Starts the real oramet-timed three times on loopback (normal with a
# banner, in maintenance, and with a minimum version), runs a Wine test
# program against them, and always stops them.
# Usage: run-with-timed.sh SERVER_BIN WINE_RUN PREFIX TEST_EXE [ARGS...]
set -euo pipefail
server=$1 wine_run=$2 prefix=$3 test_exe=$4
shift 4

normal=127.0.0.181 maintenance=127.0.0.183 upgrade=127.0.0.184
logs=$(mktemp -d)
pids=()
stop() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$logs"
}
trap stop EXIT

start() {  # NAME ADDRESS OPTIONS...
  local name=$1 address=$2
  shift 2
  "$server" --listen "$address:80" --workers 1 "$@" 2>"$logs/$name" &
  pids+=($!)
}
# The banner text must match the test's literal (there in code page 936).
start normal $normal --banner-link 'http://www.example.com/' --banner-text '欢迎使用 Oramet 校时'
start maintenance $maintenance --maintenance
start upgrade $upgrade --min-version 3.00 --download-path /download/oramet-3.00.exe

# Wait (bounded) for each server's start-up line.
for name in normal maintenance upgrade; do
  for _ in $(seq 1 100); do
    grep -q 'listening on' "$logs/$name" && break
    sleep 0.1
  done
  if ! grep -q 'listening on' "$logs/$name"; then
    echo "run-with-timed: $name server did not start:"
    cat "$logs/$name"
    exit 1
  fi
done

status=0
ORAMET_TIMED_SERVER=$normal ORAMET_TIMED_MAINTENANCE=$maintenance ORAMET_TIMED_UPGRADE=$upgrade \
  "$wine_run" "$prefix" "$test_exe" "$@" || status=$?
exit "$status"
