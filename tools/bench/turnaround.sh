#!/bin/bash
# The turnaround rounds: for each of ROUNDS rounds and each box, a paced
# 512 KiB upload by the real program under Wine to "boxsim --pace", and beside
# it the same box loaded by the native hostsim, which answers at once: the
# box's own ceiling in the same round. Boxes: "quiet" sends nothing but its
# two acks, each in a write of its own the moment the line is free for it;
# "stray" sends one stray byte between them. One line a run with the share
# of the line and the box's turnarounds (its second ack on the line to the
# next block's first byte): p50, p90, p99, max, mean in ms. Asserts nothing.
# Usage: tools/bench/turnaround.sh ROUNDS   (inside tessel_xvfb, after tessel_prepare;
#        about 50 s a run, four runs a round)
set -u
build="${TESSEL_BUILD:?}"
rounds="${1:-10}"
size="${TURNAROUND_BYTES:-524288}"
LINE_RATE=11520
. "$(dirname "$0")/../line/children.sh"
NeedBuilt turnaround "$build/native" boxsim hostsim
StartWork turnaround
head -c "$size" /dev/urandom > "$WORK/image.bin"
quiet() { grep -v -e "Read access denied" -e "X connection" || true; }

# Field FILE LINE-PREFIX KEY: the value of KEY= on the first line starting so.
Field() {
    grep -m1 "^$2" "$1" 2>/dev/null | sed -n "s/.* $3=\([^ ]*\).*/\1/p"
}

# Reference ROUND BOX OPTIONS...: hostsim loads the box, both given OPTIONS;
# one "reference" line.
Reference() {
    local round=$1 box=$2 f=$WORK/ref.out link=$WORK/ref.com t="boxsim: turnaround"
    shift 2
    Launch "$f" "$WORK/ref.err" '^boxsim: ready' "$build/native/boxsim" --link "$link" --pace --exit-after 1 "$@" ||
        { echo "round=$round reference box=$box result=boxsim-not-ready"; return; }
    local sim=$LAUNCHED
    timeout 120 "$build/native/hostsim" --link "$link" --image "$WORK/image.bin" --box-exits "$@" \
        > "$WORK/host.out" 2> "$WORK/host.err" &
    local host=$!
    Started "$host"
    WaitForLine "$WORK/host.out" '^hostsim: open' || { echo "round=$round reference box=$box result=hostsim-not-open"; return; }
    kill -USR1 "$sim"
    wait "$host" || { echo "round=$round reference box=$box result=hostsim-failed: $(tail -n 1 "$WORK/host.err")"; return; }
    WaitGone "$sim"
    local us
    us=$(Field "$f" "$t" data_us)
    awk -v round="$round" -v box="$box" -v us="$us" -v size="$size" -v rate="$LINE_RATE" \
        -v p50="$(Field "$f" "$t" p50)" -v p90="$(Field "$f" "$t" p90)" -v p99="$(Field "$f" "$t" p99)" \
        -v max="$(Field "$f" "$t" max)" -v mean="$(Field "$f" "$t" mean)" 'BEGIN {
        printf "round=%s reference box=%s line=%.3f p50=%s p90=%s p99=%s max=%s mean=%s\n",
               round, box, (us > 0 ? 100 * size / (us / 1e6) / rate : 0), p50, p90, p99, max, mean }'
}

for round in $(seq "$rounds"); do
    for box in quiet stray; do
        option=()
        [ "$box" = stray ] && option=(--stray-between)
        Reference "$round" "$box" "${option[@]}"
        tests/with-ports.sh "$build/flashdrive.exe" upload "$size" "${option[@]}" 2>&1 | quiet \
            | grep '^program ' | tr -d '\r' | sed "s/^program /round=$round program box=$box /"
    done
done
