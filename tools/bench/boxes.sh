#!/bin/bash
# A production line on one PC: N programs at once, each uploading the same
# SIZE-byte image to a paced box of its own on COM1..COMN (one driver and
# one box simulator each, one Wine server for all). One line a program, then
# one for the N together: the wall time from the first start to the last end,
# the programs' CPU seconds together and as a share of one core over that
# time, and the Wine server's.
# Usage: tools/bench/boxes.sh N SIZE ROUND   (inside tessel_xvfb, after tessel_prepare)
set -u
build="${TESSEL_BUILD:?}"
count="${1:?N}" size="${2:?SIZE}" round="${3:-1}"
[ "$count" -ge 1 ] && [ "$count" -le 8 ] || { echo "boxes: N from 1 to 8 (COM1 to COM8)" >&2; exit 2; }
work="$(mktemp -d "$build/boxes.XXXXXX")"
trap 'rm -rf "$work"' EXIT
quiet() { grep -v -e "Read access denied" -e "X connection" || true; }
# sample NAME: every process of this prefix so named, "PID TICKS" (its
# utime + stime), for the last reading of each to be summed at the end.
sample() {
    local pid
    for pid in $(pgrep -x "$1"); do
        tr '\0' '\n' 2>/dev/null < "/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" &&
            awk -v pid="$pid" '{ print pid, $14 + $15 }' "/proc/$pid/stat" 2>/dev/null
    done
}
# lastSum FILE: the sum over the processes of their last reading, in seconds.
lastSum() { awk -v hz="$(getconf CLK_TCK)" '{ last[$1] = $2 } END { for (p in last) s += last[p]; printf "%.2f", s / hz }' "$1"; }
tests/wine-prefix.sh
: > "$work/programs" > "$work/drivers" > "$work/server"
started="$(date +%s.%N)"
runs=()
for n in $(seq "$count"); do
    TESSEL_BOX_PORT="com$n" TESSEL_COM_INDEX=$((n - 1)) \
        tests/with-ports.sh "$build/flashdrive.exe" upload "$size" > "$work/$n.out" 2>&1 &
    runs+=($!)
done
# Each reading is at most half a second old when its process ends: what
# the programs spend in their last half second (closing) is not counted.
while kill -0 "${runs[@]}" 2>/dev/null; do
    sample TesselFlash.exe >> "$work/programs"
    sample flashdrive.exe >> "$work/drivers"
    sample 'wineserver|wineserver64' >> "$work/server"
    sleep 0.5
done
wait
ended="$(date +%s.%N)"
for n in $(seq "$count"); do
    quiet < "$work/$n.out" | grep '^program ' | tr -d '\r' | sed "s/^/round=$round boxes=$count box=$n /"
done
# The server ran before the programs: only what it spent between the first
# reading and the last counts.
server="$(awk -v hz="$(getconf CLK_TCK)" 'NR == 1 { first = $2 } { last = $2 } END { printf "%.2f", (last - first) / hz }' "$work/server")"
awk -v n="$count" -v round="$round" -v started="$started" -v ended="$ended" -v programs="$(lastSum "$work/programs")" \
    -v drivers="$(lastSum "$work/drivers")" -v server="$server" -v ok="$(cat "$work"/*.out | grep -c 'result=identical')" '
    BEGIN { wall = ended - started
            printf "boxes round=%s n=%d identical=%d wall_s=%.1f program_cpu_s=%.2f program_cpu=%.1f%% server_cpu=%.1f%% driver_cpu=%.1f%%\n",
                   round, n, ok, wall, programs, 100 * programs / wall, 100 * server / wall, 100 * drivers / wall }'
