# benchtable.awk RESULTS: the benchmark's table of medians with min-max per
# side, image size and line (a pty, or an adapter model), and of the boxes
# at once, from the key=value lines that bench.sh gathered.
function field(name,   i, kv) {
    for (i = 1; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] == name) return kv[2]
    }
    return ""
}
function sorted(list, n,   i, j, t) {
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && list[j - 1] + 0 > list[j] + 0; j--) {
            t = list[j]; list[j] = list[j - 1]; list[j - 1] = t
        }
}
function summary(key, what, fmt,   n, i, list) {
    n = count[key]
    if (n == 0) return "-"
    for (i = 1; i <= n; i++) list[i] = values[key, what, i]
    sorted(list, n)
    return sprintf(fmt " [" fmt "-" fmt "]", list[int((n + 1) / 2)], list[1], list[n])
}
function add(key, what, value) {
    if (!(key in count)) order[++keys] = key
    values[key, what, ++count[key]] = value
}
{ sub(/\r$/, "") }   # the program's lines come from Windows with CR LF
$2 == "program" || $2 == "xmodem-1k" {
    key = $2 " " field("size") (field("via") != "" ? " " field("via") : "")
    if (!(key in count)) order[++keys] = key
    n = ++count[key]
    values[key, "seconds", n] = field("seconds")
    values[key, "line", n] = field("line")
    values[key, "p50", n] = field("p50")
    values[key, "p99", n] = field("p99")
    values[key, "max", n] = field("max")
    values[key, "peak", n] = field("peak_mib")
    if (field("result") != "identical") failed[key]++
}
$2 ~ /^boxes=/ { add("boxes " field("boxes"), "line", field("line")); if (field("result") != "identical") failed["boxes " field("boxes")]++ }
$1 == "boxes" { n = field("n"); sub(/%/, "", $0); add("all " n, "cpu", field("program_cpu") + 0); add("server " n, "cpu", field("server_cpu") + 0) }
$1 == "idle" { idleLines[++idles] = $0 }
END {
    printf "%-32s %-24s %-27s %-24s %-24s %-24s %s\n", "side, bytes", "seconds", "% of line", \
           "turnaround p50 ms", "p99 ms", "max ms", "peak WS MiB"
    for (k = 1; k <= keys; k++) {
        key = order[k]
        if (key !~ /^(program|xmodem)/) continue
        printf "%-32s %-24s %-27s %-24s %-24s %-24s %s%s\n", key, summary(key, "seconds", "%.2f"), \
               summary(key, "line", "%.2f"), summary(key, "p50", "%.3f"), summary(key, "p99", "%.3f"), \
               summary(key, "max", "%.3f"), key ~ /^program/ ? summary(key, "peak", "%.1f") : "-", \
               failed[key] ? "  FAILED " failed[key] : ""
    }
    for (k = 1; k <= keys; k++) {
        key = order[k]
        if (key !~ /^boxes /) continue
        n = substr(key, 7)
        if (!header++) printf "\n%-6s %-28s %-30s %s\n", "boxes", "each, % of line", "all programs, % of a core", "Wine server"
        printf "%-6s %-28s %-30s %s%s\n", n, summary(key, "line", "%.2f"), summary("all " n, "cpu", "%.1f"), \
               summary("server " n, "cpu", "%.1f"), failed[key] ? "  FAILED " failed[key] : ""
    }
    for (i = 1; i <= idles; i++) print idleLines[i]
}