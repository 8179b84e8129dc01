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
xvfb-run -a -s "-screen 0 1280x1024x24" cmake --workflow --preset windows
