#!/bin/bash
# The run command: installs what is missing, builds, puts the box simulator on
# a pty mapped to COM1 and runs the program under Wine against it.
#  - DISPLAY set: the program opens on your display. Choose COM1, follow the
#    pages (the simulated box powers itself on every few seconds) and give the
#    file dialog the image path this script prints. Close the program to end.
#  - no DISPLAY: under Xvfb the whole happy path is driven by itself, every
#    page is saved as a PNG in docs/screens/, and the box's verdict is printed.
# Nothing it started is left running when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
tessel_prepare imagemagick
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
boxPid=""
cleanup() {
    [ -n "$boxPid" ] && kill "$boxPid" 2>/dev/null && wait "$boxPid" 2>/dev/null
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

verdict() {
    grep -h "verdict=" "$1" || echo "boxsim: no upload reached the box"
}

if [ -n "${DISPLAY:-}" ]; then
    tests/wine-prefix.sh
    image="$(wine "$build/flashdrive.exe" image 262144 | tr -d '\r')"
    "$build/native/boxsim" --link "$WINEPREFIX/dosdevices/com1" --out "$demo/received.bin" \
        --autoboot 4 --pace > "$demo/box.log" 2>&1 &
    boxPid=$!
    echo "The simulated box is on COM1. In the file dialog give it: $image"
    wine "$build/TesselFlash.exe" || true
    kill "$boxPid" 2>/dev/null && wait "$boxPid" 2>/dev/null
    boxPid=""
    verdict "$demo/box.log"
    exit 0
fi

# No display: the happy path of the program's own GUI test, on COM1.
status=0
TESSEL_SHOTS="$demo" TESSEL_COM_INDEX=0 TESSEL_BOX_PORT=com1 TESSEL_BOX_LOG="$demo/box.log" \
    tessel_xvfb tests/with-ports.sh "$build/app_tests.exe" --gtest_brief=1 --gtest_filter='AppTest.HappyPath*' \
    2>&1 | grep -v "Read access denied" || status=$?
mkdir -p docs/screens
cp "$demo"/*.png docs/screens/ 2>/dev/null || true
echo "screens: $(ls docs/screens | tr '\n' ' ')"
[ -f "$demo/box.log" ] && verdict "$demo/box.log"
exit $status
