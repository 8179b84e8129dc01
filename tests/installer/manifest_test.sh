#!/usr/bin/env bash
# Checks the manifest that the loader reads from the program: resource type
# 24 with id 1 (any other id is ignored for an .exe), asking for no elevation,
# for common controls 6 and for per-monitor DPI awareness with its fallbacks,
# and naming the build's own processor (amd64 or x86).
# Usage: manifest_test.sh PROGRAM WINDRES ARCH
set -uo pipefail
program=$1 windres=$2 arch=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rc=$("$windres" -i "$program" -O rc) || { echo "FAIL: $windres cannot read $program" >&2; exit 1; }
# The manifest's lines as the decompiler quotes them, from "1 24" to END.
manifest=$(printf '%s\n' "$rc" | sed -n '/^1 24 /,/^END/p' | sed 's/""/"/g')
[ -n "$manifest" ] || { echo "FAIL: no manifest resource with id 1 in $program" >&2; exit 1; }
count=$(printf '%s\n' "$rc" | grep -c '^[0-9A-Za-z_]* 24 ')
[ "$count" -eq 1 ] || fail "$count manifest resources, expected 1"

for text in "name=\"Quellton.Oramet\" version=\"2.7.0.0\" processorArchitecture=\"$arch\"" \
            'level="asInvoker"' 'uiAccess="false"' \
            'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' \
            'publicKeyToken="6595b64144ccf1df"' \
            '{e2011457-1546-43c5-a5fe-008deee3d3f0}' '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' \
            '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}' '{1f676c76-80e1-4239-95bb-83d0f6d0da78}' \
            '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' \
            '<windowsSettings>' \
            '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>' \
            '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>'; do
  printf '%s\n' "$manifest" | grep -qF "$text" || fail "manifest lacks $text"
done

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
