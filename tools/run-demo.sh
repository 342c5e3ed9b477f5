#!/bin/bash
# The run command: installs what is missing, builds, and runs the program
# under Wine with its COM1 on the box simulator or on a real serial device.
#   bash tools/run-demo.sh [--device DEV]... [--trace FILE] [--screens] [--dpi N]
#  - DISPLAY set: the program opens on your display. Keep COM1, follow the
#    pages and close the program to end. Against the simulator (the default)
#    the box powers itself on every four seconds; give the file dialog the
#    image path printed here. --device DEV (e.g. /dev/ttyUSB0) puts COM1 on
#    that adapter instead; given again, the next adapter is COM2, and so on
#    up to COM8, with one program started for each (pick its COM port on the
#    port page). An adapter's latency timer is set to 1 ms while they run.
#    --trace FILE records both directions of COM1 (several adapters:
#    FILE.com1, FILE.com2, ...).
#  - no DISPLAY: under Xvfb the whole happy path is driven by itself against
#    the simulator, every page is saved as a PNG in build/demo/screens/
#    (--screens: also into docs/screens/), and the box's verdict is printed.
#  - --dpi N (e.g. 144, Windows' 150 % scaling): the display's DPI, in a Wine
#    prefix of its own (the tests' keeps 96); --screens then copies the pages
#    into docs/screens/Ndpi/.
# Nothing it started or linked is left behind when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/serial-device.sh
. tools/latency-timer.sh

usage() {
    sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
}

devices=() trace="" screens=0 dpi=""
while [ $# -gt 0 ]; do
    case "$1" in
        --device) [ $# -ge 2 ] || { echo "run-demo: --device needs a path" >&2; exit 2; }; devices+=("$2"); shift 2 ;;
        --trace) [ $# -ge 2 ] || { echo "run-demo: --trace needs a file" >&2; exit 2; }; trace="$2"; shift 2 ;;
        --screens) screens=1; shift ;;
        --dpi) [[ "${2:-}" =~ ^[1-9][0-9]{1,2}$ ]] || { echo "run-demo: --dpi needs a number of dots per inch (96 to 999)" >&2; exit 2; }; dpi="$2"; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "run-demo: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
# Every check before anything is installed, built or started.
if [ -n "${devices[*]}$trace" ] && [ -z "${DISPLAY:-}" ]; then
    echo "run-demo: --device and --trace need a display (DISPLAY is not set): the program is worked by hand." >&2
    exit 2
fi
if [ ${#devices[@]} -gt 8 ]; then
    echo "run-demo: at most 8 adapters (COM1 to COM8 on the port page), ${#devices[@]} given." >&2
    exit 2
fi
for i in "${!devices[@]}"; do
    tessel_check_device "${devices[$i]}" || exit 2
    devices[$i]="$(readlink -f "${devices[$i]}")"
    for ((k = 0; k < i; k++)); do
        if [ "${devices[$k]}" = "${devices[$i]}" ]; then
            echo "run-demo: ${devices[$i]} is given twice: one program per adapter." >&2
            exit 2
        fi
    done
done
# One program for each adapter, one for the simulator.
programCount=$(( ${#devices[@]} > 0 ? ${#devices[@]} : 1 ))
# traceFile N: the trace of COMn.
traceFile() {
    if [ ${#devices[@]} -gt 1 ]; then echo "$trace.com$1"; else echo "$trace"; fi
}
if [ -n "$trace" ]; then
    for ((n = 1; n <= programCount; n++)); do
        : > "$(traceFile $n)" 2>/dev/null || { echo "run-demo: cannot write the trace file $(traceFile $n)" >&2; exit 2; }
    done
    trace="$(readlink -f "$trace")"
fi

# The tests run this script inside their own set-up: TESSEL_NO_SETUP=1 takes
# the build and the Wine prefix from the environment.
. tools/setup.sh
if [ "${TESSEL_NO_SETUP:-}" = 1 ]; then
    build="${TESSEL_BUILD:?}"
    export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG=-all
else
    tessel_prepare imagemagick
fi
[ -n "$dpi" ] && export WINEPREFIX="$build/wineprefix-dpi$dpi"
# setDpi: the display's DPI for every program started afterwards in the prefix
# (Wine 8 reads HKCU\Control Panel\Desktop LogPixels when a process starts).
setDpi() {
    [ -n "$dpi" ] || return 0
    "$@" wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
pids=()
links=()     # "LINK TARGET" for each COM port linked here
cleanup() {
    local p entry
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # A COM port goes only if it is still the link made here.
    for entry in "${links[@]}"; do
        [ -L "${entry%% *}" ] && [ "$(readlink "${entry%% *}")" = "${entry#* }" ] && rm -f "${entry%% *}"
    done
    tessel_restore_latency
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

verdict() {
    grep -h "verdict=" "$1" || echo "boxsim: no upload reached the box"
}

# linkPort N LINE: COMn is LINE, through the trace relay with --trace (it
# makes its own pty there).
linkPort() {
    local n="$1" line="$2" com="$WINEPREFIX/dosdevices/com$1" file
    if [ -n "$trace" ]; then
        file="$(traceFile "$n")"
        "$build/native/tracerelay" --link "$com" --device "$line" --trace "$file" > "$demo/relay$n.out" 2> "$demo/relay$n.err" &
        pids+=($!)
        for _ in $(seq 50); do grep -q "ready" "$demo/relay$n.out" 2>/dev/null && break; sleep 0.1; done
        grep -q "ready" "$demo/relay$n.out" || { cat "$demo/relay$n.err" >&2; exit 1; }
        echo "Tracing COM$n into $file"
    else
        links+=("$com $line")
        ln -sfn "$line" "$com"
    fi
}

if [ -n "${DISPLAY:-}" ]; then
    tests/wine-prefix.sh
    if [ -n "$dpi" ]; then
        setDpi
        tests/wine-prefix.sh
    fi
    if [ ${#devices[@]} -gt 0 ]; then
        for i in "${!devices[@]}"; do
            linkPort $((i + 1)) "${devices[$i]}"
            echo "COM$((i + 1)) is ${devices[$i]}."
            tessel_tune_latency "COM$((i + 1))" "${devices[$i]}"
        done
        [ ${#devices[@]} -gt 1 ] && echo "One program for each: pick its COM port on its port page."
    else
        line="$demo/box-link"
        "$build/native/boxsim" --link "$line" --out "$demo/received.bin" --autoboot 4 --pace > "$demo/box.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 50); do [ -e "$line" ] && break; sleep 0.1; done
        image="$(bash tools/mkimage.sh 262144)"
        echo "The simulated box is on COM1. In the file dialog give it: $image"
        linkPort 1 "$line"
        echo "COM1 is the simulated box."
    fi
    programs=()
    for ((n = 1; n <= programCount; n++)); do
        ( set +e; wine "$build/TesselFlash.exe" 2>&1 | grep -v "Read access denied"; exit "${PIPESTATUS[0]}" ) &
        programs+=($!)
    done
    code=0
    for n in "${!programs[@]}"; do
        set +e
        wait "${programs[$n]}"
        ended=$?
        set -e
        [ "$code" = 0 ] && code=$ended
        if [ ${#programs[@]} -gt 1 ]; then
            echo "TesselFlash.exe $((n + 1)) of ${#programs[@]} ended with exit code $ended"
        fi
    done
    [ ${#devices[@]} = 0 ] && verdict "$demo/box.log"
    [ ${#programs[@]} = 1 ] && echo "TesselFlash.exe ended with exit code $code"
    exit "$code"
fi

# No display: the happy path of the program's own GUI test, on COM1.
setDpi tessel_xvfb
status=0
mkdir -p "$demo/screens"
TESSEL_SHOTS="$demo/screens" TESSEL_COM_INDEX=0 TESSEL_BOX_PORT=com1 TESSEL_BOX_LOG="$demo/box.log" \
    tessel_xvfb tests/with-ports.sh "$build/app_tests.exe" --gtest_brief=1 --gtest_filter='AppTest.HappyPath*' \
    2>&1 | grep -v "Read access denied" || status=$?
echo "screens: $demo/screens/ $(ls "$demo/screens" | tr '\n' ' ')"
if [ "$screens" = 1 ]; then
    shots="docs/screens${dpi:+/${dpi}dpi}"
    mkdir -p "$shots"
    cp "$demo"/screens/*.png "$shots/"
    echo "copied into $shots/"
fi
[ -f "$demo/box.log" ] && verdict "$demo/box.log"
exit $status
