#!/usr/bin/env bash
# The one test command: installs what is missing, builds everything and runs
# every test (native, then the Windows build under Wine and Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --workflow --preset native
xvfb-run -a -s "-screen 0 1280x1024x24" cmake --workflow --preset windows
