#!/bin/bash
# The test command: installs what is missing, builds the program, the tests
# and the box simulator, and runs every test under Wine on a virtual display.
# Exits non-zero on any failure and leaves no Wine process behind.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
tessel_install
build="${TESSEL_BUILD_DIR:-build}"
tessel_build "$build"
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
status=0
# The prefix's services start on the same display as the tests.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c 'tests/wine-prefix.sh && ctest --test-dir "$1" --output-on-failure' _ "$build" || status=$?
exit $status
