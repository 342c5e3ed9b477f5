#!/bin/bash
# Runs one Windows test program with serial ports mapped in its Wine prefix:
#   COM5 <-> COM6   a pty pair made by socat (the program's end and a box end)
#   COM7            the box simulator's own pty; its commands are read from
#                   $TESSEL_BOX_DIR/commands, its output goes to .../log
# Everything started here is stopped when the program ends.
set -u
build="${TESSEL_BUILD:?}"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG=-all
here="$(cd "$(dirname "$0")" && pwd)"
boxsim="$build/native/boxsim"
run="$(mktemp -d "$build/ports.XXXXXX")"
export TESSEL_BOX_DIR="$run"
pids=()
cleanup() {
    pkill -P $$ 2>/dev/null
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6" "$WINEPREFIX/dosdevices/com7"
    rm -rf "$run"
}
trap cleanup EXIT

"$here/wine-prefix.sh"

socat pty,raw,echo=0,link="$run/a" pty,raw,echo=0,link="$run/b" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$run/a" ] && [ -e "$run/b" ] && break; sleep 0.1; done
ln -sfn "$(readlink -f "$run/a")" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$(readlink -f "$run/b")" "$WINEPREFIX/dosdevices/com6"

if [ -x "$boxsim" ]; then
    : > "$run/commands"
    tail -n +1 -f "$run/commands" | "$boxsim" --link "$WINEPREFIX/dosdevices/com7" --out "$run/received.bin" ${TESSEL_BOX_OPTIONS:-} > "$run/log" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do grep -q "ready" "$run/log" 2>/dev/null && break; sleep 0.1; done
fi

"$here/wine-run.sh" "$@"
