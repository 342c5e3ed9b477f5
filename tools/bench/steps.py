#!/usr/bin/env python3
# Reads a traced build's step file (tools/bench/steptrace.cpp) of one upload
# and tells, block by block, where the program's part of each turnaround
# went: from the read that brought a block's first ack to the start of the
# next block's write. Prints the spread of that time and of its two parts
# (first ack read to second ack read; second ack read to the write), how the
# second ack was found (by the look right behind, or after the reader waited
# in the kernel again), and the steps of the slowest blocks.
# With the box's --block-times file (the same clock: Wine's performance
# counter is the raw monotonic clock), each turnaround the box saw is split
# in three: the second ack written by the box to its read by the program,
# that read to the next block's write, and that write to the box reading
# its first byte.
# Usage: steps.py TRACE-FILE [SLOWEST [BLOCK-TIMES]]   (acks that come with
# other bytes between them, as a stray byte, are counted by bytes)
import math
import sys

BLOCK_WRITE = 1028


def spread(values):
    values = sorted(values)
    if not values:
        return "none"
    pick = lambda f: values[max(0, math.ceil(f * len(values)) - 1)]   # nearest rank
    return "p50=%.3f p90=%.3f p99=%.3f max=%.3f mean=%.3f" % (
        pick(0.5) / 1e3, pick(0.9) / 1e3, pick(0.99) / 1e3, values[-1] / 1e3, sum(values) / len(values) / 1e3)


def main():
    steps = []
    for line in open(sys.argv[1]):
        at, step, count, last = line.split()
        steps.append((int(at), step, int(count), int(last)))
    slowest = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    writes = [i for i, s in enumerate(steps) if s[1] == 'S' and s[2] == BLOCK_WRITE]
    blocks = []
    for k in range(len(writes) - 1):
        first = None
        second = None
        got = 0
        for i in range(writes[k] + 1, writes[k + 1]):
            at, step, count, last = steps[i]
            if step == 'R' and count > 0:
                got += count
                if first is None:
                    first = i
                if last == 0xFA and got >= 2:
                    second = i
                    break
        if first is None or second is None:
            continue
        path = "".join(s[1] for s in steps[first + 1:second])
        # the look behind's own end comes after the write that its find led to
        how = "same read" if first == second else ("looked behind" if "L" in path and "E" not in path and "N" not in path
                                                   else "kernel wait")
        blocks.append({
            "total": steps[writes[k + 1]][0] - steps[first][0],
            "gap": steps[second][0] - steps[first][0],
            "answer": steps[writes[k + 1]][0] - steps[second][0],
            "how": how,
            "first": first, "next": writes[k + 1],
        })
    print("blocks=%d" % len(blocks))
    print("first ack read to next block's write  " + spread([b["total"] for b in blocks]))
    print("first ack read to second ack read     " + spread([b["gap"] for b in blocks]))
    print("second ack read to next block's write " + spread([b["answer"] for b in blocks]))
    for how in ("same read", "looked behind", "kernel wait"):
        some = [b for b in blocks if b["how"] == how]
        print("second ack %-14s blocks=%-5d total %s" % (how + ":", len(some), spread([b["total"] for b in some])))
    if len(sys.argv) > 3:
        split(blocks, steps, sys.argv[3], slowest)
    print("slowest %d (steps from the first ack's read, microseconds after it):" % slowest)
    for b in sorted(blocks, key=lambda b: -b["total"])[:slowest]:
        start = steps[b["first"]][0]
        text = " ".join("%s%d@%d" % (s[1], s[2], s[0] - start) for s in steps[b["first"]:b["next"] + 1])
        print("  %.3f ms (%s): %s" % (b["total"] / 1e3, b["how"], text))


def split(blocks, steps, path, slowest):
    ends = [tuple(int(float(v)) for v in line.split()) for line in open(path)]
    if len(ends) != len(blocks):
        print("block times: %d turnarounds against %d blocks traced; not split" % (len(ends), len(blocks)))
        return
    parts = []
    for (acked, read), b in zip(ends, blocks):
        second = steps[b["first"]][0] + b["gap"]
        write = steps[b["next"]][0]
        parts.append((read - acked, second - acked, write - second, read - write))
    names = ("box turnaround", "ack written to read", "read to write", "write to box read")
    for i, name in enumerate(names):
        print("%-22s %s" % (name, spread([p[i] for p in parts])))
    print("slowest %d turnarounds the box saw (ms: total = to the read + program + to the box):" % slowest)
    for p in sorted(parts, key=lambda p: -p[0])[:slowest]:
        print("  %.3f = %.3f + %.3f + %.3f" % tuple(v / 1e3 for v in p))


main()
