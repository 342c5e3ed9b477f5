# Sourced by the run command: the latency timer of a USB serial adapter.
# Such an adapter holds the bytes it receives until its timer runs out (16 ms
# by default) and the program waits for two of them after every block, so
# for as long as the program runs the timer is set to 1 ms, and put back
# afterwards; where it may not be written, the one command that does it is
# printed with what the timer costs. An adapter without the attribute (not
# that kind of chip, or not USB) is left alone and nothing is said.
# The attribute is read under TESSEL_SYSFS (a stand-in tree for the tests),
# /sys otherwise.
#   tessel_tune_latency COM DEVICE    (prints at most two lines)
#   tessel_restore_latency            (puts back every timer set here)

TESSEL_LATENCY_SET=()     # "ATTRIBUTE OLD-VALUE" for each timer set here
TESSEL_IMAGE_BLOCKS=2048  # a typical 2 MiB image, in 1 KiB blocks

tessel_latency_attribute() {
    local name
    name="$(basename "$(readlink -f "$1")")"
    echo "${TESSEL_SYSFS:-/sys}/class/tty/$name/device/latency_timer"
}

tessel_tune_latency() {
    local com="$1" device="$2" attribute old seconds
    attribute="$(tessel_latency_attribute "$device")"
    [ -f "$attribute" ] || return 0
    old="$(cat "$attribute" 2>/dev/null)"
    [[ "$old" =~ ^[0-9]+$ ]] && [ "$old" -gt 1 ] || return 0
    if (echo 1 > "$attribute") 2>/dev/null && [ "$(cat "$attribute")" = 1 ]; then
        TESSEL_LATENCY_SET+=("$attribute $old")
        echo "$com: the latency timer of $device is set from $old ms to 1 ms while the program runs, then put back."
        return 0
    fi
    # Each block's acknowledgements wait for the timer to fire. The timer
    # runs free and the next block follows the acknowledgements, so each
    # block's wait is the timer less what is left of it when a block and its
    # acknowledgements (1,030 bytes, 89.4 ms on the line) have passed.
    seconds="$(awk -v ms="$old" -v blocks="$TESSEL_IMAGE_BLOCKS" 'function wait(t) { return t - (89.41 % t) }
        BEGIN { printf "%.0f", blocks * (wait(ms) - wait(1)) / 1000 }')"
    echo "$com: $device holds what the box sends for up to $old ms (its latency timer), about $seconds s more on a" \
         "2 MiB image than at 1 ms. To set it to 1 ms (until the adapter is plugged in again): echo 1 | sudo tee $attribute"
}

tessel_restore_latency() {
    local entry attribute old
    for entry in "${TESSEL_LATENCY_SET[@]}"; do
        attribute="${entry% *}"
        old="${entry##* }"
        (echo "$old" > "$attribute") 2>/dev/null ||
            echo "run-demo: could not put the latency timer back to $old ms: echo $old | sudo tee $attribute" >&2
    done
    TESSEL_LATENCY_SET=()
}
