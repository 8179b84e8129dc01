#!/usr/bin/env bash
# Runs the end-to-end probe against the real oramet.exe under Wine and keeps
# a screenshot of the running window in OUT_DIR/oramet-window.png.
# Usage: run-e2e.sh WINE_RUN PREFIX PROBE_EXE ORAMET_EXE OUT_DIR SERVER_IP [--no-sync]
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
  # The screenshot needs the same display as the program.
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
wine_run=$1 prefix=$2 probe=$3 exe=$4 out=$5 ip=$6
shift 6
mkdir -p "$out"
rm -f "$out/ready" "$out/shot-done" "$out/oramet-window.png"

# Wine sees the host's file system as drive Z:.
winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }

# Make the shared prefix, if no test has yet, in the locale the other tests
# use.
[ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd.exe /c rem

# As on a Chinese Windows: code page 936, so the screenshot shows the texts.
if locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  export LC_ALL=zh_CN.UTF-8
else
  echo "run-e2e: no zh_CN.UTF-8 locale; the screenshot's texts will be garbled"
fi

"$wine_run" "$prefix" "$probe" "$(winpath "$exe")" "$ip" "$(winpath "$out")" "$@" &
probe_pid=$!

# Wait (bounded) for the probe to report the window ready, or to end.
for _ in $(seq 1 1200); do
  [ -f "$out/ready" ] && break
  kill -0 "$probe_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -f "$out/ready" ]; then
  if command -v import >/dev/null; then
    import -window root "$out/oramet-window.png" \
      || echo "run-e2e: screenshot failed (not a test failure)"
  else
    echo "run-e2e: ImageMagick's import is missing; no screenshot"
  fi
  touch "$out/shot-done"
fi

status=0
wait "$probe_pid" || status=$?
[ -f "$out/oramet-window.png" ] && echo "run-e2e: screenshot in $out/oramet-window.png"
exit "$status"
