#!/usr/bin/env bash
# Runs a probe that starts the real oramet.exe, passing the program's path
# as Wine sees it.
# Usage: run-probe.sh WINE_RUN PREFIX PROBE_EXE ORAMET_EXE [ARGS...]
set -euo pipefail
wine_run=$1 prefix=$2 probe=$3 exe=$4
shift 4
# Wine sees the host's file system as drive Z:.
winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
# Make the shared prefix, if no test has yet.
[ -f "$prefix/system.reg" ] || "$wine_run" "$prefix" cmd.exe /c rem
# As on a Chinese Windows: code page 936.
if locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  export LC_ALL=zh_CN.UTF-8
fi
exec "$wine_run" "$prefix" "$probe" "$(winpath "$exe")" "$@"
