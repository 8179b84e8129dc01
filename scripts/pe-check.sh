#!/usr/bin/env bash
# Checks built Windows programs without running them, for a build whose
# programs this machine may not run at all (the x86 one where no 32-bit code
# runs): each file must be of the build's machine type and import only
# functions that a system DLL of that architecture exports. Wine's DLLs of
# the same architecture stand for Windows' (the 32-bit ones come with the
# wine32 package, which installs where it cannot run). A DLL of the toolchain
# (libstdc++-6.dll, libgcc_s_dw2-1.dll, libwinpthread-1.dll), any other DLL
# that is not the system's, and a misspelt or missing function each fail
# with the file and the name.
#
# Usage: pe-check.sh ARCH FILE...    ARCH: x64 or x86
#        pe-check.sh ARCH @LIST      LIST: one file per line
set -uo pipefail

arch=${1:-}
shift || true
case $arch in
  x64) machine=8664 objdump=x86_64-w64-mingw32-objdump
       dirs=(/usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows) ;;
  x86) machine=014c objdump=i686-w64-mingw32-objdump
       dirs=(/usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows) ;;
  *) echo "usage: pe-check.sh x64|x86 FILE... | @LIST" >&2; exit 2 ;;
esac

files=()
for a in "$@"; do
  if [ "${a:0:1}" = @ ]; then
    [ -f "${a:1}" ] || { echo "FAIL: no list ${a:1}" >&2; exit 1; }
    while IFS= read -r f; do [ -n "$f" ] && files+=("$f"); done <"${a:1}"
  else
    files+=("$a")
  fi
done
[ ${#files[@]} -gt 0 ] || { echo "FAIL: no file to check" >&2; exit 1; }

system=
for d in "${dirs[@]}"; do
  [ -f "$d/kernel32.dll" ] && { system=$d; break; }
done
if [ -z "$system" ]; then
  echo "FAIL: no $arch Wine DLLs in ${dirs[*]} (scripts/setup.sh installs wine64 and wine32)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "MACHINE" of a PE file, as four hex digits.
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$at" ] && od -An -tx2 -j$((at + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# "file<TAB>dll<TAB>function" for each import ("#" for one by ordinal).
: >"$work/imports"
for f in "${files[@]}"; do
  if [ ! -f "$f" ]; then fail "$f: not built"; continue; fi
  got=$(pe_machine "$f")
  [ "$got" = "$machine" ] || { fail "$f: machine ${got:-none}, expected $machine ($arch)"; continue; }
  "$objdump" -p "$f" | awk -v file="$f" '
    /^The Import Tables/ { on = 1; next }
    on && /^The / { on = 0 }
    on && /DLL Name: / { dll = tolower($3); next }
    on && dll != "" && /^\t[0-9a-f]+\t/ {
      name = ($3 == "" || $3 == "<none>") ? "#" : $3
      print file "\t" dll "\t" name; n++
    }
    END { if (!n) print file "\t\t" }' >>"$work/imports"
done

# The export names of each system DLL imported from, read once:
# "dll<TAB>name", and "dll<TAB>" for the DLL itself.
: >"$work/exports"
for dll in $(cut -f2 "$work/imports" | sort -u); do
  [ -f "$system/$dll" ] || continue
  printf '%s\t\n' "$dll" >>"$work/exports"
  "$objdump" -p "$system/$dll" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] \(.*\)$/\1/p' |
    sed "s/^/$dll\t/" >>"$work/exports"
done

problems=$(awk -F'\t' '
  FILENAME == ARGV[1] { known[$1 "\t" $2] = 1; next }
  $2 == "" { print $1 ": no imports found"; next }
  $2 ~ /^(libgcc_s_|libstdc\+\+|libwinpthread)/ {
    print $1 ": imports the toolchain DLL " $2 " (" $3 ")"; next }
  !(($2 "\t") in known) { print $1 ": imports " $2 ", which is not a system DLL (" $3 ")"; next }
  $3 != "#" && !(($2 "\t" $3) in known) {
    print $1 ": imports " $3 " from " $2 ", which does not export it" }
' "$work/exports" "$work/imports" | sort -u)
if [ -n "$problems" ]; then
  while IFS= read -r p; do fail "$p"; done <<<"$problems"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s) in ${#files[@]} $arch file(s)" >&2
  exit 1
fi
echo "${#files[@]} $arch file(s): machine type and every import checked against $system"
