#!/usr/bin/env bash
# Starts the setup program as a user would, in Chinese, and checks that its
# welcome page shows Oramet's own picture (the panel's exact navy and the
# clock's rim, which no stock picture has) under a Chinese caption; leaves
# a screenshot of the page in OUT.png.
# Usage: welcome_page_test.sh SETUP WINE_RUN PREFIX OUT.png
set -uo pipefail
setup=$1 wine_run=$2 prefix=$3 shot=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -n "${DISPLAY:-}" ] || fail "no display (run under xvfb-run)"
locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' && export LC_ALL=zh_CN.UTF-8
[ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd.exe /c rem

"$wine_run" "$prefix" "$setup" &
pid=$!
stop() {
  kill "$pid" 2>/dev/null
  WINEPREFIX=$prefix wineserver -k 2>/dev/null
  wait "$pid" 2>/dev/null
}
trap stop EXIT

window=
for _ in $(seq 1 600); do
  window=$(xwininfo -root -tree 2>/dev/null | awk '/"Oramet [0-9.]+ / { print $1; exit }')
  [ -n "$window" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the setup program ended without a window"
  sleep 0.1
done
[ -n "$window" ] || fail "no setup window within 60 s"
sleep 2  # the page paints its picture after the window appears
rm -f "$shot"
import -window root "$shot" || fail "no screenshot"
echo "welcome_page: screenshot in $shot"

caption=$(xprop -id "$window" _NET_WM_NAME 2>/dev/null)
[[ $caption == *安装* ]] || fail "caption is not Chinese: $caption"
# Exact colours of the picture: the panel's top rows and the clock's rim.
counts=$(convert "$shot" -depth 8 txt:- | awk '
  / #000080/ { navy++ } / #B9C8EB/ { rim++ } END { print navy + 0, rim + 0 }')
read -r navy rim <<<"$counts"
[ "$navy" -ge 164 ] || fail "welcome page lacks the panel's navy ($navy pixels)"
[ "$rim" -ge 300 ] || fail "welcome page lacks the clock's rim ($rim pixels)"
echo "welcome page shows Oramet's picture ($navy navy, $rim rim pixels) under a Chinese caption"
