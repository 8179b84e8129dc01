#!/usr/bin/env bash
# Signs Windows programs in place with Authenticode (SHA-256), with the
# certificate and key of the PKCS#12 file ORAMET_SIGN_PFX, its password in
# ORAMET_SIGN_PASSWORD, and a time stamp from ORAMET_TIMESTAMP_URL when set.
# The signing time is SOURCE_DATE_EPOCH when set, so that a release signed
# twice with one key is the same file.
# Usage: sign.sh FILE...
set -euo pipefail
: "${ORAMET_SIGN_PFX:?sign.sh: ORAMET_SIGN_PFX names no PKCS#12 file}"
args=(-pkcs12 "$ORAMET_SIGN_PFX" -h sha256 -n Oramet)
# The password goes through a file, not the command line, where any user
# of the machine could read it.
pass=$(mktemp)
trap 'rm -f "$pass" "${out:-}"' EXIT
printf '%s' "${ORAMET_SIGN_PASSWORD:-}" > "$pass"
args+=(-readpass "$pass")
if [ -n "${ORAMET_TIMESTAMP_URL:-}" ]; then
  args+=(-ts "$ORAMET_TIMESTAMP_URL")
elif [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  args+=(-time "$SOURCE_DATE_EPOCH")
fi
for file in "$@"; do
  out=$file.signing
  osslsigncode sign "${args[@]}" -in "$file" -out "$out" >/dev/null
  mv -f "$out" "$file"
done
