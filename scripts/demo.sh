#!/usr/bin/env bash
# The one-command demo: installs what is needed, builds oramet-timed and the
# Windows client, starts the server on 127.0.0.1:80 with a sample banner,
# points a Wine prefix of its own at it and runs oramet.exe there: on your
# display when $DISPLAY is set, otherwise under Xvfb with a screenshot.
# The server stops when the client exits.
#
#   scripts/demo.sh              full demo (run as root on a fresh machine)
#   scripts/demo.sh --no-client  only build and start the server, ask it for
#                                the time and the banner once, stop it
#
# DEMO_ADDR (default 127.0.0.1) picks the loopback address the server uses
# and the client is pointed at; the client always talks to port 80.
# DEMO_WAIT (default 5) is how many seconds to wait after the client's window
# appears before the screenshot.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
addr=${DEMO_ADDR:-127.0.0.1}
wait_s=${DEMO_WAIT:-5}
with_client=1
[ "${1:-}" = "--no-client" ] && with_client=

say() { printf '\033[1mdemo:\033[0m %s\n' "$*"; }

# 1. Packages.
if [ "$(id -u)" -eq 0 ]; then
  scripts/setup.sh
else
  scripts/setup.sh || { say "run as root once so scripts/setup.sh can install packages"; exit 1; }
fi

# 2. Build only the two programs the demo runs: the trees also hold every
# test, which a newcomer need not wait for (scripts/test.sh builds them).
say "building oramet-timed"
if [ -f CMakePresets.json ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target oramet-timed
else
  # No top-level project here: build the server on its own.
  cmake -S server -B build/native-server -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/native-server -j2 --target oramet-timed
fi
timed=
for f in build/native/server/oramet-timed build/native-server/oramet-timed; do
  [ -x "$f" ] && { timed=$f; break; }
done
[ -n "$timed" ] || { say "oramet-timed was not built"; exit 1; }

# The x64 build, which 64-bit Windows users get, under 64-bit Wine: it runs
# on every machine, including those whose kernel runs no 32-bit code.
preset=windows-x64 wine=/usr/lib/wine/wine64 arch=win64 prefix=demo-prefix64
export WINELOADER=$wine
client=build/$preset/oramet.exe
if [ -n "$with_client" ]; then
  say "building oramet.exe ($preset)"
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset --target oramet
  [ -f "$client" ] || { say "$client was not built"; exit 1; }
fi

# 3. Server.
say "starting oramet-timed on $addr:80"
mkdir -p build
log=$root/build/demo-server.log
# A demonstration machine's clock is often not synchronised; serve it anyway.
"$timed" --listen "$addr:80" --require-synced-clock=off \
  --banner-link "http://$addr/" \
  --banner-text "欢迎使用 Oramet：时间来自本机演示服务器" 2>"$log" &
server=$!
stop_server() {
  if kill -0 "$server" 2>/dev/null; then
    say "stopping oramet-timed"
    kill -TERM "$server"
    wait "$server" || true
  fi
}
trap stop_server EXIT

# Wait for our own server's start-up line, not just for something on port 80.
up=
for _ in $(seq 50); do
  if ! kill -0 "$server" 2>/dev/null; then
    cat "$log" >&2
    say "oramet-timed did not start (see above; port 80 needs root or CAP_NET_BIND_SERVICE)"
    exit 1
  fi
  if grep -q "listening on" "$log"; then up=1; break; fi
  sleep 0.1
done
[ -n "$up" ] || { cat "$log" >&2; say "oramet-timed did not come up"; exit 1; }
say "server log: $log"

ask() {  # target -> body, as the client reads it
  exec 3<>"/dev/tcp/$addr/80"
  printf 'GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: Horalin\r\n\r\n' "$1" "$addr" >&3
  local reply
  reply=$(cat <&3 | tr -d '\0')
  exec 3<&-
  printf '%s' "${reply#*$'\r\n\r\n'}"
}
say "time reply:   $(ask '/?v=2.07')"
say "banner reply: $(ask /ad/ | iconv -f CP936 -t UTF-8)"

if [ -z "$with_client" ]; then
  exit 0
fi

# 4. Client under Wine, in a prefix of its own.
export WINEPREFIX=$root/build/$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# Making a 64-bit prefix, Wine reports what it cannot do for 32-bit programs
# (no syswow64 rundll32.exe where no 32-bit code runs): none of the demo's
# business.
"$wine" wineboot -i >/dev/null 2>&1 || true
say "pointing the client at $addr (Wine prefix $WINEPREFIX)"
"$wine" reg add 'HKCU\SOFTWARE\Velmora\Adjust' /v Server /t REG_SZ /d "$addr" /f >/dev/null
if [ -z "${DISPLAY:-}" ]; then
  # Xvfb has no window manager: let Wine draw the caption bar itself.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
fi
"$root/scripts/wine-fonts.sh" "$WINEPREFIX"
# Let this Wine session end: a desktop process it started without a display
# would otherwise swallow the client's windows under Xvfb.
wineserver -w
# The client's texts are in code page 936; Wine picks it from a Chinese locale.
export LC_ALL=zh_CN.UTF-8

if [ -n "${DISPLAY:-}" ]; then
  say "starting oramet.exe on $DISPLAY; close it to end the demo"
  "$wine" "$client" || true
  wineserver -w || true
else
  shot=$root/build/demo-screenshot.png
  say "no display: running oramet.exe under Xvfb, screenshot ${wait_s}s after its window appears"
  rm -f "$shot"
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$4" "$1" &
    # A cold Wine start can take half a minute on a busy machine.
    for _ in $(seq 120); do
      xwininfo -root -tree 2>/dev/null | grep -qi "oramet" && break
      sleep 0.5
    done
    sleep "$2"
    import -window root "$3"
    wineserver -k || true
    wait || true
  ' demo "$client" "$wait_s" "$shot" "$wine"
  if [ -f "$shot" ]; then
    say "screenshot: $shot"
  else
    say "no screenshot was taken"
    exit 1
  fi
fi
