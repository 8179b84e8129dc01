#!/usr/bin/env bash
# Checks the portable zip: exactly the program of this build and a read-me
# that Notepad shows right on any Windows (UTF-8 with a byte-order mark, CRLF
# lines).
# Read with CMake's own archive tool: unzip is not on every build machine.
# Usage: portable_zip_test.sh ZIP PROGRAM CMAKE
set -uo pipefail
zip=$1 program=$2 cmake=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

[ -f "$zip" ] || { echo "FAIL: no zip at $zip" >&2; exit 1; }
"$cmake" -E tar tvf "$zip" || { echo "FAIL: cannot list $zip" >&2; exit 1; }

names=$("$cmake" -E tar tf "$zip" | sort | tr '\n' ' ')
[ "$names" = "oramet.exe readme.txt " ] ||
  fail "zip holds [$names], expected [oramet.exe readme.txt ]"

out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
(cd "$out" && "$cmake" -E tar xf "$zip") || { echo "FAIL: cannot extract $zip" >&2; exit 1; }
cmp -s "$out/oramet.exe" "$program" || fail "oramet.exe in the zip differs from $program"

readme=$out/readme.txt
[ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' ')" = efbbbf ] ||
  fail "readme.txt does not start with the UTF-8 byte-order mark"
iconv -f UTF-8 -t UTF-8 "$readme" >/dev/null 2>&1 || fail "readme.txt is not valid UTF-8"
crlf=$(grep -c $'\r$' "$readme")
lines=$(wc -l <"$readme")
[ "$crlf" -eq "$lines" ] || fail "readme.txt: $((lines - crlf)) of $lines lines end without CR"
[ "$lines" -gt 0 ] || fail "readme.txt is empty"
for text in 'HKEY_CURRENT_USER\SOFTWARE\Velmora\Adjust' '"Server"' 'oramet.exe' \
            '时间服务器' '更改系统时间' 'Change the system time'; do
  grep -qF "$text" "$readme" || fail "readme.txt does not mention [$text]"
done

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
