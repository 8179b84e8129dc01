#!/usr/bin/env bash
# Client figures: start-up, clock accuracy and idle cost of oramet.exe under
# Wine, against a loopback server answering the host's own time, and the
# size of the program. Prints a markdown table. Not a test: figures vary
# with the machine.
# Usage: scripts/bench-client.sh [TICKS [IDLE_SECONDS [STARTS]]]
#   TICKS         shown-second changes observed (default 90)
#   IDLE_SECONDS  window of the idle CPU measurement (default 180)
#   STARTS        program starts timed; the last one is measured on (default 3)
set -euo pipefail
ticks=${1:-90} idle=${2:-180} starts=${3:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows
ip=127.0.0.190

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
cmake --preset windows >/dev/null
cmake --build "$build" -j2 --target oramet e2e_bench >/dev/null

# A prefix of its own, so that the tests' shared settings are not touched.
prefix=$build/bench-prefix
winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
[ -f "$prefix/system.reg" ] || "$root/scripts/wine-run.sh" "$prefix" cmd.exe /c rem

out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$root/scripts/wine-run.sh" "$prefix" "$build/tests/e2e/e2e_bench.exe" \
  "$(winpath "$build/oramet.exe")" "$ip" "$ticks" "$idle" "$starts" >"$out"

echo "| figure | value |"
echo "|---|---|"
grep '^|' "$out"
size=$(stat -c %s "$build/oramet.exe")
printf '| size of oramet.exe (statically linked, %s) | %s bytes (%.0f KiB) |\n' \
  "$(grep -o 'CMAKE_BUILD_TYPE:STRING=.*' "$build/CMakeCache.txt" | cut -d= -f2)" \
  "$size" "$(echo "$size / 1024" | bc -l)"
echo
echo "Wine $(wine --version | sed 's/^wine-//'), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), Xvfb"
