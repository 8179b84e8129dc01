#!/usr/bin/env bash
# Checks that a release can be trusted to be what its commit builds: makes
# the release of HEAD twice, from two clones in folders of different names
# and depths, under a different time zone and umask, and compares every file;
# then once more signed with a throw-away code-signing certificate made here
# with openssl, and verifies every signature. Each release is checked by
# scripts/check-release.sh. Uncommitted changes are not part of it.
#
# Usage: check-reproducible.sh [--no-setup]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[ "${1:-}" = --no-setup ] || bash scripts/setup.sh
commit=$(git rev-parse HEAD)
base=$root/build/reproduce
rm -rf "$base"
mkdir -p "$base"
[ -z "$(git status --porcelain --untracked-files=no)" ] \
  || echo "check-reproducible: uncommitted changes are not part of the check"

release() {  # FOLDER [ENV...]
  local dir=$1
  shift
  git clone -q --no-hardlinks "$root" "$dir"
  git -C "$dir" checkout -q --detach "$commit"
  local start=$SECONDS
  (cd "$dir" && env "$@" bash scripts/release.sh --no-setup >"$dir.log" 2>&1) \
    || { tail -30 "$dir.log"; echo "check-reproducible: release in $dir failed" >&2; exit 1; }
  echo "check-reproducible: release in $dir took $((SECONDS - start)) s"
  bash scripts/check-release.sh "$dir/dist" ${ca:+--signed "$ca"}
}

ca=
release "$base/a" TZ=UTC
# Another depth and name, another zone and umask: none of it may show.
mkdir -p "$base/second/copy"
(umask 077 && release "$base/second/copy/oramet" TZ=Asia/Shanghai)
if ! diff -u "$base/a/dist/SHA256SUMS" "$base/second/copy/oramet/dist/SHA256SUMS"; then
  echo "check-reproducible: FAIL: two releases of $commit differ" >&2
  exit 1
fi
echo "check-reproducible: two releases of ${commit:0:12} are identical"

# A throw-away certificate for code signing, and its own CA to verify with.
keys=$base/keys
mkdir -p "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Oramet test signing" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -passout pass:test-only \
  -out "$keys/sign.pfx"
ca=$keys/cert.pem
release "$base/signed" ORAMET_SIGN_PFX="$keys/sign.pfx" ORAMET_SIGN_PASSWORD=test-only
echo "check-reproducible: the signed release verifies"
