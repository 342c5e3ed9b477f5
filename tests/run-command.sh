#!/bin/bash
# The run command as a technician uses it: a wrong --device is refused before
# anything starts; then, on the test display, a whole upload through a pty
# standing in for a USB adapter, with the traffic traced, worked by real key
# presses only, the program left by its menu. Afterwards nothing it started
# or linked is left and the work tree is as it was.
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

# 2. The display mode against a pty standing in for the adapter, traced.
"$root/tests/wine-prefix.sh"
image="$(bash "$root/tools/mkimage.sh" 5000)"
imageFile="$WINEPREFIX/drive_c/users/$(id -un)/Temp/$(basename "${image//\\//}")"
"$build/native/boxsim" --link "$work/ttyUSB0" --out "$work/received.bin" > "$work/box.log" 2>&1 &
boxPid=$!
pids+=($boxPid)
for _ in $(seq 50); do [ -e "$work/ttyUSB0" ] && break; sleep 0.1; done
bash "$root/tools/run-demo.sh" --device "$work/ttyUSB0" --trace "$work/trace.txt" > "$work/run.log" 2>&1 &
runPid=$!

# Waits for a page not seen before (a new top-level window of the program)
# and prints its id; the file dialog is the one titled "Open".
seen=" "
nextPage() {
    local title="$1" id
    for _ in $(seq 300); do
        for id in $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null); do
            case "$seen" in *" $id "*) continue ;; esac
            seen="$seen$id "
            sleep 0.3   # let it take the focus before the key
            echo "$id"
            return 0
        done
        sleep 0.1
    done
    return 1
}
title="Tessel Flash Programmer"
press() {   # PAGE-NAME TITLE KEYS...
    local name="$1" page="$2"
    shift 2
    nextPage "$page" > /dev/null || { fail "no $name page"; return 1; }
    [ $# -gt 0 ] && xdotool key "$@"
    return 0
}
drive() {
    main="$(nextPage "$title")" || { fail "no main window"; return; }
    xdotool windowfocus --sync "$main"
    press Welcome "$title" Return &&
    press "port selection" "$title" Return &&
    press cable "$title" Return &&
    press disconnect "$title" Return &&
    press connect "$title" &&
    kill -USR1 "$boxPid" &&   # the box is plugged into the mains
    nextPage Open > /dev/null || { fail "no file dialog"; return; }
    xdotool type --delay 10 "$image"
    xdotool key Return
    press warning "$title" Escape || return   # Escape is Continue there
    # The progress page of a small image may come and go unseen: the
    # completion page is the first new page once the box has it all.
    for _ in $(seq 300); do grep -q "verdict=" "$work/box.log" && break; sleep 0.1; done
    sleep 0.5
    seen="$seen$(xdotool search --onlyvisible --name "^$title\$" | tr '\n' ' ')"
    press completion "$title" Return || return
    # The page holds 2 s while the reboot command is typed; then Action, Exit.
    sleep 4
    xdotool key alt+a x
}
drive
[ "$status" = 0 ] || wineserver -k   # a page that never came: do not wait for a person
wait "$runPid"
code=$?
[ "$code" = 0 ] || fail "run-demo ended with $code (program exit code 0 expected)"
grep -q "verdict=complete" "$work/box.log" || fail "the box did not report a complete upload"
cmp -s "$work/received.bin" "$imageFile" || fail "the box received another image than the one chosen"
grep -q "commands=.*boot" "$work/box.log" || grep -q "event=boot" "$work/box.log" || fail "the box was not rebooted"
# The trace: the cable page's "s" (the box still off), the banner and its
# answer, both typed commands, the whole transfer, the reboot command.
. "$root/tools/trace/tracesteps.sh"
banner="$(sed -n 's/^#define BOOT_BANNER "\(.*\)"$/\1/p' "$root/upload/banner.h")"
{ echo "P $(Hex s)"; echo "B $(Hex "\r\n$banner\r\n")"; echo "P $(Hex s)"; echo "P $(Hex '\r\rmon\r')"
  echo "P $(Hex '\r\rq\r')"; TransferSteps "$imageFile"; echo "P $(Hex '\r\rboot\r')"; } > "$work/steps"
traced="$(TraceFollowsSteps "$work/trace.txt" "$work/steps")"
[[ "$traced" == ok:* ]] || fail "the trace: $traced"

# 3. Nothing left behind.
[ -e "$WINEPREFIX/dosdevices/com1" ] && fail "COM1 is still linked"
pgrep -f "tracerelay --link $WINEPREFIX" > /dev/null && fail "the relay still runs"
[ "$(git -C "$root" status --porcelain)" = "$treeBefore" ] || fail "the work tree changed"
if [ "$status" != 0 ]; then
    echo "---- run-demo output"; cat "$work/run.log"
    echo "---- box log"; tail -20 "$work/box.log"
fi
[ "$status" = 0 ] && echo "run_command: device refusals, keyboard upload through --device with --trace ($traced), clean tree: passed"
exit $status
