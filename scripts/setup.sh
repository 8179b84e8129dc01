#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Idempotent: returns quickly when everything is already there.
set -euo pipefail

# ssl-cert: the server package's test installs that package, which needs it.
need=(cmake ninja-build g++ g++-mingw-w64-i686-posix mingw-w64-i686-dev
      g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
      wine wine32:i386 wine64 fonts-wine xvfb xauth x11-apps x11-utils imagemagick fonts-wqy-microhei
      googletest locales libh2o-evloop-dev libssl-dev libuv1-dev zlib1g-dev pkg-config dpkg-dev file
      clang libclang-rt-14-dev nsis zip squid iproute2 iptables python3 openssl osslsigncode
      haproxy redis-server libhiredis-dev ssl-cert)

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
# The end-to-end test runs the program with code page 936, as on a Chinese
# Windows, so that its screenshot shows readable texts.
ensure_locale() {
  locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: locale zh_CN.UTF-8 missing; run this script as root" >&2
    return 0
  fi
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
}

if [ ${#missing[@]} -eq 0 ]; then
  ensure_locale
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# The proxy tests start squid themselves, on loopback only, and the fleet
# test its own haproxy and redis-server. Their packages' services would run
# as the machine's: they are kept from starting (Debian's policy hook) and
# then disabled.
services=(squid haproxy redis-server)
installing_service() {
  local s
  for s in "${services[@]}"; do [[ " ${missing[*]} " == *" $s "* ]] && return 0; done
  return 1
}
own_policy=
if installing_service && [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 0755 /usr/sbin/policy-rc.d
  own_policy=1
fi
status=0
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=$?
[ -n "$own_policy" ] && rm -f /usr/sbin/policy-rc.d
[ "$status" -eq 0 ] || exit "$status"
for s in "${services[@]}"; do
  [[ " ${missing[*]} " == *" $s "* ]] || continue
  if [ -d /run/systemd/system ]; then
    systemctl disable --now "$s.service" >/dev/null 2>&1 || true
  else
    update-rc.d "$s" disable >/dev/null 2>&1 || true
  fi
done
ensure_locale
