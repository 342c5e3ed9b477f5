#!/usr/bin/env bash
# relaycost.sh BUILD_NATIVE_DIR [--runs N] [--bytes N]
# What the trace relay costs a paced upload. Runs N (3) paced loads of an
# image of N (65536) bytes from hostsim into "boxsim --pace" in three ways,
# interleaved so a busy machine weighs on each alike: direct, through
# tracerelay, and through "tracerelay --hold-us 100". Prints, for each way,
# the median [min-max] over its runs of boxsim's turnaround p50 (ms from a
# block's last ack out to the next block's first byte in), and the
# differences. The held way calibrates the method: every turnaround crosses
# the relay twice (the acks to the PC, the block to the box), so it must read
# about 0.2 ms above the plain relay, or the method cannot see such a cost
# (a little less is right: the second ack comes while the first is held, so
# the relay's own wake-up for it is hidden).
# A benchmark, not a test: it prints figures and asserts none.
set -u

HOLD_US=100
RUNS=3
BYTES=65536
if [ $# -lt 1 ]; then
    echo "usage: relaycost.sh BUILD_NATIVE_DIR [--runs N] [--bytes N]" >&2
    exit 2
fi
BUILD=$1
shift
while [ $# -gt 0 ]; do
    case $1 in
    --runs) RUNS=${2:-}; shift 2 ;;
    --bytes) BYTES=${2:-}; shift 2 ;;
    *) echo "relaycost: error: unknown option '$1'" >&2; exit 2 ;;
    esac
done
if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || [ "$RUNS" -lt 3 ] || ! [[ "$BYTES" =~ ^[0-9]+$ ]] || [ "$BYTES" -lt 3072 ]; then
    echo "relaycost: error: --runs needs 3 or more, --bytes 3072 or more (three blocks, two turnarounds)" >&2
    exit 2
fi
. "$(dirname "$0")/../line/children.sh"
NeedBuilt relaycost "$BUILD" boxsim hostsim tracerelay
StartWork relaycost

# Load NAME WAY: one paced load, WAY "direct", "relay" or "hold"; prints
# boxsim's turnaround p50, or "failed REASON".
Load() {
    local name=$1 way=$2 box relay host rc p50
    local boxLink=$WORK/$name.box hostLink=$WORK/$name.box f=$WORK/$name.out
    Launch "$f" "$WORK/$name.err" '^boxsim: ready' "$BUILD/boxsim" --link "$boxLink" --pace --exit-after 1 \
        --out "$WORK/$name.bin" || { echo "failed boxsim-not-ready"; return; }
    box=$LAUNCHED
    if [ "$way" != direct ]; then
        hostLink=$WORK/$name.com
        Launch "$WORK/$name.relay" "$WORK/$name.relayerr" '^tracerelay: ready' "$BUILD/tracerelay" \
            --link "$hostLink" --device "$boxLink" --trace "$WORK/$name.trace" \
            --hold-us "$([ "$way" = hold ] && echo "$HOLD_US" || echo 0)" || { echo "failed tracerelay-not-ready"; return; }
        relay=$LAUNCHED
    fi
    Launch "$WORK/$name.host" "$WORK/$name.hosterr" '^hostsim: open' \
        timeout 120 "$BUILD/hostsim" --link "$hostLink" --image "$WORK/image.bin" --box-exits ||
        { echo "failed hostsim-not-open"; return; }
    host=$LAUNCHED
    kill -USR1 "$box"
    wait "$host"
    rc=$?
    WaitGone "$box"
    [ -n "${relay:-}" ] && WaitGone "$relay"
    [ "$rc" -eq 0 ] || { echo "failed hostsim-exit-$rc"; return; }
    grep -q "^boxsim: verdict=complete bytes=$BYTES " "$f" && cmp -s "$WORK/image.bin" "$WORK/$name.bin" ||
        { echo "failed not-complete"; return; }
    p50=$(sed -n 's/^boxsim: turnaround .* p50=\([0-9.]*\) .*/\1/p' "$f")
    echo "${p50:-failed no-turnaround-line}"
}

# Summary WAY: "MEDIAN MIN MAX" of the way's p50 figures.
Summary() {
    sort -n "$WORK/$1.p50" | awk '{ v[NR] = $1 }
        END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f %.3f", m, v[1], v[NR] }'
}

head -c "$BYTES" /dev/urandom > "$WORK/image.bin"
WAYS="direct relay hold"
for way in $WAYS; do : > "$WORK/$way.p50"; done
echo "relaycost: $RUNS runs a way of a $BYTES-byte paced load (hostsim to boxsim --pace), interleaved"
for run in $(seq "$RUNS"); do
    for way in $WAYS; do
        result=$(Load "$way-$run" "$way")
        echo "relaycost: run $run $way: turnaround p50 $result"
        [[ "$result" =~ ^[0-9.]+$ ]] && echo "$result" >> "$WORK/$way.p50"
    done
done
for way in $WAYS; do
    if [ "$(wc -l < "$WORK/$way.p50")" -lt 3 ]; then
        echo "relaycost: error: fewer than 3 good runs $way; no figures"
        exit 1
    fi
done
read -r direct directMin directMax <<< "$(Summary direct)"
read -r relay relayMin relayMax <<< "$(Summary relay)"
read -r hold holdMin holdMax <<< "$(Summary hold)"
echo "relaycost: boxsim's turnaround p50, ms: median [min-max] over the runs"
printf 'relaycost:   direct                    %.3f [%.3f-%.3f]\n' "$direct" "$directMin" "$directMax"
printf 'relaycost:   through the relay         %.3f [%.3f-%.3f]\n' "$relay" "$relayMin" "$relayMax"
printf 'relaycost:   relay, --hold-us %-4s     %.3f [%.3f-%.3f]\n' "$HOLD_US" "$hold" "$holdMin" "$holdMax"
awk -v d="$direct" -v r="$relay" -v h="$hold" -v us="$HOLD_US" 'BEGIN {
    expected = 2 * us / 1000
    seen = h - r
    printf "relaycost: relay - direct: %+.3f ms a turnaround (the relay cost, one chunk each way)\n", r - d
    verdict = "NOT as expected: these figures cannot show the relay cost"
    if (seen > expected / 2 && seen < expected * 2)
        verdict = "the method sees such a cost"
    printf "relaycost: calibration, held - relay: %+.3f ms, expected about %+.3f (%.3f ms a chunk, two chunk directions): %s\n",
        seen, expected, us / 1000, verdict
}'
