#!/usr/bin/env bash
# Self-test of the box simulator: runs boxsim on a pty link and drives it
# with hostsim, which checks every byte the box sends, through a normal load,
# each injected fault, the monitor commands, reconnects and the ways boxsim
# is told to stop. Two scenarios run through the trace relay, whose trace
# must show the whole exchange in order. Data rates are printed as figures,
# never asserted.
# usage: tools/boxsim/selftest.sh [BUILD_DIR]    (default: build/native)
# Build first: cmake -S tools -B build/native && cmake --build build/native
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build/native}
BOXSIM=$BUILD/boxsim
HOSTSIM=$BUILD/hostsim
RELAY=$BUILD/tracerelay
. "$ROOT/tools/line/children.sh"
. "$ROOT/tools/trace/tracesteps.sh"
NeedBuilt selftest "$BUILD" boxsim hostsim tracerelay
StartWork selftest
LINK=$WORK/com1
BOX_LINK=$LINK      # boxsim's link: $LINK, or behind the relay $WORK/box.dev
BOX_PID=
RELAY_PID=
FAILS=0
CHECKS=0

Fail() { echo "selftest: FAIL: $*"; FAILS=$((FAILS + 1)); CHECKS=$((CHECKS + 1)); }
Pass() { echo "selftest: ok: $*"; CHECKS=$((CHECKS + 1)); }

# StartBox NAME [boxsim options]: boxsim on $BOX_LINK, stdout in $WORK/NAME.box.
StartBox() {
    local name=$1 rc
    shift
    Launch "$WORK/$name.box" "$WORK/$name.boxerr" '^boxsim: ready pty=/dev/pts/[0-9]+$' "$BOXSIM" --link "$BOX_LINK" "$@"
    rc=$?
    BOX_PID=$LAUNCHED
    [ "$rc" -eq 0 ] || { Fail "$name: boxsim did not get ready: $(cat "$WORK/$name.boxerr")"; return 1; }
    [ -L "$BOX_LINK" ] || { Fail "$name: $BOX_LINK is not a symlink after ready"; return 1; }
    return 0
}

# StopBox NAME: SIGTERM, expect exit code 0 and the link gone.
StopBox() {
    local name=$1 rc
    kill -TERM "$BOX_PID" 2>/dev/null
    wait "$BOX_PID"
    rc=$?
    [ "$rc" -eq 0 ] || Fail "$name: boxsim exit code $rc after SIGTERM"
    [ -e "$BOX_LINK" ] || [ -L "$BOX_LINK" ] && Fail "$name: $BOX_LINK left behind"
    if [ -s "$WORK/$name.boxerr" ]; then
        Fail "$name: boxsim wrote to stderr: $(cat "$WORK/$name.boxerr")"
    fi
    return 0
}

# StartRelay NAME: the trace relay from $LINK to the box on $BOX_LINK,
# tracing into $WORK/NAME.trace.
StartRelay() {
    local name=$1 rc
    Launch "$WORK/$name.relay" "$WORK/$name.relayerr" '^tracerelay: ready' \
        "$RELAY" --link "$LINK" --device "$BOX_LINK" --trace "$WORK/$name.trace"
    rc=$?
    RELAY_PID=$LAUNCHED
    [ "$rc" -eq 0 ] || { Fail "$name: tracerelay did not get ready: $(cat "$WORK/$name.relayerr")"; return 1; }
}

# EndRelay NAME RC STDERR-REGEX: stops the relay (SIGTERM when RC is 0, else
# it must end by itself), expects exit code RC, that stderr, one ready line
# and the link gone.
EndRelay() {
    local name=$1 want=$2 rc
    [ "$want" -eq 0 ] && kill -TERM "$RELAY_PID"
    for _ in $(seq 60); do kill -0 "$RELAY_PID" 2>/dev/null || break; sleep 0.05; done
    kill -0 "$RELAY_PID" 2>/dev/null && kill -TERM "$RELAY_PID"
    wait "$RELAY_PID"
    rc=$?
    if [ "$rc" -eq "$want" ] && [ "$(cat "$WORK/$name.relay")" = "tracerelay: ready link=$LINK device=$BOX_LINK" ] &&
        [[ "$(cat "$WORK/$name.relayerr")" =~ $3 ]] && [ ! -L "$LINK" ]; then
        Pass "$name: tracerelay ended with $rc${3:+ saying '$(cat "$WORK/$name.relayerr")'}, link removed"
    else
        Fail "$name: tracerelay exit code $rc (wanted $want), stdout '$(cat "$WORK/$name.relay")'," \
            "stderr '$(cat "$WORK/$name.relayerr")', link $([ -L "$LINK" ] && echo left || echo removed)"
    fi
}

# CheckTrace NAME STEPS: the relay's trace of NAME must show STEPS in order.
CheckTrace() {
    local result
    result=$(TraceFollowsSteps "$WORK/$1.trace" "$2")
    if [[ "$result" == ok:* ]]; then Pass "$1: trace: $result"; else Fail "$1: trace: $result"; fi
}

# RunHost NAME POWER [hostsim options]: POWER is "signal" (SIGUSR1 once the
# client has the line open), "none" or "after-ignored" (SIGUSR1 once boxsim
# noted the early byte). Returns hostsim's exit code.
RunHost() {
    local name=$1 power=$2 host rc
    shift 2
    Launch "$WORK/$name.host" "$WORK/$name.hosterr" '^hostsim: open' timeout 120 "$HOSTSIM" --link "$LINK" "$@" ||
        Fail "$name: hostsim did not open the link: $(cat "$WORK/$name.hosterr")"
    host=$LAUNCHED
    case $power in
    signal) kill -USR1 "$BOX_PID" ;;
    after-ignored)
        WaitForLine "$WORK/$name.box" 'event=ignored bytes=1 state=off first=73' 5 ||
            Fail "$name: the early 's' was not noted as ignored"
        kill -USR1 "$BOX_PID" ;;
    esac
    wait "$host"
    rc=$?
    sed 's/^/    /' "$WORK/$name.host" "$WORK/$name.hosterr"
    return "$rc"
}

# VerdictLine NAME N: the Nth verdict line of boxsim in scenario NAME.
VerdictLine() {
    grep '^boxsim: verdict=' "$WORK/$1.box" | sed -n "${2}p"
}

# ExpectVerdict NAME N EXTENDED-REGEX
ExpectVerdict() {
    local line
    line=$(VerdictLine "$1" "$2")
    if [[ "$line" =~ $3 ]]; then
        Pass "$1: verdict $2: ${line#boxsim: }"
    else
        Fail "$1: verdict $2 is '${line}', wanted /$3/"
    fi
}

ExpectHostOk() {
    local name=$1 rc=$2
    if [ "$rc" -eq 0 ]; then Pass "$name: hostsim matched every byte"; else Fail "$name: hostsim exit code $rc"; fi
}

ExpectSameFile() {
    if cmp -s "$2" "$3"; then Pass "$1: $(basename "$3") is byte-identical to the image"; else Fail "$1: $3 differs from $2"; fi
}

# DataRate NAME N: bytes/data_seconds of the Nth verdict, for the figures.
DataRate() {
    VerdictLine "$1" "$2" | sed -E 's/.* bytes=([0-9]+) .* data_seconds=([0-9.]+) .*/\1 \2/' |
        awk '{ if ($2 > 0) printf "%.0f B/s (%d bytes in %.2f s)", $1 / $2, $1, $2; else print "n/a" }'
}

NUMS='bytes=([0-9]+) blocks=([0-9]+) checksum_errors=([0-9]+) length=([0-9]+|none) address=([0-9a-fx]+|none) data_seconds=[0-9]+\.[0-9]{2} commands='

head -c 300000 /dev/urandom > "$WORK/big.bin"
head -c 20000 /dev/urandom > "$WORK/small.bin"
head -c 10240 /dev/urandom > "$WORK/ten.bin"
head -c 65536 /dev/urandom > "$WORK/pace.bin"

# 1. A normal 300000-byte load with plain "q", after a stray 's' sent before the
# box was on and an unknown command, through the trace relay: its trace shows
# the banner, each byte the PC sent, the handshake, every block and its acks.
BOX_LINK=$WORK/box.dev
if StartBox load --out "$WORK/load.out" && StartRelay load; then
    RunHost load after-ignored --image "$WORK/big.bin" --early-s --unknown
    ExpectHostOk load $?
    ExpectVerdict load 1 '^boxsim: verdict=complete bytes=300000 blocks=293 checksum_errors=0 length=300000 address=none data_seconds=[0-9.]+ commands=s,mon,foo,q$'
    ExpectSameFile load "$WORK/big.bin" "$WORK/load.out"
    EndRelay load 0 '^$'
    BANNER=$(sed -n 's/^#define BOOT_BANNER "\(.*\)"$/\1/p' "$ROOT/upload/protocol.h")
    { echo "P $(Hex s)"; echo "B $(Hex "\r\n$BANNER\r\n")"; echo "P $(Hex s)"; echo "P $(Hex '\r\rmon\r')"
      echo "P $(Hex 'fx\x7foo\r')"; echo "P $(Hex '\r\rq\r')"; TransferSteps "$WORK/big.bin"; } > "$WORK/load.steps"
    CheckTrace load "$WORK/load.steps"
    StopBox load
fi
BOX_LINK=$LINK

# 2. With an address, writes cut into random pieces, then "boot" and a second load.
if StartBox reboot --out "$WORK/reboot.out"; then
    RunHost reboot signal --image "$WORK/small.bin" --address 0xbfbf8000 --chunked 11 --reboot
    ExpectHostOk reboot $?
    ExpectVerdict reboot 1 '^boxsim: verdict=complete bytes=20000 blocks=20 checksum_errors=0 length=20000 address=0xbfbf8000 .* commands=s,mon,q 0xbfbf8000$'
    ExpectVerdict reboot 2 '^boxsim: verdict=complete bytes=20000 blocks=20 .* commands=s,mon,q 0xbfbf8000,boot,s,q 0xbfbf8000$'
    grep -q 'event=power-on source=boot-command' "$WORK/reboot.box" && Pass "reboot: boot command powered on" ||
        Fail "reboot: no power-on from the boot command"
    ExpectSameFile reboot "$WORK/small.bin" "$WORK/reboot.out"
    StopBox reboot
fi

# 3. Block 3 gets only its first ack; the box still takes the rest.
if StartBox dropack --drop-ack 3 --out "$WORK/dropack.out"; then
    RunHost dropack signal --image "$WORK/ten.bin" --drop-ack 3
    ExpectHostOk dropack $?
    ExpectVerdict dropack 1 '^boxsim: verdict=complete bytes=10240 blocks=10 checksum_errors=0 '
    ExpectSameFile dropack "$WORK/ten.bin" "$WORK/dropack.out"
    StopBox dropack
fi

# 4. Block 2 is answered with F0 and the transfer is over.
if StartBox reject --reject 2 --out "$WORK/reject.out"; then
    RunHost reject signal --image "$WORK/ten.bin" --reject 2
    ExpectHostOk reject $?
    ExpectVerdict reject 1 '^boxsim: verdict=rejected bytes=1024 blocks=1 checksum_errors=0 length=10240 '
    [ -e "$WORK/reject.out" ] && Fail "reject: an image was written for a rejected load" || Pass "reject: no image written"
    StopBox reject
fi

# 5. FE for block 2, then a new handshake and a whole load from byte 0.
if StartBox rehandshake --reject 2 --reject-byte FE --rehandshake --out "$WORK/rehandshake.out"; then
    RunHost rehandshake signal --image "$WORK/ten.bin" --reject 2 --reject-byte FE --rehandshake
    ExpectHostOk rehandshake $?
    # Box and host read --reject-byte from one table: the byte on the line is checked by its value here.
    grep -q '^hostsim: block 2 rejected with 0xFE as expected$' "$WORK/rehandshake.host" &&
        Pass "rehandshake: FE on the line" || Fail "rehandshake: not FE on the line: $(grep rejected "$WORK/rehandshake.host")"
    ExpectVerdict rehandshake 1 '^boxsim: verdict=rejected bytes=1024 blocks=1 '
    ExpectVerdict rehandshake 2 '^boxsim: verdict=complete bytes=10240 blocks=10 checksum_errors=0 '
    ExpectSameFile rehandshake "$WORK/ten.bin" "$WORK/rehandshake.out"
    StopBox rehandshake
fi

# 6. The host sends a wrong checksum for block 5.
if StartBox checksum; then
    RunHost checksum signal --image "$WORK/ten.bin" --bad-checksum 5
    ExpectHostOk checksum $?
    ExpectVerdict checksum 1 '^boxsim: verdict=rejected bytes=4096 blocks=4 checksum_errors=1 length=10240 '
    StopBox checksum
fi

# 7. Stray bytes before each ack of block 4.
if StartBox stray --stray 4 --out "$WORK/stray.out"; then
    RunHost stray signal --image "$WORK/ten.bin" --stray 4
    ExpectHostOk stray $?
    ExpectVerdict stray 1 '^boxsim: verdict=complete bytes=10240 blocks=10 '
    ExpectSameFile stray "$WORK/ten.bin" "$WORK/stray.out"
    StopBox stray
fi

# 8. No ack at all for block 2: the box gives up after its receive timeout.
if StartBox noacks --drop-all-acks 2 --rx-timeout 1500; then
    RunHost noacks signal --image "$WORK/ten.bin" --drop-all-acks 2 --box-rx-timeout 1500
    ExpectHostOk noacks $?
    ExpectVerdict noacks 1 '^boxsim: verdict=incomplete bytes=2048 blocks=2 checksum_errors=0 length=10240 '
    grep -q 'event=abandon reason=rx-timeout' "$WORK/noacks.box" && Pass "noacks: abandoned on rx timeout" ||
        Fail "noacks: no rx-timeout abandon event"
    # The same box, a new client: power on from the monitor and load again.
    RunHost noacks2 signal --image "$WORK/ten.bin"
    ExpectHostOk noacks2 $?
    cp "$WORK/noacks.box" "$WORK/noacks2.box"
    ExpectVerdict noacks2 2 '^boxsim: verdict=complete bytes=10240 blocks=10 checksum_errors=0 .* commands=s,mon,q,s,mon,q$'
    [ "$(grep -c 'event=client-open' "$WORK/noacks.box")" -ge 2 ] && Pass "noacks: second client seen" ||
        Fail "noacks: the reconnect was not seen"
    StopBox noacks
fi

# 9. The host never answers the handshake.
if StartBox nohost; then
    RunHost nohost signal --no-answer
    ExpectHostOk nohost $?
    ExpectVerdict nohost 1 '^boxsim: verdict=incomplete bytes=0 blocks=0 checksum_errors=0 length=none address=none '
    StopBox nohost
fi

# 10. Nobody stops the boot.
if StartBox nostop --stop-window 500; then
    RunHost nostop signal --no-stop
    ExpectHostOk nostop $?
    grep -q '^boxsim: event=boot$' "$WORK/nostop.box" && Pass "nostop: firmware booted" || Fail "nostop: no boot event"
    StopBox nostop
fi

# 11. A dead box answers nothing.
if StartBox silent --silent; then
    RunHost silent signal --expect-silence 2500
    ExpectHostOk silent $?
    grep -q 'verdict=' "$WORK/silent.box" && Fail "silent: a verdict from a dead box" || Pass "silent: no verdict"
    StopBox silent
fi

# 12. Slow acks: 50 ms before each ack byte.
if StartBox slow --slow 50; then
    RunHost slow signal --image "$WORK/ten.bin"
    ExpectHostOk slow $?
    ExpectVerdict slow 1 '^boxsim: verdict=complete bytes=10240 blocks=10 '
    SLOW_RATE=$(DataRate slow 1)
    StopBox slow
fi

# 13. Paced to the line rate of 115200 8N1.
if StartBox pace --pace --out "$WORK/pace.out"; then
    RunHost pace signal --image "$WORK/pace.bin" --chunked 5
    ExpectHostOk pace $?
    ExpectVerdict pace 1 '^boxsim: verdict=complete bytes=65536 blocks=64 checksum_errors=0 '
    ExpectSameFile pace "$WORK/pace.bin" "$WORK/pace.out"
    turn=$(grep '^boxsim: turnaround ' "$WORK/pace.box")
    [[ "$turn" =~ ^boxsim:\ turnaround\ blocks=63\ p50=[0-9]+\.[0-9]{3}\ p90=[0-9.]+\ p99=[0-9.]+\ max=[0-9.]+\ mean=[0-9.]+\ data_us=[0-9]+$ ]] &&
        Pass "pace: ${turn#boxsim: }" || Fail "pace: turnaround line is '$turn'"
    PACE_RATE=$(DataRate pace 1)
    StopBox pace
fi

# 13b. A box left waiting for data: the handshake comes right after 's'.
if StartBox hsfirst --handshake-first --out "$WORK/hsfirst.out"; then
    RunHost hsfirst signal --image "$WORK/ten.bin" --handshake-first
    ExpectHostOk hsfirst $?
    ExpectVerdict hsfirst 1 '^boxsim: verdict=complete bytes=10240 blocks=10 checksum_errors=0 length=10240 address=none .* commands=s$'
    ExpectSameFile hsfirst "$WORK/ten.bin" "$WORK/hsfirst.out"
    StopBox hsfirst
fi

# 13c. Block 3's first ack comes 400 ms late; hostsim checks it was held back.
if StartBox lateack --late-ack 3 400 --out "$WORK/lateack.out"; then
    RunHost lateack signal --image "$WORK/ten.bin" --late-ack 3 400
    ExpectHostOk lateack $?
    ExpectVerdict lateack 1 '^boxsim: verdict=complete bytes=10240 blocks=10 checksum_errors=0 '
    grep -q '^boxsim: event=late-ack block=3 ms=400$' "$WORK/lateack.box" && Pass "lateack: late ack noted" ||
        Fail "lateack: no late-ack event"
    ExpectSameFile lateack "$WORK/ten.bin" "$WORK/lateack.out"
    StopBox lateack
fi

# 14. Told what to do on stdin: "power", a wrong line, "quit".
mkfifo "$WORK/stdin.fifo"
"$BOXSIM" --link "$LINK" --stop-window 300 < "$WORK/stdin.fifo" > "$WORK/stdin.box" 2> "$WORK/stdin.boxerr" &
BOX_PID=$!
Started "$BOX_PID"
exec 3> "$WORK/stdin.fifo"
if WaitForLine "$WORK/stdin.box" '^boxsim: ready' 5; then
    timeout 60 "$HOSTSIM" --link "$LINK" --no-stop > "$WORK/stdin.host" 2> "$WORK/stdin.hosterr" &
    HOST_PID=$!
    Started "$HOST_PID"
    WaitForLine "$WORK/stdin.host" '^hostsim: open' 5
    echo power >&3
    wait "$HOST_PID"
    ExpectHostOk stdin $?
    grep -q 'event=power-on source=stdin' "$WORK/stdin.box" && Pass "stdin: power-on from stdin" ||
        Fail "stdin: no power-on from stdin"
    echo bogus >&3
    echo quit >&3
    wait "$BOX_PID"
    rc=$?
    [ "$rc" -eq 0 ] && Pass "stdin: exit code 0 after quit" || Fail "stdin: exit code $rc after quit"
    grep -q "unknown stdin command 'bogus'" "$WORK/stdin.boxerr" && Pass "stdin: wrong line reported" ||
        Fail "stdin: wrong line not reported"
    [ -L "$LINK" ] && Fail "stdin: link left behind" || Pass "stdin: link removed"
else
    Fail "stdin: boxsim did not get ready"
fi
exec 3>&-

# 15. Autoboot powers on by itself, again and again while nobody stops it.
if StartBox autoboot --autoboot 1 --stop-window 300; then
    RunHost autoboot none --no-stop --banner-timeout 3000
    ExpectHostOk autoboot $?
    WaitForLine "$WORK/autoboot.box" 'source=autoboot' 5
    sleep 1.2
    n=$(grep -c 'event=power-on source=autoboot' "$WORK/autoboot.box")
    [ "$n" -ge 2 ] && Pass "autoboot: $n power-ons" || Fail "autoboot: only $n power-ons"
    StopBox autoboot
fi

# 16. --exit-after 1 ends boxsim after its first verdict; through the relay,
# whose PC side is opened and closed once before the load, and which ends
# when the box is gone.
BOX_LINK=$WORK/box.dev
if StartBox exitafter --exit-after 1 && StartRelay exitafter; then
    RunHost exitafter0 none --expect-silence 300
    ExpectHostOk exitafter0 $?
    RunHost exitafter signal --image "$WORK/ten.bin" --box-exits
    ExpectHostOk exitafter $?
    for i in $(seq 1 60); do kill -0 "$BOX_PID" 2>/dev/null || break; sleep 0.05; done
    if kill -0 "$BOX_PID" 2>/dev/null; then
        Fail "exitafter: boxsim still running 3 s after its verdict"
        StopBox exitafter
    else
        wait "$BOX_PID"
        rc=$?
        [ "$rc" -eq 0 ] && Pass "exitafter: exited by itself with 0" || Fail "exitafter: exit code $rc"
        [ -L "$BOX_LINK" ] && Fail "exitafter: link left behind" || Pass "exitafter: link removed"
    fi
    EndRelay exitafter 1 "^tracerelay: error: the device $BOX_LINK gone: "
    { echo "P $(Hex 's\r\rq\r')"; echo "P $(Hex s)"; echo "P $(Hex '\r\rmon\r')"; echo "P $(Hex '\r\rq\r')"
      TransferSteps "$WORK/ten.bin"; } > "$WORK/exitafter.steps"
    CheckTrace exitafter "$WORK/exitafter.steps"
    notes=$(sed -n 's/^ *[0-9.]* note //p' "$WORK/exitafter.trace" | sed 's/ gone: .*/ gone/' | uniq | tr '\n' ',')
    [ "$notes" = "the pc side opened its end,the pc side closed its end,the pc side opened its end,device $BOX_LINK gone," ] ||
    [ "$notes" = "the pc side opened its end,the pc side closed its end,the pc side opened its end,the pc side closed its end,device $BOX_LINK gone," ] &&
        Pass "exitafter: trace notes: $notes" || Fail "exitafter: trace notes: $notes"
fi
BOX_LINK=$LINK

# 17. Options: help, wrong values, a device that is not there, and a --link
# that is not a symlink.
"$BOXSIM" --help > "$WORK/help.txt" 2>&1
rc=$?
missing=
for word in --link --out --prompt --stop-window --rx-timeout --autoboot --exit-after --silent --drop-ack \
    --drop-all-acks --reject --reject-byte --rehandshake --stray --slow --late-ack --rehandshake-after \
    --chatter --late-handshake --handshake-wait --handshake-first --pace --help; do
    grep -q -- "$word " "$WORK/help.txt" || missing="$missing $word"
done
[ "$rc" -eq 0 ] && [ -z "$missing" ] && Pass "help: exit 0, every option explained" ||
    Fail "help: exit code $rc, missing:$missing"
RELAY_ARGS="tracerelay --link $LINK --trace $WORK/bad.trace"
for bad in "boxsim --drop-ack x" "boxsim --reject-byte 12" "boxsim --slow" "boxsim --frobnicate 1" \
    "boxsim --stop-window 0" "boxsim --late-ack 3" "boxsim --late-ack 0 100" "boxsim --late-ack 3 x" \
    "$RELAY_ARGS" "$RELAY_ARGS --device /dev/null --hold-us x" "$RELAY_ARGS --device $WORK/nodev"; do
    # shellcheck disable=SC2086
    "$BUILD/"$bad > /dev/null 2> "$WORK/bad.err"
    rc=$?
    [ "$rc" -eq 2 ] && grep -q "^${bad%% *}: error:" "$WORK/bad.err" && [ ! -L "$LINK" ] &&
        Pass "options: '$bad' refused: $(cat "$WORK/bad.err")" || Fail "options: '$bad' gave exit code $rc"
done
grep -q "open $WORK/nodev failed: No such file or directory" "$WORK/bad.err" && Pass "options: the missing device named" ||
    Fail "options: the missing device is not named: $(cat "$WORK/bad.err")"
echo "keep me" > "$WORK/notalink"
for tool in "boxsim --link" "tracerelay --device /dev/null --trace $WORK/bad.trace --link"; do
    # shellcheck disable=SC2086
    "$BUILD/"$tool "$WORK/notalink" > /dev/null 2> "$WORK/bad.err"
    rc=$?
    [ "$rc" -ne 0 ] && [ "$(cat "$WORK/notalink")" = "keep me" ] &&
        Pass "options: regular file at ${tool%% *}'s --link kept: $(cat "$WORK/bad.err")" ||
        Fail "options: ${tool%% *} --link over a regular file: exit code $rc, content '$(cat "$WORK/notalink")'"
done

# Nothing this test started may still run.
left=$(StillRunning | tr '\n' ' ')
[ -z "$left" ] && Pass "no process left behind" || Fail "still running: $left"

echo "selftest: figures:"
echo "selftest:   unpaced data rate: $(DataRate load 1) (through the trace relay)"
echo "selftest:   --slow 50 data rate: ${SLOW_RATE:-n/a}"
echo "selftest:   --pace data rate:  ${PACE_RATE:-n/a} (line limit 11520 B/s less the 4-byte checksum and 2 acks per 1024)"
if [ "$FAILS" -eq 0 ]; then
    echo "selftest: PASS ($CHECKS checks)"
    exit 0
fi
echo "selftest: FAILED $FAILS of $CHECKS checks"
exit 1
