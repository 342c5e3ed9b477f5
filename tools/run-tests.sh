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
# Two at a time: most suites wait on the box or the pages far more than they
# compute, and those that share a desktop take turns (CMakeLists.txt).
tessel_xvfb ctest --test-dir "$build" --output-on-failure -j2 || status=$?
exit $status
