#!/bin/bash
# The run command: installs what is missing, builds, and runs the program
# under Wine with its COM1 on the box simulator or on a real serial device.
#   bash tools/run-demo.sh [--device DEV] [--trace FILE] [--screens]
#  - DISPLAY set: the program opens on your display. Keep COM1, follow the
#    pages and close the program to end. Against the simulator (the default)
#    the box powers itself on every four seconds; give the file dialog the
#    image path printed here. --device DEV (e.g. /dev/ttyUSB0) puts COM1 on
#    that adapter instead. --trace FILE records both directions of COM1.
#  - no DISPLAY: under Xvfb the whole happy path is driven by itself against
#    the simulator, every page is saved as a PNG in build/demo/screens/
#    (--screens: also into docs/screens/), and the box's verdict is printed.
# Nothing it started or linked is left behind when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/serial-device.sh

usage() {
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
}

device="" trace="" screens=0
while [ $# -gt 0 ]; do
    case "$1" in
        --device) [ $# -ge 2 ] || { echo "run-demo: --device needs a path" >&2; exit 2; }; device="$2"; shift 2 ;;
        --trace) [ $# -ge 2 ] || { echo "run-demo: --trace needs a file" >&2; exit 2; }; trace="$2"; shift 2 ;;
        --screens) screens=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "run-demo: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
# Every check before anything is installed, built or started.
if [ -n "$device$trace" ] && [ -z "${DISPLAY:-}" ]; then
    echo "run-demo: --device and --trace need a display (DISPLAY is not set): the program is worked by hand." >&2
    exit 2
fi
if [ -n "$device" ]; then
    tessel_check_device "$device" || exit 2
    device="$(readlink -f "$device")"
fi
if [ -n "$trace" ]; then
    : > "$trace" 2>/dev/null || { echo "run-demo: cannot write the trace file $trace" >&2; exit 2; }
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
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
com1="$WINEPREFIX/dosdevices/com1"
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # COM1 goes only if it is still the link made here.
    [ -L "$com1" ] && [ "$(readlink "$com1")" = "${com1Target:-}" ] && rm -f "$com1"
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

verdict() {
    grep -h "verdict=" "$1" || echo "boxsim: no upload reached the box"
}

if [ -n "${DISPLAY:-}" ]; then
    tests/wine-prefix.sh
    if [ -n "$device" ]; then
        line="$device"
    else
        line="$demo/box-link"
        "$build/native/boxsim" --link "$line" --out "$demo/received.bin" --autoboot 4 --pace > "$demo/box.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 50); do [ -e "$line" ] && break; sleep 0.1; done
        image="$(bash tools/mkimage.sh 262144)"
        echo "The simulated box is on COM1. In the file dialog give it: $image"
    fi
    if [ -n "$trace" ]; then
        # The relay owns COM1's link: it makes its own pty there.
        "$build/native/tracerelay" --link "$com1" --device "$line" --trace "$trace" > "$demo/relay.out" 2> "$demo/relay.err" &
        pids+=($!)
        for _ in $(seq 50); do grep -q "ready" "$demo/relay.out" 2>/dev/null && break; sleep 0.1; done
        grep -q "ready" "$demo/relay.out" || { cat "$demo/relay.err" >&2; exit 1; }
        echo "Tracing COM1 into $trace"
    else
        com1Target="$line"
        ln -sfn "$com1Target" "$com1"
    fi
    echo "COM1 is ${device:-the simulated box}."
    set +e
    wine "$build/TesselFlash.exe" 2>&1 | grep -v "Read access denied"
    code=${PIPESTATUS[0]}
    set -e
    [ -z "$device" ] && verdict "$demo/box.log"
    echo "TesselFlash.exe ended with exit code $code"
    exit "$code"
fi

# No display: the happy path of the program's own GUI test, on COM1.
status=0
mkdir -p "$demo/screens"
TESSEL_SHOTS="$demo/screens" TESSEL_COM_INDEX=0 TESSEL_BOX_PORT=com1 TESSEL_BOX_LOG="$demo/box.log" \
    tessel_xvfb tests/with-ports.sh "$build/app_tests.exe" --gtest_brief=1 --gtest_filter='AppTest.HappyPath*' \
    2>&1 | grep -v "Read access denied" || status=$?
echo "screens: $demo/screens/ $(ls "$demo/screens" | tr '\n' ' ')"
if [ "$screens" = 1 ]; then
    mkdir -p docs/screens
    cp "$demo"/screens/*.png docs/screens/
    echo "copied into docs/screens/"
fi
[ -f "$demo/box.log" ] && verdict "$demo/box.log"
exit $status
