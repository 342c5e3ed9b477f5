#!/bin/bash
# The run command as a technician uses it: a wrong --device is refused before
# anything starts; then, on the test display, two ptys standing in for two
# USB adapters, one with a latency timer: two programs upload at once, each
# worked by real key presses only on its own COM port and left by its menu,
# both traced; then the latency timer's cases (set and put back after the
# programs were killed, not writable, already 1 ms, none) against a stand-in
# sysfs tree. Afterwards nothing it started or linked is left and the work
# tree is as it was.
# Usage: tests/run-command.sh BUILD   (DISPLAY set, wine on the PATH)
set -u
build="$(cd "${1:?build folder}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
export TESSEL_NO_SETUP=1 TESSEL_BUILD="$build" WINEPREFIX="$build/wineprefix-run" WINEDEBUG=-all
work="$(mktemp -d "$build/runcmd.XXXXXX")"
status=0
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "run_command: FAIL: $*"; status=1; }
treeBefore="$(git -C "$root" status --porcelain)"

# 1. A device that is missing, not a character device, or not open to the
# user. The closed device is a pty of this user's with its owner's read or
# write bit (or both) taken away. Root could open it all the same: it then
# runs the command as itself without the capabilities that override file
# modes, so that the check is met as a technician outside the device's group
# meets it, wherever the checkout lives.
socat pty,raw,echo=0,link="$work/locked" pty,raw,echo=0,link="$work/other" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/locked" ] && break; sleep 0.1; done
locked="$(readlink -f "$work/locked")"
asUser=""
chmod 0060 "$locked"
[ -w "$locked" ] && asUser="setpriv --inh-caps=-dac_override,-dac_read_search --bounding-set=-dac_override,-dac_read_search"
refused="cannot open $work/locked for reading and writing. Join its group"
rows=(
    "|$work/ttyUSB9|does not exist"
    "|$root/README.md|is not a serial device"
    "0060|$work/locked|$refused"
    "0460|$work/locked|$refused"
    "0260|$work/locked|$refused"
)
for row in "${rows[@]}"; do
    IFS='|' read -r mode device expected <<< "$row"
    prefix=""
    [ -n "$mode" ] && { chmod "$mode" "$locked"; prefix="$asUser"; }
    out="$($prefix bash "$root/tools/run-demo.sh" --device "$device" 2>&1)"
    code=$?
    [ "$code" = 2 ] || fail "--device $device ${mode:+(mode $mode)}: exit code $code, expected 2"
    grep -qF "$expected" <<< "$out" || fail "--device $device ${mode:+(mode $mode)}: said \"$out\", expected \"$expected\""
done
[ -e "$build/demo" ] && [ "$(find "$build/demo" -newer "$work" | head -1)" ] && fail "a refused device still started the demo"

# 2. The display mode against two ptys standing in for adapters, traced. The
# first has a latency timer of 16 ms in the stand-in sysfs tree, the second
# none (not that kind of chip).
export TESSEL_SYSFS="$work/sys"
# latencyTimer DEVICE [VALUE MODE]: the stand-in attribute's path; made with VALUE and MODE.
latencyTimer() {
    local folder="$TESSEL_SYSFS/class/tty/$(basename "$(readlink -f "$1")")/device"
    if [ $# -gt 1 ]; then
        mkdir -p "$folder"
        echo "$2" > "$folder/latency_timer"
        chmod "$3" "$folder/latency_timer"
    fi
    echo "$folder/latency_timer"
}
"$root/tests/wine-prefix.sh"
image="$(bash "$root/tools/mkimage.sh" 131072)"
imageFile="$WINEPREFIX/drive_c/users/$(id -un)/Temp/$(basename "${image//\\//}")"
boxPids=()
for n in 1 2; do
    "$build/native/boxsim" --pace --link "$work/ttyUSB$n" --out "$work/received$n.bin" > "$work/box$n.log" 2>&1 &
    boxPids+=($!)
    pids+=($!)
done
for _ in $(seq 50); do [ -e "$work/ttyUSB1" ] && [ -e "$work/ttyUSB2" ] && break; sleep 0.1; done
timer1="$(latencyTimer "$work/ttyUSB1" 16 0644)"
bash "$root/tools/run-demo.sh" --device "$work/ttyUSB1" --device "$work/ttyUSB2" --trace "$work/trace.txt" \
    > "$work/run.log" 2>&1 &
runPid=$!

title="Tessel Flash Programmer"
# programPids COUNT: the Linux process ids of the COUNT programs of this
# prefix, oldest first, once they all run.
programPids() {
    local pid found
    for _ in $(seq 300); do
        found=()
        for pid in $(pgrep -x TesselFlash.exe); do
            tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && found+=("$pid")
        done
        [ ${#found[@]} -ge "$1" ] && { printf '%s\n' "${found[@]}" | sort -n; return 0; }
        sleep 0.1
    done
    return 1
}
# waitLog FILE PATTERN: 0 once a line of the log matches PATTERN (grep -E);
# the bound only catches a hang.
waitLog() {
    local deadline=$((SECONDS + 60))
    until grep -qE "$2" "$1"; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}
# pages PROGRAM: the program's shown windows, "XWINDOW KIND [active]" a
# line, each known by its controls (tests/pagelist.cpp), not by the order X
# lists them; "active" marks the window that takes the keys.
pages() {
    local mine
    mine=" $(xdotool search --all --onlyvisible --pid "${programs[$1]}" 2>/dev/null | tr '\n' ' ') "
    wine "$build/pagelist.exe" 2>/dev/null | tr -d '\r' | while read -r id kind active; do
        case "$mine" in *" $id "*) echo "$id $kind $active" ;; esac
    done
}
# nextPage PROGRAM KIND: waits for a window of that kind not seen before and
# makes it the program's page; the bound only catches a hang.
declare -A seen page
nextPage() {
    local program="$1" kind="$2" id k
    local deadline=$((SECONDS + 60))
    while [ "$SECONDS" -lt "$deadline" ]; do
        while read -r id k _; do
            [ "$k" = "$kind" ] || continue
            case "${seen[$program]:- }" in *" $id "*) continue ;; esac
            seen[$program]="${seen[$program]:- }$id "
            page[$program]="$id"
            return 0
        done < <(pages "$program")
        sleep 0.1
    done
    return 1
}
# gone PROGRAM KIND: waits until the program shows no window of that kind.
gone() {
    local deadline=$((SECONDS + 60))
    while [ "$SECONDS" -lt "$deadline" ]; do
        pages "$1" | grep -q "^[0-9]* $2\b" || return 0
        sleep 0.1
    done
    return 1
}
# focus PROGRAM: the program's page takes the keyboard. With no window
# manager the X focus is given straight to the page's own window and
# checked; the program itself makes the page its active one only once it
# is clicked, as a technician picks one of two programs: the caption is
# clicked until the program says the page is active (a key sent before
# would reach the other program or nobody).
focus() {
    local program="$1" said X Y WIDTH HEIGHT SCREEN WINDOW
    said="$(timeout 60 xdotool windowfocus --sync "${page[$program]}" 2>&1)" ||
        { fail "program $program: its page ${page[$program]} did not take the X focus: ${said:-no answer in 60 s}"; return 1; }
    said="$(xdotool getwindowfocus 2>&1)"
    [ "$said" = "${page[$program]}" ] ||
        { fail "program $program: the X focus is at window $said, not at its page ${page[$program]}"; return 1; }
    eval "$(xdotool getwindowgeometry --shell "${page[$program]}")"
    local deadline=$((SECONDS + 60))
    while [ "$SECONDS" -lt "$deadline" ]; do
        pages "$program" | grep -q "^${page[$program]} .* active" && return 0
        # (no --sync: it waits for ever when the pointer is there already)
        xdotool windowraise "${page[$program]}" mousemove $((X + WIDTH / 2)) $((Y + 8)) click 1
    done
    fail "program $program: its page ${page[$program]} has the X focus but never became the program's active window"
    return 1
}
# keys PROGRAM KEYS...: the keys to the program's page.
keys() {
    focus "$1" || return 1
    shift
    xdotool key "$@"
}
# press PROGRAM KEYS... NEXT-NAME NEXT-KIND: the keys, then the program's
# next page is waited for, so that it does not open later and take the focus
# from the other program's page.
press() {
    local program="$1" name="${*: -2:1}" next="${*: -1}"
    keys "$program" "${@:2:$#-3}"
    nextPage "$program" "$next" || { fail "program $program: no $name page"; return 1; }
}
# Each program in turn is taken to its warning page, the other one waiting
# at a page that opens nothing by itself: program 1 picks COM1, the second
# COM2 (the port page's list, by Tab and Down). Then both uploads start.
uploadsOverlapped=0
drive() {
    local p
    for p in 1 2; do
        nextPage $p main && main[$p]="${page[$p]}" || { fail "program $p: no main window"; return 1; }
        nextPage $p welcome || { fail "program $p: no Welcome page"; return 1; }
    done
    local portKeys=(Return Tab\ Down\ Return)
    for p in 1 2; do
        press $p Return "port selection" port || return 1
        # shellcheck disable=SC2086
        press $p ${portKeys[$((p - 1))]} cable cable || return 1
        press $p Return disconnect disconnect || return 1
        press $p Return connect connect || return 1
        kill -USR1 "${boxPids[$((p - 1))]}"   # the box is plugged into the mains
        nextPage $p file || { fail "program $p: no file dialog"; return 1; }
        focus $p || return 1
        xdotool type --delay 10 "$image"
        xdotool key Return
        nextPage $p warning || { fail "program $p: no warning page"; return 1; }
    done
    # Escape is Continue there. The second upload starts once the first is
    # under way, with its progress page open: no page of the first program
    # opens by itself then until its upload ends, seconds later.
    press 1 Escape progress progress || return 1
    keys 2 Escape
    # Both boxes in their transfer at one moment: the uploads ran at once.
    for _ in $(seq 600); do
        if grep -q "event=length" "$work/box1.log" && grep -q "event=length" "$work/box2.log" &&
           ! grep -q "verdict=" "$work/box1.log" && ! grep -q "verdict=" "$work/box2.log"; then
            uploadsOverlapped=1
        fi
        grep -q "verdict=" "$work/box1.log" && grep -q "verdict=" "$work/box2.log" && break
        sleep 0.1
    done
    [ "$(cat "$timer1")" = 1 ] || fail "the latency timer is $(cat "$timer1") ms during the upload, 1 expected"
    # Each program now shows its completion page.
    for p in 1 2; do
        nextPage $p completed || { fail "program $p: no completion page"; return 1; }
        keys $p Return
    done
    # The page holds 2 s while the reboot command is typed; then Action, Exit.
    for p in 1 2; do
        gone $p completed || { fail "program $p: the completion page did not close"; return 1; }
        waitLog "$work/box$p.log" "text=boot"
        page[$p]="${main[$p]}"
        keys $p alt+a x
    done
}
declare -A main
# endsWithin PID SECONDS: 0 once the process ended (its exit code in
# ended), 1 if it still runs then.
endsWithin() {
    for _ in $(seq $(($2 * 10))); do
        kill -0 "$1" 2>/dev/null || { wait "$1"; ended=$?; return 0; }
        sleep 0.1
    done
    return 1
}
declare -A programs
if ids="$(programPids 2)"; then
    programs[1]="$(sed -n 1p <<< "$ids")" programs[2]="$(sed -n 2p <<< "$ids")"
    drive
else
    fail "the two programs did not start"
fi
[ "$status" = 0 ] || wineserver -k   # a page that never came: do not wait for a person
if ! endsWithin "$runPid" 20; then
    fail "the programs did not end by their menus (the screen: $build/run-command-failed.png)"
    import -window root "$build/run-command-failed.png" 2>/dev/null
    wineserver -k
    wait "$runPid"
    ended=$?
fi
[ "$ended" = 0 ] || fail "run-demo ended with $ended (program exit code 0 expected)"
[ "$uploadsOverlapped" = 1 ] || fail "the two uploads did not run at once"
for n in 1 2; do
    grep -qF "COM$n is $(readlink -f "$work/ttyUSB$n")." "$work/run.log" || fail "run-demo did not say which adapter COM$n is"
done
grep -qF "COM1: the latency timer of $(readlink -f "$work/ttyUSB1") is set from 16 ms to 1 ms while the program runs, then put back." \
    "$work/run.log" || fail "run-demo did not say it set the first adapter's latency timer"
grep -q "^COM2:" "$work/run.log" && fail "run-demo spoke of a latency timer the second adapter has not"
[ "$(cat "$timer1")" = 16 ] || fail "the latency timer is $(cat "$timer1") ms after the programs ended, 16 expected"
# The trace of each: the cable page's "s" (the box still off), the banner
# and its answer, both typed commands, the whole transfer, the reboot command.
. "$root/tools/trace/tracesteps.sh"
banner="$(sed -n 's/^#define BOOT_BANNER "\(.*\)"$/\1/p' "$root/upload/protocol.h")"
{ echo "P $(Hex s)"; echo "B $(Hex "\r\n$banner\r\n")"; echo "P $(Hex s)"; echo "P $(Hex '\r\rmon\r')"
  echo "P $(Hex '\r\rq\r')"; TransferSteps "$imageFile"; echo "P $(Hex '\r\rboot\r')"; } > "$work/steps"
traced=""
for n in 1 2; do
    grep -q "verdict=complete" "$work/box$n.log" || fail "box $n did not report a complete upload"
    cmp -s "$work/received$n.bin" "$imageFile" || fail "box $n received another image than the one chosen"
    # The box boots its new firmware once its banner's stop window has passed
    # unanswered, which may be after the program ended.
    waitLog "$work/box$n.log" "commands=.*boot|event=boot" || fail "box $n was not rebooted"
    result="$(TraceFollowsSteps "$work/trace.txt.com$n" "$work/steps")"
    [[ "$result" == ok:* ]] || fail "the trace of COM$n: $result"
    traced="$traced COM$n $result"
done

# 3. The latency timer's other cases, three adapters at once: writable (set,
# then put back although the programs are killed), not writable (the
# command to set it is printed with its cost), already 1 ms (nothing said).
socat pty,raw,echo=0,link="$work/ttyUSB3" pty,raw,echo=0,link="$work/ttyUSB4" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/ttyUSB3" ] && [ -e "$work/ttyUSB4" ] && break; sleep 0.1; done
chmod 0600 "$locked"
writable="$(latencyTimer "$work/locked" 16 0644)"
closed="$(latencyTimer "$work/ttyUSB3" 16 0444)"
already="$(latencyTimer "$work/ttyUSB4" 1 0644)"
$asUser bash "$root/tools/run-demo.sh" --device "$work/locked" --device "$work/ttyUSB3" --device "$work/ttyUSB4" \
    > "$work/latency.log" 2>&1 &
runPid=$!
if programPids 3 > /dev/null; then
    [ "$(cat "$writable")" = 1 ] || fail "a writable latency timer is $(cat "$writable") ms while the programs run, 1 expected"
else
    fail "the three programs did not start"
fi
wineserver -k   # the programs end abnormally
wait "$runPid"
code=$?
[ "$(cat "$writable")" = 16 ] || fail "the latency timer was not put back after the programs were killed: $(cat "$writable")"
[ "$(cat "$closed")" = 16 ] && [ "$(cat "$already")" = 1 ] || fail "a timer that was not to be set changed"
grep -qF "COM1: the latency timer of $locked is set from 16 ms to 1 ms" "$work/latency.log" ||
    fail "run-demo did not say it set the writable timer"
grep -qF "COM2: $(readlink -f "$work/ttyUSB3") holds what the box sends for up to 16 ms (its latency timer), about 12 s more on a 2 MiB image than at 1 ms. To set it to 1 ms (until the adapter is plugged in again): echo 1 | sudo tee $closed" \
    "$work/latency.log" || fail "run-demo did not give the command for a timer it may not write"
grep -q "^COM3:" "$work/latency.log" && fail "run-demo spoke of a timer already at 1 ms"

# 4. Nothing left behind.
for n in 1 2 3; do [ -e "$WINEPREFIX/dosdevices/com$n" ] && fail "COM$n is still linked"; done
pgrep -f "tracerelay --link $WINEPREFIX" > /dev/null && fail "the relay still runs"
[ "$(git -C "$root" status --porcelain)" = "$treeBefore" ] || fail "the work tree changed"
if [ "$status" != 0 ]; then
    echo "---- run-demo output"; cat "$work/run.log"
    echo "---- run-demo output, latency cases"; cat "$work/latency.log"
    for n in 1 2; do echo "---- box $n log"; tail -20 "$work/box$n.log"; done
fi
[ "$status" = 0 ] && echo "run_command: device refusals, two keyboard uploads at once through two --device with --trace ($traced), latency timers set, put back, advised, left alone, clean tree: passed"
exit $status
