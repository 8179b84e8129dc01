#!/usr/bin/env bash
# Checks the portable zip: exactly the program of this build and a read-me
# that Notepad shows right on any Windows (UTF-8 with a byte-order mark, CRLF
# lines).
# Usage: portable_zip_test.sh ZIP PROGRAM
set -uo pipefail
zip=$1 program=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

[ -f "$zip" ] || { echo "FAIL: no zip at $zip" >&2; exit 1; }
unzip -l "$zip"

names=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$names" = "oramet.exe readme.txt " ] ||
  fail "zip holds [$names], expected [oramet.exe readme.txt ]"

unzip -p "$zip" oramet.exe | cmp -s - "$program" ||
  fail "oramet.exe in the zip differs from $program"

readme=$(mktemp); trap 'rm -f "$readme"' EXIT
unzip -p "$zip" readme.txt >"$readme"
[ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' ')" = efbbbf ] ||
  fail "readme.txt does not start with the UTF-8 byte-order mark"
iconv -f UTF-8 -t UTF-8 "$readme" >/dev/null 2>&1 || fail "readme.txt is not valid UTF-8"
bare_lf=$(tr -d '\n' <"$readme" | wc -c)  # every byte but LF...
crlf=$(grep -c $'\r$' "$readme")
lines=$(wc -l <"$readme")
[ "$crlf" -eq "$lines" ] || fail "readme.txt: $((lines - crlf)) of $lines lines end without CR"
[ "$bare_lf" -gt 0 ] || fail "readme.txt is empty"
for text in 'HKEY_CURRENT_USER\SOFTWARE\Velmora\Adjust' '"Server"' 'oramet.exe' \
            '时间服务器' '更改系统时间' 'Change the system time'; do
  grep -qF "$text" "$readme" || fail "readme.txt does not mention [$text]"
done

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
