#!/usr/bin/env bash
# Runs the service tests in a Wine prefix of their own, so that the service
# they register answers no other test's program. Under Wine a service lives
# only while the prefix's wineserver does: it is kept running for the tests
# (wineserver -p) and stopped at the end, whatever happened. The machine's
# proxy is a real squid on 127.0.0.102:3128 that knows time.proxied.test
# (127.0.0.100), a name the service cannot resolve; port 80 of 127.0.12.20
# is silently dropped for everyone but squid, and 127.0.12.21:443 serves the
# time over HTTPS under a test root (127.0.12.22:443 the time 16 hours
# ahead), whose DER file the test program is
# given: all in a network namespace of their own.
# Usage: run-service-test.sh WINE_RUN PREFIX ARCH TEST_EXE SERVICE_EXE
set -uo pipefail
source "$(dirname "$0")/../support/squid.sh"
source "$(dirname "$0")/../support/test_certificates.sh"
own_network "$0" "$@"
wine_run=$1 prefix=$2 arch=$3 test_exe=$4 service_exe=$5

winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }

mkdir -p "$(dirname "$prefix")"
echo "$arch" >"$prefix.arch"
export WINEPREFIX=$prefix
# Makes the prefix on the first run; output to a file, as wine-run.sh does.
"$wine_run" "$prefix" cmd.exe /c rem >/dev/null 2>&1
wineserver -p
trap 'stop_https_server; stop_squid; wineserver -k 2>/dev/null; wineserver -w 2>/dev/null' EXIT
# Wine's programs run as root; squid as its own user.
iptables -A OUTPUT -d 127.0.12.20 -p tcp --dport 80 -m owner --uid-owner 0 -j DROP || exit 1
tls=$prefix.tls
make_certificates "$tls" || exit 1
start_https_server "$tls" "127.0.12.21:443:time:$tls/good.pem:$tls/good.key" \
  "127.0.12.22:443:time+57600:$tls/good.pem:$tls/good.key" || exit 1
start_squid "$prefix.squid" 127.0.0.102 3128 "127.0.0.100 time.proxied.test" || exit 1
"$wine_run" "$prefix" "$test_exe" "$(winpath "$service_exe")" "$(winpath "$tls/root.der")"
