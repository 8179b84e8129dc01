#!/usr/bin/env bash
# Checks a release folder as a user or packager would meet it: SHA256SUMS
# matches every file; every file names the project's one version, and so do
# the versions inside it (the programs' version resources and manifests, the
# request the program sends, the setup programs' version resources, the
# package's version and its manual page); with --signed CA.pem, every program
# and setup program carries a valid Authenticode signature chaining to CA.
#
# Usage: check-release.sh DIST [--signed CA.pem]
set -uo pipefail
cd "$(dirname "$0")/.."
dist=$1 ca=
[ "${2:-}" = --signed ] && ca=$3
version=$(sed -n 's/^project(oramet VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
quad=$(awk -F. '{ printf "%d, %d, 0, 0", $1, $2 }' <<<"$version")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match $dist"

expected=(SHA256SUMS "oramet-$version-symbols.tar.gz" "oramet-$version-x64-setup.exe"
          "oramet-$version-x64.zip" "oramet-$version-x86-setup.exe" "oramet-$version-x86.zip"
          "oramet-timed_${version}_amd64.deb")
actual=$(cd "$dist" && ls | LC_ALL=C sort)
[ "$actual" = "$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)" ] \
  || fail "files in $dist: expected [${expected[*]}], got [$(echo $actual)]"

# A Windows file's version resource: both binary versions and both strings.
check_pe_version() {
  local rc
  rc=$(x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null) || { fail "$2: no resources"; return; }
  for line in "FILEVERSION $quad" "PRODUCTVERSION $quad" "\"FileVersion\", \"$version\"" \
              "\"ProductVersion\", \"$version\""; do
    grep -qF "$line" <<<"$rc" || fail "$2: version resource lacks [$line]"
  done
  [ "$(grep -c 'FILEVERSION' <<<"$rc")" -eq "$(grep -c "FILEVERSION $quad" <<<"$rc")" ] \
    || fail "$2: a version resource names another version"
  if [ "${3:-}" = program ]; then
    grep -qF "version=\"\"$(tr -d ' ' <<<"${quad//,/.}")\"\"" <<<"$rc" \
      || fail "$2: manifest does not name version ${quad//, /.}"
  fi
}
check_signature() {
  [ -n "$ca" ] || return 0
  osslsigncode verify -CAfile "$ca" -in "$1" >"$work/verify.log" 2>&1 \
    && grep -q 'Signature verification: ok' "$work/verify.log" \
    || { fail "$2: signature does not verify"; sed 's/^/  /' "$work/verify.log" >&2; }
}

for arch in x64 x86; do
  setup=$dist/oramet-$version-$arch-setup.exe zip=$dist/oramet-$version-$arch.zip
  check_pe_version "$setup" "${setup##*/}"
  check_signature "$setup" "${setup##*/}"
  python3 - "$zip" "$work/$arch" <<'EOF' || fail "${zip##*/}: cannot unpack"
import os, sys, zipfile
os.makedirs(sys.argv[2], exist_ok=True)
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
EOF
  program=$work/$arch/oramet.exe
  check_pe_version "$program" "oramet.exe in ${zip##*/}" program
  check_signature "$program" "oramet.exe in ${zip##*/}"
  grep -qaF "v=$version" "$program" || fail "oramet.exe in ${zip##*/} does not ask with v=$version"
done

deb=$dist/oramet-timed_${version}_amd64.deb
[ "$(dpkg-deb -f "$deb" Version 2>/dev/null)" = "$version" ] || fail "${deb##*/}: package version is not $version"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man8/oramet-timed.8.gz 2>/dev/null | zcat \
  | grep -q "^\.TH .*$version" || fail "${deb##*/}: manual page does not name $version"

if [ "$failures" -ne 0 ]; then echo "check-release: $failures check(s) failed" >&2; exit 1; fi
echo "check-release: $dist is release $version${ca:+, signed}"
