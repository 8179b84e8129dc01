#!/usr/bin/env bash
# The import check must refuse each of its fixtures, naming the file and
# what is wrong with it.
# Usage: pe_check_test.sh PE_CHECK ARCH TOOLCHAIN_FIXTURE MISSPELT_FIXTURE
set -uo pipefail
check=$1 arch=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

while read -r file name; do
  if out=$(bash "$check" "$arch" "$file" 2>&1); then
    fail "$file passed the check"
  fi
  printf '%s\n' "$out"
  printf '%s\n' "$out" | grep "^FAIL: " | grep -F "$file" | grep -qF "$name" ||
    fail "no failure naming $file and $name"
done <<EOF2
$3 libstdc++-6.dll
$4 GetTickCount65
EOF2

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
