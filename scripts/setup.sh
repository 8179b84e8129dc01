#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Idempotent: returns quickly when everything is already there.
set -euo pipefail

need=(cmake ninja-build g++-mingw-w64-i686-posix mingw-w64-i686-dev
      wine wine32:i386 xvfb xauth x11-apps imagemagick fonts-wqy-microhei
      googletest libh2o-evloop-dev libssl-dev libuv1-dev zlib1g-dev clang libclang-rt-14-dev
      nsis zip)

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
