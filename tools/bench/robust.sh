#!/bin/bash
# The robustness command: many uploads in a row by one running TesselFlash.exe
# to the box simulator, with faults injected at random (lost or missing
# acknowledgements, 0xF0/0xFE rejects, stray bytes, the box killed mid-transfer
# and restarted, its pty removed). Prints every run and the counts; exits
# non-zero on a wrong success or a hang.
# Usage: bash tools/bench/robust.sh [RUNS [SEED]]   (40 runs take about 8 minutes)
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/setup.sh
tessel_prepare
trap 'wineserver -k 2>/dev/null || true' EXIT
status=0
tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" robust "${1:-40}" "${2:-1}" 2>&1 \
    | grep --line-buffered -v "Read access denied" || status=$?
exit $status
