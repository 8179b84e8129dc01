#!/usr/bin/env bash
# Client figures: start-up, clock accuracy and idle cost of oramet.exe under
# Wine, against a loopback server answering the host's own time, and the
# size of the program. Prints a markdown table. Not a test: figures vary
# with the machine.
# Usage: scripts/bench-client.sh [TICKS [IDLE_SECONDS [STARTS]]]
#        scripts/bench-client.sh --size    (the size check alone, no Wine)
#   TICKS         shown-second changes observed (default 90)
#   IDLE_SECONDS  window of the idle CPU measurement (default 180)
#   STARTS        program starts timed; the last one is measured on (default 3)
# The Release program must stay within 200 KB, carry no symbols and import
# only system DLLs; the script stops with an error before measuring when it
# does not.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows
ip=127.0.0.190
max_size=$((200 * 1024))
system_dlls='ADVAPI32.dll GDI32.dll KERNEL32.dll msvcrt.dll SHELL32.dll USER32.dll WS2_32.dll'

size_only=0
if [ "${1:-}" = --size ]; then size_only=1; shift; fi
ticks=${1:-90} idle=${2:-180} starts=${3:-3}

if [ "$size_only" -eq 0 ] && [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
cmake --preset windows >/dev/null
if [ "$size_only" -eq 1 ]; then
  cmake --build "$build" -j2 --target oramet >/dev/null
else
  cmake --build "$build" -j2 --target oramet e2e_bench >/dev/null
fi

exe=$build/oramet.exe
size=$(stat -c %s "$exe")
size_row=$(printf '| size of oramet.exe (statically linked, %s, symbols in oramet.debug) | %s bytes (%.0f KiB) |' \
  "$(grep -o 'CMAKE_BUILD_TYPE:STRING=.*' "$build/CMakeCache.txt" | cut -d= -f2)" \
  "$size" "$(echo "$size / 1024" | bc -l)")
fail=0
if [ "$size" -gt "$max_size" ]; then
  echo "bench: oramet.exe is $size bytes, more than $max_size" >&2
  fail=1
fi
if i686-w64-mingw32-objdump -h "$exe" | grep -q ' \.debug_'; then
  echo "bench: oramet.exe carries debugging sections" >&2
  fail=1
fi
if [ "$(i686-w64-mingw32-objdump -t "$exe" | grep -c '^\[')" -ne 0 ]; then
  echo "bench: oramet.exe carries a symbol table" >&2
  fail=1
fi
for dll in $(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
  case " $system_dlls " in
    *" $dll "*) ;;
    *) echo "bench: oramet.exe imports $dll, which is not a system DLL" >&2; fail=1 ;;
  esac
done
[ "$fail" -eq 0 ] || exit 1
if [ "$size_only" -eq 1 ]; then
  echo "$size_row"
  exit 0
fi

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
echo "$size_row"
echo
echo "Wine $(wine --version | sed 's/^wine-//'), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), Xvfb"
