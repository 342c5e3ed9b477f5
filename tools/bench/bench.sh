#!/bin/bash
# The benchmark command. First the calibration that shows the paced lines
# see what they measure; then, round after round, a paced upload of the real
# program under Wine to the box simulator and the XMODEM-1K reference (sx -k
# to rx over the pacer) with the same 64 KiB, 512 KiB and 2 MiB images; then
# the same 512 KiB through the model of a USB adapter's latency timer at
# 16 ms and 1 ms (tools/bench/adapter.sh); 1, 4 and 8 programs at once, each
# to a box of its own (tools/bench/boxes.sh); the program left idle at the
# cable page with the port open, and the same page while the box talks
# without pause (tools/bench/stream.sh); the engine's property test at a
# million sessions. Prints every run and a table of
# medians with min-max; asserts nothing.
# Usage: bash tools/bench/bench.sh [ROUNDS [IDLE_SECONDS]]   (3 rounds and 300 s: about 60 minutes;
#        IDLE_SECONDS 0 leaves the idle figure out)
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/setup.sh
tessel_prepare lrzsz
trap 'wineserver -k 2>/dev/null || true' EXIT
rounds="${1:-3}"
idle="${2:-300}"
sizes="65536 524288 2097152"
results="$build/bench-results.txt"
: > "$results"
quiet() { grep -v -e "Read access denied" -e "X connection" || true; }

echo "== calibration: hosts that wait a known time before each block, on both paced lines"
tools/bench/calibrate.sh "$build/native"
echo
echo "== one WritePort call a byte against one call a block, on a pty pair under Wine ($TESSEL_ARCH build)"
tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" writecost 2>&1 | quiet
echo
echo "== paced uploads, $rounds rounds: TesselFlash.exe ($TESSEL_ARCH, Wine) to boxsim --pace; XMODEM-1K over the pacer"
for round in $(seq "$rounds"); do
    for size in $sizes; do
        tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" upload "$size" 2>&1 | quiet \
            | grep '^program ' | sed "s/^/round=$round /" | tee -a "$results" || true
        image="$(find "$WINEPREFIX/drive_c/users" -name "tessel-test-drive-$size.bin" | head -n 1)"
        tools/bench/xmodem-ref.sh "$build/native" "$build/xmodem" "$image" 2>&1 \
            | grep '^xmodem-1k ' | sed "s/^/round=$round /" | tee -a "$results" || true
    done
done
echo
echo "== 512 KiB, $rounds rounds, on the pty and through a USB adapter whose latency timer is 16 ms, then 1 ms"
tessel_xvfb tools/bench/adapter.sh "$rounds" | tee -a "$results"
echo
echo "== boxes at once, $rounds rounds: N programs, each uploading 256 KiB to a paced box of its own"
for round in $(seq "$rounds"); do
    for n in 1 4 8; do
        tessel_xvfb tools/bench/boxes.sh "$n" 262144 "$round" | tee -a "$results"
    done
done
wineserver -k 2>/dev/null || true
echo
if [ "$idle" -gt 0 ]; then
    echo "== idle: the program at the Welcome page (port closed, up to 60 s), then at the cable page with the port open for $idle s"
    tessel_xvfb tests/with-ports.sh "$build/flashdrive.exe" idle "$idle" 2>&1 | quiet | grep '^idle ' | tee -a "$results" || true
fi
echo
echo "== stream: the program at the cable page while the box talks at the line's rate (12-byte bursts, a byte at a time), beside it idle"
tessel_xvfb tools/bench/stream.sh 30 "$rounds" | tee -a "$results"
echo
echo "== the engine against 1,000,000 mutated sessions (the suite runs 100,000): faults found, and the time they took"
TESSEL_PROPERTY_SESSIONS=1000000 TESSEL_PROPERTY_SEED="${TESSEL_PROPERTY_SEED:-20261209}" \
    tessel_xvfb wine "$build/engine_property.exe" 2>&1 | quiet \
    | grep -E '^\[ property \]|seed [0-9]+:|OK \]|FAILED \]' || true
echo
echo "== medians [min-max] over $rounds rounds; data phase from the go-ahead (program) or the first"
echo "   block (XMODEM-1K) to the last acknowledgement or EOT; line = 11,520 B/s, ceiling 11,452 B/s (99.42 %)"
awk -f tools/bench/benchtable.awk "$results"
