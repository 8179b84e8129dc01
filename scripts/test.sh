#!/usr/bin/env bash
# The one test command: installs what is missing, builds everything and runs
# every test (native, native under AddressSanitizer and UndefinedBehaviorSanitizer,
# a short run of each fuzz target, then the Windows build under Wine and Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --workflow --preset native
cmake --workflow --preset native-sanitize
cmake --workflow --preset fuzz
# Two Windows builds, each with its programs, setup program and zip: x64,
# what 64-bit Windows gets, tested under 64-bit Wine; and x86, tested the
# same way (in a 64-bit prefix, under WoW64) where the kernel runs 32-bit
# code. Some virtual machines have that turned off: there the x86 build is
# built and only checked without running: machine type and every import
# against Wine's 32-bit DLLs, the manifest, the zip.
xvfb-run -a -s "-screen 0 1280x1024x24" cmake --workflow --preset windows-x64
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  xvfb-run -a -s "-screen 0 1280x1024x24" cmake --workflow --preset windows
else
  echo "test: this machine runs no 32-bit code; the x86 build is checked, not run"
  cmake --preset windows
  cmake --build --preset windows
  ctest --preset windows -R '^(pe_|program_manifest$|portable_zip$)'
fi
# Last, a release as users get it: built twice from clones and compared,
# then signed with a throw-away certificate and verified.
bash scripts/check-reproducible.sh --no-setup
