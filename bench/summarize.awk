# The statistics of bench/run.sh: reads its runs.log, lines of "SERVER TAG key=value...",
# and prints for each server the median of its rounds and echo-daemon's rate over its
# rate in the same round; then the restart time. With -v plot=FILE, also writes what
# bench/plot.gp draws.
#   awk -v servers="daemon reference inetd socat" [-v plot=FILE] -f bench/summarize.awk runs.log

# logged[SERVER, TAG, KEY, N]: the Nth value of KEY logged for SERVER under TAG;
# logs[SERVER, TAG, KEY]: how many there are.
{
    for (i = 3; i <= NF; i++) {
        split($i, pair, "=")
        logged[$1, $2, pair[1], ++logs[$1, $2, pair[1]]] = pair[2]
    }
}

# sort_values(SERVER, TAG, KEY): the values in ascending order in sorted[1..n]; returns n.
function sort_values(server, tag, key,    n, i, j, v) {
    n = logs[server, tag, key]
    for (i = 1; i <= n; i++) {
        v = logged[server, tag, key, i] + 0
        for (j = i - 1; j >= 1 && sorted[j] > v; j--)
            sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
    }
    return n
}

# median(SERVER, TAG, KEY, FORMAT): the median, formatted; "-" if nothing was logged.
function median(server, tag, key, format,    n) {
    n = sort_values(server, tag, key)
    if (n == 0)
        return "-"
    return sprintf(format, n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2)
}

# spread(SERVER, TAG, KEY, FORMAT): "least-most", formatted.
function spread(server, tag, key, format,    n) {
    n = sort_values(server, tag, key)
    return n == 0 ? "-" : sprintf(format "-" format, sorted[1], sorted[n])
}

# total(SERVER, TAG, KEY): the sum of every value logged.
function total(server, tag, key,    i, sum) {
    for (i = 1; i <= logs[server, tag, key]; i++)
        sum += logged[server, tag, key, i]
    return sum + 0
}

# Logs each round's ratio, echo-daemon's rate over SERVER's, as the key "ratio": the
# rounds run every server in turn, so the Nth runs of two servers share a round.
function log_ratios(server,    i) {
    for (i = 1; i <= logs[server, "rate", "cps"] && i <= logs["daemon", "rate", "cps"]; i++)
        if (logged[server, "rate", "cps", i] > 0)
            logged[server, "rate", "ratio", ++logs[server, "rate", "ratio"]] = \
                logged["daemon", "rate", "cps", i] / logged[server, "rate", "cps", i]
}

function title(server) {
    return server == "daemon" ? "echo-daemon" : server == "inetd" ? "openbsd-inetd" : \
        server == "socat" ? "socat+cat" : server
}

function print_row(server, format) {
    printf format, title(server), median(server, "rate", "cps", "%.0f"), spread(server, "rate", "cps", "%.0f"),
        median(server, "rate", "ratio", "%.3f"), spread(server, "rate", "ratio", "%.2f"),
        median(server, "rate", "p99_us", "%.0f"), median(server, "rate", "server_cpu_us", "%.1f"),
        median(server, "calls", "per_client", "%.1f"), median(server, "rate", "rss_kb", "%.0f"),
        median(server, "rate", "anon_kb", "%.0f"), total(server, "rate", "failed")
    if (plot != "")
        printf "%s %s %s %s\n", title(server), median(server, "rate", "cps", "%.0f"),
            spread(server, "rate", "cps", "%.0f"), median(server, "rate", "server_cpu_us", "%.1f") > plot
}

END {
    count = split(servers, names, " ")
    format = "%-13s %7s %-12s %6s %-12s %6s %7s %6s %6s %6s %6s\n"
    printf format, "server", "conn/s", "least-most", "ratio", "least-most", "p99_us", "cpu_us", "calls",
        "rss_kB", "anon", "failed"
    for (k = 1; k <= count; k++) {
        if (names[k] != "daemon")
            log_ratios(names[k])
        print_row(names[k], format)
    }
    print "conn/s, p99_us (latency), cpu_us (server CPU time per connection, children included), rss_kB and"
    print "anon (resident and private memory after the load): medians of the rounds; ratio: echo-daemon's"
    print "rate over the server's in the same round; calls: system calls per client under strace; failed:"
    print "connections that failed, all rounds"
    printf "restart (a client resets; from the reset to echoing again): median %s ms of %d, %s\n",
        median("daemon", "restart", "restart_ms", "%.1f"), logs["daemon", "restart", "restart_ms"],
        spread("daemon", "restart", "restart_ms", "%.1f")
}
