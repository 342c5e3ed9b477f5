#!/bin/bash
# Runs one Windows test program with serial ports in its Wine prefix: COM5
# and COM6 a socat pty pair (the program's end, a box end); COM7 (or
# $TESSEL_BOX_PORT) the box simulator's pty, fed from $TESSEL_BOX_DIR/commands,
# logging to .../log (kept in $TESSEL_BOX_LOG if set). All stops with the program.
set -u
build="${TESSEL_BUILD:?}"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG=-all
here="$(cd "$(dirname "$0")" && pwd)"
boxsim="$build/native/boxsim"
boxPort="${TESSEL_BOX_PORT:-com7}"
run="$(mktemp -d "$build/ports.XXXXXX")"
export TESSEL_BOX_DIR="$run"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${TESSEL_BOX_LOG:-}" ] && [ -f "$run/log" ] && cp "$run/log" "$TESSEL_BOX_LOG"
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6" "$WINEPREFIX/dosdevices/$boxPort"
    rm -rf "$run"
}
trap cleanup EXIT

"$here/wine-prefix.sh"

socat pty,raw,echo=0,link="$run/a" pty,raw,echo=0,link="$run/b" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$run/a" ] && [ -e "$run/b" ] && break; sleep 0.1; done
ln -sfn "$(readlink -f "$run/a")" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$(readlink -f "$run/b")" "$WINEPREFIX/dosdevices/com6"

# The box simulator runs on demand: a test writes its options to box.start
# (the simulator is started afresh with them) or creates box.stop.
startBox() {
    stopBox
    : > "$run/commands"; : > "$run/log"; rm -f "$run/received.bin"
    bash -c 'tail -n +1 -f "$1/commands" | "$2" --link "$3" --out "$1/received.bin" $4 >> "$1/log" 2>&1' \
        _ "$run" "$boxsim" "$WINEPREFIX/dosdevices/$boxPort" "$1" &
    boxShell=$!
}
stopBox() {
    if [ -n "${boxShell:-}" ]; then
        pkill -P "$boxShell" 2>/dev/null
        wait "$boxShell" 2>/dev/null
        boxShell=""
    fi
}
superviseBox() {
    trap 'stopBox; exit 0' TERM
    while :; do
        if [ -f "$run/box.start" ]; then
            options="$(cat "$run/box.start")"
            rm -f "$run/box.start"
            startBox "$options"
        fi
        [ -f "$run/box.stop" ] && rm -f "$run/box.stop" && stopBox
        sleep 0.05
    done
}
if [ -x "$boxsim" ]; then
    superviseBox &
    pids+=($!)
fi

"$here/wine-run.sh" "$@"
