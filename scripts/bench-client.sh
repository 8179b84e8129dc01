#!/usr/bin/env bash
# Client figures: start-up, clock accuracy and idle cost of oramet.exe under
# Wine, against a loopback server answering the host's own time, and the
# size of the program. Prints a markdown table. Not a test: figures vary
# with the machine.
# Usage: scripts/bench-client.sh [TICKS [IDLE_SECONDS [STARTS]]]
#        scripts/bench-client.sh --size    (the size check alone, of both
#                                           builds, no Wine)
#   TICKS         shown-second changes observed (default 90)
#   IDLE_SECONDS  window of the idle CPU measurement (default 180)
#   STARTS        program starts timed; the last one is measured on (default 3)
# The Release program of each build must stay within 200 KB, carry no
# symbols and import only system DLLs; the script stops with an error before
# measuring when it does not. The figures are of the x86 build where 32-bit
# Wine runs, else of the x64 build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=windows
/usr/lib/wine/wine --version >/dev/null 2>&1 || preset=windows-x64
ip=127.0.0.190
max_size=$((200 * 1024))
system_dlls='ADVAPI32.dll GDI32.dll KERNEL32.dll msvcrt.dll SHELL32.dll USER32.dll WS2_32.dll'

size_only=0
if [ "${1:-}" = --size ]; then size_only=1; shift; fi
ticks=${1:-90} idle=${2:-180} starts=${3:-3}

if [ "$size_only" -eq 0 ] && [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
fail=0
size_rows=()
check_size() {  # PRESET OBJDUMP ARCH
  local build=$root/build/$1 objdump=$2 exe size dll
  cmake --preset "$1" >/dev/null
  cmake --build "$build" -j2 --target oramet >/dev/null
  exe=$build/oramet.exe
  size=$(stat -c %s "$exe")
  size_rows+=("$(printf '| size of oramet.exe, %s (statically linked, %s, symbols in oramet.debug) | %s bytes (%.0f KiB) |' \
    "$3" "$(grep -o 'CMAKE_BUILD_TYPE:STRING=.*' "$build/CMakeCache.txt" | cut -d= -f2)" \
    "$size" "$(echo "$size / 1024" | bc -l)")")
  if [ "$size" -gt "$max_size" ]; then
    echo "bench: $exe is $size bytes, more than $max_size" >&2
    fail=1
  fi
  if "$objdump" -h "$exe" | grep -q ' \.debug_'; then
    echo "bench: $exe carries debugging sections" >&2
    fail=1
  fi
  if [ "$("$objdump" -t "$exe" | grep -c '^\[')" -ne 0 ]; then
    echo "bench: $exe carries a symbol table" >&2
    fail=1
  fi
  for dll in $("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    case " $system_dlls " in
      *" $dll "*) ;;
      *) echo "bench: $exe imports $dll, which is not a system DLL" >&2; fail=1 ;;
    esac
  done
}
check_size windows i686-w64-mingw32-objdump x86
check_size windows-x64 x86_64-w64-mingw32-objdump x64
[ "$fail" -eq 0 ] || exit 1
if [ "$size_only" -eq 1 ]; then
  printf '%s\n' "${size_rows[@]}"
  exit 0
fi
build=$root/build/$preset
cmake --build "$build" -j2 --target e2e_bench >/dev/null

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
printf '%s\n' "${size_rows[@]}"
echo
echo "Wine $(wine --version | sed 's/^wine-//'), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), Xvfb"
