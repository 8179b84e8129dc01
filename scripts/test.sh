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
# Wine runs 32-bit Windows programs only where the kernel runs 32-bit code,
# and some virtual machines have that turned off. There the program that users
# download is still built (32-bit, with its setup program and zip), and the
# same sources and tests are built for 64-bit Windows and run under 64-bit Wine.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  xvfb-run -a -s "-screen 0 1280x1024x24" cmake --workflow --preset windows
else
  echo "test: this machine runs no 32-bit code; the Windows tests run on the 64-bit build"
  cmake --preset windows
  cmake --build --preset windows
  xvfb-run -a -s "-screen 0 1280x1024x24" cmake --workflow --preset windows-x64
fi
# Last, a release as users get it: built twice from clones and compared,
# then signed with a throw-away certificate and verified.
bash scripts/check-reproducible.sh --no-setup
