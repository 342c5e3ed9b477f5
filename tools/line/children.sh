# Sourced by the line tools' scripts (boxsim/selftest.sh, bench/calibrate.sh,
# bench/relaycost.sh): the tools they need, their work folder, the processes
# they start, recorded by id in $WORK/pids, so that a script ends exactly
# those at exit, also ones started from a background subshell; and waiting
# for a line in a file or for a process to end.

# NeedBuilt SCRIPT BUILD TOOL...: exits 2 with a message unless every TOOL is
# built in BUILD.
NeedBuilt() {
    local script=$1 build=$2 tool
    shift 2
    for tool in "$@"; do
        if [ ! -x "$build/$tool" ]; then
            echo "$script: error: $build/$tool is missing: cmake -S tools -B $build && cmake --build $build" >&2
            exit 2
        fi
    done
}

# StartWork SCRIPT: makes $WORK, a fresh folder removed at exit, when every
# process Started is ended too.
StartWork() {
    WORK=$(mktemp -d) || { echo "$1: error: mktemp -d failed" >&2; exit 2; }
    trap 'EndStarted; rm -rf "$WORK"' EXIT
    trap 'exit 130' INT TERM
}

# Started PID: remembers a process this script started.
Started() {
    echo "$1" >> "$WORK/pids"
}

# EndStarted: ends every process Started remembered that still runs, waiting
# up to 2 s for each.
EndStarted() {
    local pid
    [ -f "$WORK/pids" ] || return 0
    for pid in $(cat "$WORK/pids"); do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in $(cat "$WORK/pids"); do
        for _ in $(seq 40); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
        wait "$pid" 2>/dev/null
    done
}

# Launch OUT ERR READY-REGEX COMMAND...: runs COMMAND in the background
# (stdin /dev/null, stdout to OUT, stderr to ERR), remembers it, and waits
# for a line matching READY-REGEX in OUT; its id in LAUNCHED, 1 if no such
# line came.
Launch() {
    local out=$1 err=$2 ready=$3
    shift 3
    "$@" < /dev/null > "$out" 2> "$err" &
    LAUNCHED=$!
    Started "$LAUNCHED"
    WaitForLine "$out" "$ready"
}

# StillRunning: the ids of the remembered processes that still run.
StillRunning() {
    local pid
    [ -f "$WORK/pids" ] || return 0
    for pid in $(cat "$WORK/pids"); do
        kill -0 "$pid" 2>/dev/null && echo "$pid"
    done
}

# WaitForLine FILE EXTENDED-REGEX [SECONDS]: 0 once a line matches, within
# SECONDS (5).
WaitForLine() {
    for _ in $(seq $((${3:-5} * 20))); do
        grep -Eq -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# WaitGone PID: waits up to 5 s for a child that should end by itself, then
# ends it; 0 if it ended by itself.
WaitGone() {
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null; return 0; }
        sleep 0.05
    done
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 1
}
