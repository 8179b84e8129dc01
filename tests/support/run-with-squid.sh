#!/usr/bin/env bash
# Runs a Wine test program against a real web proxy: squid on
# 127.0.0.191:3128 (and :3129, which asks for a password), which knows time.proxied.test (127.0.0.192) and
# nobody.proxied.test (127.0.0.195, where no one listens), names the program
# itself cannot resolve. In a network namespace and a Wine prefix of their
# own, since the tests write the prefix's proxy settings; the prefix's
# wineserver is kept for the run and stopped at its end.
# Usage: run-with-squid.sh WINE_RUN PREFIX ARCH TEST_EXE
set -uo pipefail
source "$(dirname "$0")/squid.sh"
own_network "$0" "$@"
wine_run=$1 prefix=$2 arch=$3 test_exe=$4

mkdir -p "$(dirname "$prefix")"
echo "$arch" >"$prefix.arch"
export WINEPREFIX=$prefix
"$wine_run" "$prefix" cmd.exe /c rem >/dev/null 2>&1
wineserver -p
trap 'stop_squid; wineserver -k 2>/dev/null; wineserver -w 2>/dev/null' EXIT
start_squid "$prefix.squid" 127.0.0.191 3128 \
  "127.0.0.192 time.proxied.test" "127.0.0.195 nobody.proxied.test" || exit 1
"$wine_run" "$prefix" "$test_exe"
