#!/bin/bash
# The adapter case: a paced 512 KiB upload by the real program, and the
# XMODEM-1K reference with the same image, straight on the pty and through
# the model of a USB adapter whose latency timer is 16 ms (the default) and
# 1 ms (boxsim and the pacer --adapter-latency). One line a run, "via=pty",
# "via=adapter-16ms" or "via=adapter-1ms" at its end, for benchtable.awk.
# Usage: tools/bench/adapter.sh ROUNDS   (inside tessel_xvfb, after tessel_prepare lrzsz)
set -u
build="${TESSEL_BUILD:?}"
rounds="${1:-3}"
size=524288
quiet() { grep -v -e "Read access denied" -e "X connection" || true; }
for round in $(seq "$rounds"); do
    for via in pty 16 1; do
        option=()
        label=pty
        [ "$via" != pty ] && option=(--adapter-latency "$via") label="adapter-${via}ms"
        tests/with-ports.sh "$build/flashdrive.exe" upload "$size" "${option[@]}" 2>&1 | quiet \
            | grep '^program ' | tr -d '\r' | sed "s/^/round=$round /; s/\$/ via=$label/"
        image="$(find "$WINEPREFIX/drive_c/users" -name "tessel-test-drive-$size.bin" | head -n 1)"
        tools/bench/xmodem-ref.sh "${option[@]}" "$build/native" "$build/xmodem" "$image" 2>&1 \
            | grep '^xmodem-1k ' | sed "s/^/round=$round /; s/\$/ via=$label/"
    done
done
