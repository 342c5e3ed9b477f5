#!/bin/bash
# The stream case: the program at the cable page with its port open while the
# box talks without pause at the line's rate (tools/bench/talker on COM8), in
# 12-byte bursts and a byte at a time, beside the same program idle. Prints
# the program's and the Wine server's CPU share, its memory growth and the
# time from WM_CLOSE to the end of the process, one line a run.
# Usage: tools/bench/stream.sh SECONDS [ROUNDS]   (inside tessel_xvfb, after tessel_prepare)
set -u
build="${TESSEL_BUILD:?}"
seconds="${1:?seconds}"
rounds="${2:-3}"
link="$WINEPREFIX/dosdevices/com8"
quiet() { grep -v -e "Read access denied" -e "X connection" || true; }
for round in $(seq "$rounds"); do
    for burst in none 12 1; do
        talker=""
        if [ "$burst" != none ]; then
            "$build/native/talker" --link "$link" --burst "$burst" > "$build/talker.log" &
            talker=$!
            for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
        fi
        index=6   # the idle reference on the simulated box's COM7, which says nothing at the cable page
        [ -n "$talker" ] && index=7
        TESSEL_COM_INDEX=$index tests/with-ports.sh "$build/flashdrive.exe" idle "$seconds" 2>&1 | quiet \
            | grep -e '^idle at=cable' -e '^close ' | sed "s/^/stream round=$round burst=$burst /"
        if [ -n "$talker" ]; then
            kill "$talker"; wait "$talker" 2>/dev/null
            sed "s/^/stream round=$round burst=$burst /" "$build/talker.log"
        fi
    done
done
