#!/bin/bash
# The benchmark command: complete uploads of the real program under Wine to
# the box simulator, paced to 115200 8N1 and unpaced, for 64 KiB, 512 KiB and
# 2 MiB images; the cost of one WritePort call a byte; and, over the same paced
# line, the XMODEM-1K reference (lrzsz's sx -k to rx) with the same images.
# Prints figures only; takes about fifteen minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/setup.sh
tessel_prepare lrzsz
trap 'wineserver -k 2>/dev/null || true' EXIT
quiet() { grep -v "Read access denied" || true; }

echo "== the engine's one WritePort call a byte, on a pty pair under Wine"
tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" writecost 2>&1 | quiet
echo
echo "== TesselFlash.exe to the simulated box (seconds from go-ahead to last acknowledgement)"
echo "   line limit 11520 B/s; stop-and-wait ceiling 1024 of every 1030 bytes = 11452 B/s"
tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" bench 2>&1 | quiet
wineserver -k 2>/dev/null || true
echo
echo "== reference: XMODEM-1K, sx -k to rx, over a line paced to 115200 8N1"
images=()
for size in 65536 524288 2097152; do
    images+=("$(find "$WINEPREFIX/drive_c/users" -name "tessel-test-drive-$size.bin" | head -n 1)")
done
tools/bench/xmodem-ref.sh "$build/native" "$build/xmodem" "${images[@]}"
