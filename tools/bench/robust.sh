#!/bin/bash
# The robustness command, in two parts:
#  1. the GUI run: many uploads in a row by one running TesselFlash.exe to the
#     box simulator, faults injected at random (lost or missing
#     acknowledgements, 0xF0/0xFE rejects, stray bytes, the box killed
#     mid-transfer and restarted, its pty removed, an acknowledgement late by
#     about its watchdog, a box that asks for data before any image is open
#     while the user takes longer than the prompt watch to choose one, a new
#     attempt soon after an accepted image, a box that shakes hands again
#     while the failure page shows, boot log text before every block's acks,
#     a handshake again after the completion);
#  2. the link run: the same runs with the program's start-up and main window
#     inside the driver, ticking ten times faster, an unpaced box and small
#     images, for a thousand uploads and more.
# Prints every run of the first, progress lines of the second, then both
# summaries; exits non-zero when either found a wrong success, a double
# failure report, a page left open, a hang, a handshake answered or bytes
# sent after a failure report, or a second transfer after a completion.
# Usage: bash tools/bench/robust.sh [GUI_RUNS [SEED [LINK_RUNS]]]
#        (defaults 100, 1, 1000; 100 GUI runs take about 20 minutes,
#        1000 link runs about 50)
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/setup.sh
tessel_prepare
trap 'wineserver -k 2>/dev/null || true' EXIT
guiRuns="${1:-100}" seed="${2:-1}" linkRuns="${3:-1000}"
out="$(mktemp -d)"
status=0
echo "== GUI run: flashdrive robust $guiRuns $seed"
tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" robust "$guiRuns" "$seed" 2>&1 \
    | grep --line-buffered -v "Read access denied" | tee "$out/gui" || status=1
echo "== link run: flashdrive link $linkRuns $seed"
tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" link "$linkRuns" "$seed" 2>&1 \
    | grep --line-buffered -v "Read access denied" | tee "$out/link" || status=1
echo
echo "== summaries"
sed -n '/^robust summary/,$p' "$out/gui"
echo
sed -n '/^link summary/,$p' "$out/link"
rm -rf "$out"
exit $status
