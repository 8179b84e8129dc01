#!/usr/bin/env bash
# Runs a test program in a Wine prefix of its own whose screen is set to DPI
# dots per inch (144: a laptop at 150 %), so that every other test stays at
# 96. The program learns the resolution from ORAMET_TEST_DPI, and the
# screenshot it leaves as BMP is kept as PNG too.
# Usage: run-at-dpi.sh WINE_RUN PREFIX DPI PROGRAM [ARGS...]
set -euo pipefail
wine_run=$1 prefix=$2 dpi=$3
shift 3
if [ ! -f "$prefix/.oramet-dpi-$dpi" ]; then
  # Wine takes the screen's resolution from the user's desktop settings.
  "$wine_run" "$prefix" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
    /d "$dpi" /f >/dev/null
  touch "$prefix/.oramet-dpi-$dpi"
fi
# As on a Chinese Windows: code page 936, so the screenshot shows the texts.
if locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  export LC_ALL=zh_CN.UTF-8
fi
export ORAMET_TEST_DPI=$dpi
status=0
"$wine_run" "$prefix" "$@" || status=$?
shot="main-window-${dpi}dpi"
if [ -f "$shot.bmp" ] && command -v convert >/dev/null; then
  convert "$shot.bmp" "$shot.png" && echo "run-at-dpi: screenshot in $PWD/$shot.png"
fi
exit "$status"
