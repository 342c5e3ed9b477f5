# Sourced by the scripts that check a trace relay's trace (the simulator's
# self-test, the run command's test): what an exchange puts on the line, as
# steps, and whether a trace shows those steps in order.

# Hex TEXT: TEXT's bytes (backslash escapes allowed) in lower-case hex.
Hex() {
    printf '%b' "$1" | od -An -v -tx1 | tr -d ' \n'
}

# The protocol's bytes and block size, as upload/protocol.h states them.
protocolHeader="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../upload" && pwd)/protocol.h"
ProtocolHex() {
    sed -n "s/^#define $1 *0x\([0-9A-Fa-f]*\).*/\1/p" "$protocolHeader" | tr A-F a-f
}
ProtocolNumber() {
    sed -n "s/^#define $1 *\([0-9][0-9]*\).*/\1/p" "$protocolHeader"
}
HandshakeHex() {
    sed -n 's/.*PROTOCOL_HANDSHAKE\[4\] = { \(.*\) };.*/\1/p' "$protocolHeader" | sed 's/0x//g; s/, //g' | tr A-F a-f
}

# TransferSteps IMAGE: what a load of IMAGE puts on the line after the load
# command, one step a line as TraceFollowsSteps reads them: the handshake and
# its answer, the go-ahead, the length, then each block and its two acks.
TransferSteps() {
    local ack reply
    ack="$(ProtocolHex PROTOCOL_ACK)" reply="$(ProtocolHex PROTOCOL_REPLY)"
    echo "B $(HandshakeHex)"
    echo "P $ack$reply"
    echo "B $ack"
    echo "P $(printf '%08x' "$(wc -c < "$1")")"
    od -An -v -tu1 -w"$(ProtocolNumber BLOCK_SIZE)" "$1" |
        awk -v acks="$ack$ack" '{ s = 0; for (i = 1; i <= NF; i++) s += $i; printf "K %d %d 0x%08x\nB %s\n", NR, NF, s, acks }'
}

# TraceFollowsSteps TRACE STEPS: prints "ok: ..." when TRACE shows the steps
# of the file STEPS in order, else what is wrong. A step is "P HEX", the
# PC's next bytes (every byte the PC sent is in exactly one step), "K N L
# 0xSUM", the PC's next thing is the line of block N with L data bytes and
# that checksum, or "B HEX", bytes the box sent after the step before
# (anything else from the box may come between). Every line must be a
# well-formed note, block or burst line, in time order.
TraceFollowsSteps() {
    awk 'function fail(text) { print text; failed = 1; exit }
        NR == FNR { step[++steps] = $0; next }
        FNR == 1 { if ($0 !~ /^# tracerelay /) fail("the first line is not the comment: " $0); next }
        {
            if ($1 !~ /^[0-9]+\.[0-9][0-9][0-9]$/ || $1 + 0 < last) fail("line " FNR " has a bad time: " $0)
            last = $1 + 0
            if ($2 == "note")
                next
            if ($2 == "pc>box" && $3 == "block") {
                if ($0 !~ /^ *[0-9.]+ pc>box block [0-9]+: [0-9]+ \+ 4 bytes, checksum 0x[0-9a-f]+$/ || length($NF) != 10)
                    fail("line " FNR " is a bad block line: " $0)
                sub(":", "", $4)
                dir[++units] = "P"
                value[units] = "K " $4 " " $5 " " $NF
                next
            }
            if (($2 != "pc>box" && $2 != "box>pc") || $3 !~ /^[1-9][0-9]*$/ || $(4 + $3) != "|" ||
                length(substr($0, index($0, " | ") + 3)) != $3)
                fail("line " FNR " is not a burst line: " $0)
            for (i = 0; i < $3; i++) {
                if ($(4 + i) !~ /^[0-9A-F][0-9A-F]$/)
                    fail("line " FNR " has a bad byte: " $0)
                dir[++units] = $2 == "pc>box" ? "P" : "B"
                value[units] = tolower($(4 + i))
            }
        }
        END {
            if (failed)
                exit
            pcs = boxes = 0
            for (i = 1; i <= units; i++) {
                if (dir[i] == "P") pcAt[pcs++] = i
                else boxAt[boxes++] = i
            }
            next_unit = 1
            p = b = 0
            for (k = 1; k <= steps; k++) {
                split(step[k], f, " ")
                if (f[1] == "K") {
                    want[0] = step[k]
                    n = 1
                } else {
                    n = length(f[2]) / 2
                    for (j = 0; j < n; j++) want[j] = substr(f[2], 2 * j + 1, 2)
                }
                if (f[1] == "B") {
                    while (b < boxes && boxAt[b] < next_unit) b++
                    for (found = -1; found < 0 && b + n <= boxes; b++) {
                        for (j = 0; j < n && value[boxAt[b + j]] == want[j]; j++) {}
                        if (j == n) found = b
                    }
                    if (found < 0) { print "step " k " (" step[k] ") is not in the trace after step " k - 1; exit }
                    b = found + n
                    next_unit = boxAt[b - 1] + 1
                    continue
                }
                if (p + n > pcs || pcAt[p] < next_unit) { print "step " k " (" step[k] ") does not follow step " k - 1; exit }
                for (j = 0; j < n; j++) {
                    if (value[pcAt[p + j]] != want[j]) {
                        print "step " k " (" step[k] "): the PC sent " value[pcAt[p + j]] " for " want[j]
                        exit
                    }
                }
                p += n
                next_unit = pcAt[p - 1] + 1
            }
            if (p != pcs) { print "the PC sent more than the steps: " pcs - p " bytes or blocks"; exit }
            print "ok: " steps " steps in order in " units " bytes and blocks"
        }' "$2" "$1"
}
