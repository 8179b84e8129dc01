#!/usr/bin/env bash
# Runs a Wine test program against a real web proxy: squid on
# 127.0.0.191:3128 (and :3129, which asks for a password), which knows time.proxied.test (127.0.0.192),
# nobody.proxied.test (127.0.0.195, where no one listens) and
# secure.proxied.test (127.0.12.1), names the program itself cannot resolve.
# Beside it, HTTPS time servers on 127.0.12.1 to .6 (see the listeners
# below; 127.0.12.1:443 is the real oramet-timed when TIMED names it) with a
# test root, whose DER file is the program's argument, and
# port 80 of 127.0.12.10 silently dropped for this user's packets (root's),
# not squid's: a network only the proxy gets out of. In a network namespace
# and a Wine prefix of their own, since the tests write the prefix's proxy
# settings and root store; the prefix's wineserver is kept for the run and
# stopped at its end.
# Usage: run-with-squid.sh WINE_RUN PREFIX ARCH TEST_EXE [TIMED]
set -uo pipefail
here=$(dirname "$0")
source "$here/squid.sh"
source "$here/test_certificates.sh"
own_network "$0" "$@"
wine_run=$1 prefix=$2 arch=$3 test_exe=$4 timed=${5:-}

winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }

mkdir -p "$(dirname "$prefix")"
echo "$arch" >"$prefix.arch"
export WINEPREFIX=$prefix
"$wine_run" "$prefix" cmd.exe /c rem >/dev/null 2>&1
wineserver -p
timed_pid=
trap 'stop_https_server; stop_squid; [ -z "$timed_pid" ] || { kill "$timed_pid"; wait "$timed_pid"; }
  wineserver -k 2>/dev/null; wineserver -w 2>/dev/null' EXIT
iptables -A OUTPUT -d 127.0.12.10 -p tcp --dport 80 -m owner --uid-owner 0 -j DROP || exit 1
tls=$prefix.tls
make_certificates "$tls" || exit 1
secure=("127.0.12.1:443:time:$tls/good.pem:$tls/good.key")
if [ -x "$timed" ]; then
  secure=()
  "$timed" --listen 127.0.12.1:80 --tls-listen 127.0.12.1:443 --workers 1 \
    --tls-certificate "$tls/good.pem" --tls-key "$tls/good.key" \
    --banner-link http://q.example/s --banner-text 'secure news' 2>"$tls/timed.log" &
  timed_pid=$!
  for _ in $(seq 1 100); do
    grep -q 'listening on' "$tls/timed.log" && break
    sleep 0.1
  done
  grep -q 'listening on' "$tls/timed.log" || { cat "$tls/timed.log"; exit 1; }
fi
start_https_server "$tls" "${secure[@]}" \
  "127.0.12.1:4443:time:$tls/good.pem:$tls/good.key" \
  "127.0.12.2:443:time:$tls/stranger.pem:$tls/stranger.key" \
  "127.0.12.3:443:time:$tls/misnamed.pem:$tls/misnamed.key" \
  "127.0.12.4:443:plain" \
  "127.0.12.5:443:time:$tls/expired.pem:$tls/expired.key" \
  "127.0.12.6:443:slow:$tls/good.pem:$tls/good.key" || exit 1
start_squid "$prefix.squid" 127.0.0.191 3128 \
  "127.0.0.192 time.proxied.test" "127.0.0.195 nobody.proxied.test" \
  "127.0.12.1 secure.proxied.test" || exit 1
"$wine_run" "$prefix" "$test_exe" "$(winpath "$tls/root.der")"
