#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
set -euo pipefail
export WINEPREFIX="$1"; shift
export WINEDEBUG=-all
# Wine takes the machine's WinHTTP proxy from this when the registry names
# none; Windows never does.
unset http_proxy
# No Mono or Gecko prompts when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# A 64-bit program (the build for machines that run no 32-bit code) needs a
# 64-bit prefix and loader; Debian's "wine" command always takes the 32-bit one.
pe_machine() {
  local at
  [ -f "$1" ] || return 0
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$at" ] && od -An -tx2 -j$((at + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
if [ -z "${WINEARCH:-}" ]; then
  WINEARCH=win32
  if [ -f "$WINEPREFIX.arch" ]; then  # written by the build tree
    WINEARCH=$(cat "$WINEPREFIX.arch")
  elif [ "$(pe_machine "$1")" = 8664 ] \
       || grep -qs '^#arch=win64' "$WINEPREFIX/system.reg"; then
    WINEARCH=win64
  fi
fi
export WINEARCH
wine=wine
if [ "$WINEARCH" = win64 ]; then
  export WINELOADER=/usr/lib/wine/wine64
  wine=$WINELOADER
fi
ready="$WINEPREFIX/.oramet-ready"
# Wine's own fonts are linked in when the prefix is made, and into a prefix
# made before they were installed.
fonts_linked="$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
if [ ! -f "$ready" ] || { [ -e /usr/share/wine/fonts/marlett.ttf ] && [ ! -e "$fonts_linked" ]; }; then
  mkdir -p "$WINEPREFIX"
  # Two tests may start at once: the first one makes the prefix.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$ready" ]; then
    "$wine" wineboot -i >/dev/null 2>&1 || true
    # Without a window manager, Wine waits two seconds for every managed
    # window it hides (each message box); windows it draws itself don't wait.
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # The user's proxy settings: a direct connection, not Windows' automatic
    # detection, so that a test whose server does not answer never has the
    # program look for a proxy on the machine's network.
    "$wine" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
      /v DefaultConnectionSettings /t REG_BINARY \
      /d 460000000100000001000000000000000000000000000000 /f >/dev/null 2>&1
    wineserver -w
    touch "$ready"
  fi
  "$(dirname "$0")/wine-fonts.sh" "$WINEPREFIX"
  flock -u 9
fi
run=("$wine" "$@")
if [ -z "${DISPLAY:-}" ]; then
  run=(xvfb-run -a -s "-screen 0 1280x1024x24" "$wine" "$@")
fi
# The first Wine process of a prefix starts wineserver and the system
# services, and they keep its output open until the prefix falls idle. Had the
# program our own output, a caller reading it to the end (CTest, a command
# substitution) would wait for every other program in the prefix. So the
# program writes to a file that we copy out when it ends.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"${run[@]}" </dev/null >"$log" 2>&1 || status=$?
cat "$log"
exit "$status"
