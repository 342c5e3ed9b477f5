#!/usr/bin/env bash
# xmodem-ref.sh [--adapter-latency MS] BUILD_NATIVE_DIR WORK_DIR IMAGE...
# The reference figures: each image sent with "sx -k" to "rx -c" over the
# pacer's line at 115200 8N1, one line of key=value figures per image; with
# --adapter-latency the sender gets the receiver's bytes through the pacer's
# model of a USB adapter with that latency timer. Exits non-zero if any
# transfer failed or arrived different; every failure is reported.
set -u

LINE_RATE=11520

usage() {
    echo "usage: xmodem-ref.sh [--adapter-latency MS] BUILD_NATIVE_DIR WORK_DIR IMAGE..." >&2
    exit 2
}
adapter=()
if [ "${1:-}" = --adapter-latency ]; then
    [ $# -ge 2 ] || usage
    adapter=(--adapter-latency "$2")
    shift 2
fi
[ $# -ge 3 ] || usage
build=$1
work=$2
shift 2
pacer=$build/pacer
shim=$build/libnoflush.so
for need in "$pacer" "$shim"; do
    if [ ! -f "$need" ]; then
        echo "xmodem-ref: $need is missing: build tools/ into $build first" >&2
        exit 2
    fi
done
for tool in sx rx timeout cmp; do
    if ! command -v "$tool" >/dev/null; then
        echo "xmodem-ref: $tool is not installed (sx and rx come with lrzsz)" >&2
        exit 2
    fi
done
mkdir -p "$work" || exit 2
work=$(cd "$work" && pwd)
shim=$(cd "$(dirname "$shim")" && pwd)/$(basename "$shim")
A=$work/line-a
B=$work/line-b

pacer_pid=
rx_pid=
sx_pid=

# Ends only what this script started, by process id.
stop_all() {
    for pid in $sx_pid $rx_pid $pacer_pid; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in $sx_pid $rx_pid $pacer_pid; do
        wait "$pid" 2>/dev/null
    done
    sx_pid= rx_pid= pacer_pid=
}
trap stop_all EXIT
trap 'exit 130' INT TERM

start_pacer() {
    rm -f "$work/pacer.out"
    "$pacer" --a "$A" --b "$B" --rate "$LINE_RATE" "${adapter[@]}" >"$work/pacer.out" 2>&1 &
    pacer_pid=$!
    for _ in $(seq 100); do
        grep -q '^pacer: ready' "$work/pacer.out" 2>/dev/null && return 0
        kill -0 "$pacer_pid" 2>/dev/null || break
        sleep 0.05
    done
    return 1
}

now() {
    date +%s.%N
}

failures=0
count=0
for img in "$@"; do
    count=$((count + 1))
    if [ ! -f "$img" ]; then
        echo "xmodem-1k  $img: no such image  FAILED(missing)"
        failures=$((failures + 1))
        continue
    fi
    size=$(stat -c %s "$img")
    name=received-$(basename "$img")
    rm -f "$work/$name"
    if ! start_pacer; then
        echo "xmodem-1k  $size bytes  FAILED(pacer: $(tr '\n' ' ' <"$work/pacer.out"))"
        failures=$((failures + 1))
        stop_all
        continue
    fi
    limit=$((size * 3 / 2 / LINE_RATE + 30))

    # The sender first: it waits for the receiver's 'C', which the pacer
    # carries once rx is up, so no start-up request can be lost.
    t0=$(now)
    timeout "$limit" sx -k "$img" <"$A" >"$A" 2>"$work/sx.log" &
    sx_pid=$!
    (cd "$work" && exec timeout "$limit" env LD_PRELOAD="$shim" rx -c "$name" <"$B" >"$B" 2>"$work/rx.log") &
    rx_pid=$!
    wait "$sx_pid"
    sx_rc=$?
    wait "$rx_pid"
    rx_rc=$?
    t1=$(now)
    sx_pid= rx_pid=
    kill -TERM "$pacer_pid"
    wait "$pacer_pid"
    pacer_pid=

    marks=$(grep '^pacer: first-block=' "$work/pacer.out")
    turn=$(grep '^pacer: turnaround ' "$work/pacer.out" | sed 's/^pacer: turnaround //')
    if [ ${#adapter[@]} -gt 0 ]; then
        turn="$turn adapter_ms=${adapter[1]} $(grep '^pacer: adapter-hold ' "$work/pacer.out" |
            sed -n 's/.* p50=\([^ ]*\).* max=\([^ ]*\) mean=\([^ ]*\).*/hold_p50=\1 hold_max=\2 hold_mean=\3/p')"
    fi
    first=$(sed -n 's/.*first-block=\([^ ]*\).*/\1/p' <<<"$marks")
    eot=$(sed -n 's/.*eot=\([^ ]*\).*/\1/p' <<<"$marks")

    if [ "$sx_rc" -ne 0 ] || [ "$rx_rc" -ne 0 ]; then
        verdict="FAILED(sx=$sx_rc,rx=$rx_rc)"
        [ "$sx_rc" -eq 124 ] || [ "$rx_rc" -eq 124 ] && verdict="FAILED(timeout ${limit}s: sx=$sx_rc,rx=$rx_rc)"
    elif [ ! -f "$work/$name" ]; then
        verdict="FAILED(nothing received)"
    elif cmp -s "$img" "$work/$name"; then
        verdict=identical
    else
        verdict=DIFFERENT
    fi
    [ "$verdict" = identical ] || failures=$((failures + 1))

    # One line of key=value figures: the data phase runs from the first
    # block to the end of transmission as they crossed the paced line.
    awk -v size="$size" -v t0="$t0" -v t1="$t1" -v first="$first" -v eot="$eot" \
        -v rate="$LINE_RATE" -v verdict="$verdict" -v turn="$turn" 'BEGIN {
        wall = t1 - t0
        if (first ~ /^[0-9.]+$/ && eot ~ /^[0-9.]+$/ && eot > first) {
            data = eot - first
            printf "xmodem-1k size=%d wall=%.2f seconds=%.3f rate=%.1f line=%.3f %s result=%s\n",
                   size, wall, data, size / data, size / data / rate * 100, turn, verdict
        } else {
            printf "xmodem-1k size=%d wall=%.2f seconds=none %s result=%s\n", size, wall, turn, verdict
        }
    }'
done

stop_all
echo "xmodem-ref: $failures of $count transfers failed"
[ "$failures" -eq 0 ]
