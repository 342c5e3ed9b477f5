#!/usr/bin/env bash
# calibrate.sh BUILD_NATIVE_DIR [--check|--strict] [lines|adapter]
# Shows that the paced lines see the turnarounds they are fed (lines), and
# that the box's USB adapter model holds its bytes as long as it says
# (adapter); both by default. For each known
# pause d the sending end takes before a block (0, 1, 3 ms) it runs a 64 KiB
# load from hostsim into "boxsim --pace" and, at the same time, 64 frames of
# 1 KiB from linecal through the pacer, and prints one row a run: the share
# of the line 1024 / (1030 + d x 11520) predicts, the share measured, their
# difference, the part of the measured share the turnarounds seen on the line
# leave unexplained, and those turnarounds (p50 / p99 / max, ms).
# The difference also holds the ends' own answer time beyond d (pty wake-ups,
# about 0.1 ms here), which the line rightly counts; "unexplained" does not.
# The adapter part runs the same host three times with the same pauses
# drawn from 0 to 16 ms before each block (so they meet the adapter's timer
# at every phase): into "boxsim --pace", and through --adapter-latency 16
# and 1. What the adapter cost the host is read back from the line, the data
# phase's growth a block over the direct run, and set against the hold the
# model says it added to each block's acks (about MS/2 on average).
# It prints a finding ("off:") where a time is not what it should be: a time
# not explained by the turnarounds it reports (by more than CAL_BOUND % of
# the line), a median turnaround not near d, the adapter's cost read back
# more than ADAPTER_BOUND_MS from its holds, or its mean hold far from MS/2.
# Another process taking the CPU can cause each of these, so they fail only
# with --strict, for a quiet machine. With --check (the test suite) it exits
# non-zero for what no load can cause: a run failed, a wrong count of
# turnarounds, a line faster than its pauses allow or a turnaround shorter
# than its pause, and the pacer not pacing (the CHECK_DELAY_MS pause read
# back outside CHECK_LOW to CHECK_HIGH times itself).
set -u

LINE_RATE=11520
DELAYS="0 1 3"
CAL_BYTES=65536
CAL_BOUND=0.5      # % of the line: the pass bound, generous for a loaded machine
CAL_TARGET=0.1     # % of the line: what the pacing is meant to hold
CAL_NEAR_MS=0.5    # how far above d the median turnaround may read
CAL_BELOW_MS=0.02  # and below it: an end never answers sooner than it waits
ADAPTER_LATENCIES="16 1"
ADAPTER_SPREAD_MS=16
ADAPTER_TARGET_MS=0.2   # how close the cost read back should come to the model's holds
ADAPTER_BOUND_MS=1.0    # the pass bound, generous for a loaded machine
CHECK_DELAY_MS=10       # with --check: a pause long beside any wake-up, read back within
CHECK_LOW=0.3           # these times itself, or the pacer does not pace
CHECK_HIGH=5

BUILD=${1:-}
CHECK=""
PARTS="lines adapter"
[ $# -ge 1 ] && shift
for arg in "$@"; do
    case "$arg" in
        --check) CHECK=--check ;;
        --strict) CHECK=--strict ;;
        lines|adapter) PARTS=$arg ;;
        *) BUILD="" ;;
    esac
done
if [ -z "$BUILD" ]; then
    echo "usage: calibrate.sh BUILD_NATIVE_DIR [--check|--strict] [lines|adapter]" >&2
    exit 2
fi
. "$(dirname "$0")/../line/children.sh"
NeedBuilt calibrate "$BUILD" boxsim hostsim pacer linecal
for tool in timeout cmp awk; do
    command -v "$tool" > /dev/null || { echo "calibrate: error: $tool is not installed" >&2; exit 2; }
done
# Every process started, also from the background runs, is remembered by id.
StartWork calibrate

# Field FILE LINE-PREFIX KEY: the value of KEY= on the first line starting so.
Field() {
    grep -m1 "^$2" "$1" 2>/dev/null | sed -n "s/.* $3=\([^ ]*\).*/\1/p"
}

head -c "$CAL_BYTES" /dev/urandom > "$WORK/image.bin"
[ "$CHECK" = --check ] && DELAYS="$DELAYS $CHECK_DELAY_MS"

# BoxRun D [NAME BOX-OPTIONS HOST-OPTIONS]: one paced load with a D ms pause
# before each block but the first; prints "ok SECONDS COUNT P50 P99 MAX MEAN
# HOLD-MEAN" (the adapter's, "-" without one) or "failed REASON".
BoxRun() {
    local d=$1 name=${2:-box-$1} box host rc
    local link=$WORK/$name.com f=$WORK/$name.out t="boxsim: turnaround"
    # shellcheck disable=SC2086
    Launch "$f" "$WORK/$name.err" '^boxsim: ready' \
        "$BUILD/boxsim" --link "$link" --pace --exit-after 1 --out "$WORK/$name.bin" ${3:-} ||
        { echo "failed boxsim-not-ready"; return; }
    box=$LAUNCHED
    # shellcheck disable=SC2086
    Launch "$WORK/$name.host" "$WORK/$name.hosterr" '^hostsim: open' timeout 60 "$BUILD/hostsim" --link "$link" \
        --image "$WORK/image.bin" --block-delay "$d" --box-exits ${4:-} || { echo "failed hostsim-not-open"; return; }
    host=$LAUNCHED
    kill -USR1 "$box"
    wait "$host"
    rc=$?
    [ "$rc" -eq 0 ] || { echo "failed hostsim-exit-$rc:$(tr ' \n' '_ ' < "$WORK/$name.hosterr")"; return; }
    WaitGone "$box" || { echo "failed boxsim-did-not-exit"; return; }
    grep -q "^boxsim: verdict=complete bytes=$CAL_BYTES " "$f" || { echo "failed no-complete-verdict"; return; }
    cmp -s "$WORK/image.bin" "$WORK/$name.bin" || { echo "failed image-differs"; return; }
    # The verdict's data_seconds must be the same time, rounded to 10 ms.
    local seconds rounded
    seconds=$(awk -v us="$(Field "$f" "$t" data_us)" 'BEGIN { printf "%.6f", us / 1e6 }')
    rounded=$(Field "$f" "boxsim: verdict" data_seconds)
    awk -v a="$seconds" -v b="$rounded" 'BEGIN { exit !(a > 0 && a - b <= 0.005 && b - a <= 0.005) }' ||
        { echo "failed data_us=$seconds-disagrees-with-data_seconds=$rounded"; return; }
    local hold
    hold=$(Field "$f" "boxsim: adapter" hold_mean)
    echo "ok $seconds $(Field "$f" "$t" blocks) $(Field "$f" "$t" p50) $(Field "$f" "$t" p99)" \
        "$(Field "$f" "$t" max) $(Field "$f" "$t" mean) ${hold:--}"
}

# PacerRun D: 64 frames through the pacer with a D ms pause after each ACK;
# prints "ok SECONDS COUNT P50 P99 MAX MEAN REPLY-MEAN" or "failed REASON".
PacerRun() {
    local d=$1 name=pacer-$1 pacer cal rc
    local f=$WORK/$name.out t="pacer: turnaround"
    Launch "$f" "$WORK/$name.err" '^pacer: ready' \
        "$BUILD/pacer" --a "$WORK/$name.a" --b "$WORK/$name.b" --rate "$LINE_RATE" ||
        { echo "failed pacer-not-ready"; return; }
    pacer=$LAUNCHED
    # In the background: a signal to this script is handled at once during wait.
    timeout 60 "$BUILD/linecal" --a "$WORK/$name.a" --b "$WORK/$name.b" --frames $((CAL_BYTES / 1024)) \
        --block-delay "$d" > "$WORK/$name.cal" 2>&1 &
    cal=$!
    Started "$cal"
    wait "$cal"
    rc=$?
    kill -TERM "$pacer"
    WaitGone "$pacer"
    [ "$rc" -eq 0 ] || { echo "failed linecal-exit-$rc:$(tr ' \n' '_ ' < "$WORK/$name.cal")"; return; }
    echo "ok $(awk -v a="$(Field "$f" "pacer: first-block" first-block)" \
        -v b="$(Field "$f" "pacer: first-block" eot)" 'BEGIN { printf "%.6f", b - a }')" \
        "$(Field "$f" "$t" blocks) $(Field "$f" "$t" p50) $(Field "$f" "$t" p99) $(Field "$f" "$t" max)" \
        "$(Field "$f" "$t" mean) $(Field "$f" "pacer: reply" mean)"
}

# Row SIDE D RESULT...: prints the row, then "met", "explained" and "bad ..."
# lines for the summary. The time the turnarounds explain is every block's
# 1030 byte times plus each turnaround at its mean; the box's line also
# carries the 4-byte length, the pacer's the EOT after a pause and each
# frame's reply (its receiver's answer time).
Row() {
    local side=$1 d=$2
    shift 2
    if [ "${1:-}" != ok ]; then
        printf 'calibrate: %-5s %6.3f  FAILED %s\n' "$side" "$d" "${2:-no result}"
        echo "bad $side d=$d: the run failed: ${2:-no result}"
        return
    fi
    awk -v side="$side" -v d="$d" -v rate="$LINE_RATE" -v bytes="$CAL_BYTES" -v bound="$CAL_BOUND" \
        -v target="$CAL_TARGET" -v near="$CAL_NEAR_MS" -v below="$CAL_BELOW_MS" \
        -v checkDelay="$([ "$CHECK" = --check ] && echo "$CHECK_DELAY_MS" || echo -1)" -v low="$CHECK_LOW" -v high="$CHECK_HIGH" \
        -v seconds="$2" -v count="${3:-}" -v p50="${4:-}" -v p99="${5:-}" -v max="${6:-}" -v mean="${7:-}" \
        -v rmean="${8:-}" 'BEGIN {
        blocks = bytes / 1024
        if (seconds + 0 <= 0 || mean == "" || (side == "pacer" && rmean == "")) {
            printf "calibrate: %-5s %6.3f  FAILED no figures\n", side, d
            printf "bad %s d=%s: no figures\n", side, d
            exit
        }
        predicted = 100 * 1024 / (1030 + d / 1000 * rate)
        measured = 100 * bytes / seconds / rate
        diff = measured - predicted
        line = blocks * 1030 / rate + count * mean / 1000
        if (side == "box")
            line += 4 / rate
        else
            line += mean / 1000 + blocks * rmean / 1000
        unexplained = measured - 100 * bytes / line / rate
        met = (diff <= target && diff >= -target) ? "yes" : "no"
        printf "calibrate: %-5s %6.3f  %8.3f  %8.3f  %+7.3f  %-4s %+9.3f   %7.3f %7.3f %7.3f\n",
               side, d, predicted, measured, diff, met, unexplained, p50, p99, max
        if (met == "yes")
            print "met"
        if (unexplained <= target && unexplained >= -target)
            print "explained"
        if (count != blocks - 1)
            printf "bad %s d=%s: %s turnarounds for %d blocks\n", side, d, count, blocks
        if (diff > bound)
            printf "bad %s d=%s: %+.3f %% of the line faster than the pauses allow (bound %s)\n", side, d, diff, bound
        if (p50 < d - below)
            printf "bad %s d=%s: turnaround p50 %.3f ms is shorter than the pause\n", side, d, p50
        if (d == checkDelay && (p50 < d * low || p50 > d * high))
            printf "bad %s d=%s: turnaround p50 %.3f ms is not within %s to %s times the pause: no pacing\n",
                   side, d, p50, low, high
        if (unexplained > bound || unexplained < -bound)
            printf "off %s d=%s: %+.3f %% of the line not explained by its turnarounds (bound %s)\n",
                   side, d, unexplained, bound
        if (p50 > d + near)
            printf "off %s d=%s: turnaround p50 %.3f ms is not near %s ms\n", side, d, p50, d
    }'
}

# AdapterRow MS REFERENCE-RESULT RESULT: the adapter's row, then "adapter-met"
# and "bad ..." lines for the summary. The cost read back is the data phase's
# growth over the direct run's, a block: every block's acks wait once.
AdapterRow() {
    local ms=$1 ref=$2
    shift 2
    if [ "${ref%% *}" != ok ] || [ "${1:-}" != ok ]; then
        printf 'calibrate: adapter %3s ms  FAILED %s\n' "$ms" "${2:-${ref#failed }}"
        echo "bad adapter $ms ms: the run failed: ${2:-${ref#failed }}"
        return
    fi
    # shellcheck disable=SC2086
    set -- "$@" $ref
    awk -v ms="$ms" -v bytes="$CAL_BYTES" -v target="$ADAPTER_TARGET_MS" -v bound="$ADAPTER_BOUND_MS" \
        -v seconds="$2" -v hold="$8" -v refSeconds="${10}" 'BEGIN {
        blocks = bytes / 1024
        if (hold == "-" || hold == "") {
            printf "calibrate: adapter %3s ms  FAILED no hold figures\n", ms
            printf "bad adapter %s ms: no hold figures\n", ms
            exit
        }
        readBack = (seconds - refSeconds) * 1000 / blocks
        diff = readBack - hold
        met = (diff <= target && diff >= -target) ? "yes" : "no"
        printf "calibrate: adapter %3s ms  %8.3f  %9.3f  %9.3f  %+7.3f  %s\n", ms, ms / 2, hold, readBack, diff, met
        if (met == "yes")
            print "adapter-met"
        if (diff > bound || diff < -bound)
            printf "off adapter %s ms: read back %.3f ms a block against holds of %.3f (bound %s ms)\n",
                   ms, readBack, hold, bound
        if (hold > ms / 2 + ms / 4 + 0.1 || hold < ms / 2 - ms / 4 - 0.1)
            printf "off adapter %s ms: mean hold %.3f ms is far from %s / 2\n", ms, hold, ms
    }'
}

: > "$WORK/rows"
case " $PARTS " in *" lines "*)
echo "calibrate: $CAL_BYTES bytes at $LINE_RATE B/s; shares in % of the line; turnaround in ms from the last ack out to the next block in"
echo "calibrate: side  delay  predicted  measured   diff   0.1%  unexplained     p50     p99     max"
for d in $DELAYS; do
    # The two lines run side by side: each process mostly sleeps.
    BoxRun "$d" > "$WORK/result.box" &
    boxrun=$!
    Started "$boxrun"
    PacerRun "$d" > "$WORK/result.pacer"
    wait "$boxrun"
    # shellcheck disable=SC2046
    Row box "$d" $(cat "$WORK/result.box") | tee -a "$WORK/rows" | grep '^calibrate:'
    # shellcheck disable=SC2046
    Row pacer "$d" $(cat "$WORK/result.pacer") | tee -a "$WORK/rows" | grep '^calibrate:'
done
rows=$(grep -c '^calibrate:' "$WORK/rows")
echo "calibrate: the $CAL_TARGET % target was met in $(grep -c '^met$' "$WORK/rows") of $rows rows;" \
    "the turnarounds explain the time within $CAL_TARGET % in $(grep -c '^explained$' "$WORK/rows") of $rows"
;; esac

case " $PARTS " in *" adapter "*)
echo "calibrate: adapter model: $CAL_BYTES bytes, the host pauses 0 to $ADAPTER_SPREAD_MS ms before each block" \
    "(the same pauses in each run); ms a block"
echo "calibrate: latency      MS/2  model hold  read back    diff   ${ADAPTER_TARGET_MS}ms"
spread="--block-spread $ADAPTER_SPREAD_MS"
# The direct run and one adapter run side by side, then the others.
BoxRun 0 adapter-none "" "$spread" > "$WORK/result.adapter-none" &
boxrun=$!
Started "$boxrun"
for ms in $ADAPTER_LATENCIES; do
    BoxRun 0 "adapter-$ms" "--adapter-latency $ms" "$spread" > "$WORK/result.adapter-$ms"
done
wait "$boxrun"
for ms in $ADAPTER_LATENCIES; do
    # shellcheck disable=SC2046
    AdapterRow "$ms" "$(cat "$WORK/result.adapter-none")" $(cat "$WORK/result.adapter-$ms") |
        tee -a "$WORK/rows" | grep '^calibrate:'
done
echo "calibrate: the read back was within $ADAPTER_TARGET_MS ms of the model's holds in" \
    "$(grep -c '^adapter-met$' "$WORK/rows") of $(echo $ADAPTER_LATENCIES | wc -w) latencies"
;; esac

bad=$(grep -c '^bad ' "$WORK/rows")
off=$(grep -c '^off ' "$WORK/rows")
sed -n 's/^bad /calibrate: fault: /p; s/^off /calibrate: off: /p' "$WORK/rows"
if [ "$CHECK" = --strict ] && [ $((bad + off)) -gt 0 ]; then
    echo "calibrate: FAILED ($bad faults, $off times off, bounds $CAL_BOUND % of the line, adapter $ADAPTER_BOUND_MS ms)"
    exit 1
elif [ "$CHECK" = --check ] && [ "$bad" -gt 0 ]; then
    echo "calibrate: FAILED ($bad faults; times are only printed)"
    exit 1
elif [ -n "$CHECK" ]; then
    echo "calibrate: PASS (no fault; $off times off, printed above: another process can cause those)"
fi
exit 0
