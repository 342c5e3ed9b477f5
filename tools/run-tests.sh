#!/bin/bash
# The test command: installs what is missing, builds the program, the tests
# and the box simulator, and runs every test under Wine on a virtual display.
# Exits non-zero on any failure and leaves no Wine process behind.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
tessel_prepare
trap 'wineserver -k 2>/dev/null || true' EXIT
status=0
tessel_xvfb ctest --test-dir "$build" --output-on-failure || status=$?
exit $status
