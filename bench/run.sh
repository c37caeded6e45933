#!/bin/bash
# Benchmarks echo-daemon side by side with the reference server (the floor of cost for
# the job) and with what a user would pick instead: openbsd-inetd's internal echo and
# socat forking cat. Every server runs in a private network namespace of its own.
#
#   bench/run.sh BUILD_DIR [--smoke] [--plot DIR]
#
# --smoke: one short round of each measurement, to show that everything runs.
# --plot DIR: also draw DIR/performance.png from the client sweep (needs gnuplot).
# "cpu us" is the server's CPU time per connection, with every process it forked.
set -euo pipefail
build=$(cd "$1" && pwd)
shift
smoke=0
plot_dir=
while [ $# -gt 0 ]; do
    case $1 in
    --smoke) smoke=1 ;;
    --plot) plot_dir=$(cd "$2" && pwd); shift ;;
    *) echo "usage: bench/run.sh BUILD_DIR [--smoke] [--plot DIR]" >&2; exit 2 ;;
    esac
    shift
done

rounds=5 connections=20000 peer_rounds=3 sweep_connections=5000 traced=2000
if [ $smoke = 1 ]; then
    rounds=1 connections=500 peer_rounds=0 sweep_connections=0 traced=100
fi
loadgen=$build/bench/loadgen
daemon=$build/echo-daemon
reference=$build/bench/reference
fault=$build/tests/libfault.so
results=$build/bench-results
mkdir -p "$results"
inetd_conf=$results/inetd.conf
echo "echo stream tcp nowait.100000 root internal" >"$inetd_conf"

# server NAME: the command line that starts it; servers listen on port 80, inetd on 7.
server() {
    case $1 in
    daemon) echo "$daemon 0 5" ;;
    reference) echo "$reference" ;;
    inetd) echo "/usr/sbin/inetd -i $inetd_conf" ;;
    socat) echo "socat TCP4-LISTEN:80,reuseaddr,fork,backlog=128 EXEC:cat" ;;
    esac
}
port() { [ "$1" = inetd ] && echo 7 || echo 80; }
available() {
    case $1 in
    inetd) [ -x /usr/sbin/inetd ] && getent services echo >/dev/null ;;
    socat) command -v socat >/dev/null ;;
    *) true ;;
    esac
}

# run NAME [loadgen options...]: one measurement; prints loadgen's key=value line.
run() {
    local name=$1
    shift
    # shellcheck disable=SC2046
    "$loadgen" --port "$(port "$name")" "$@" -- $(server "$name")
}
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo

# 1. echo-daemon against the reference, alternating, console on /dev/null and on a file.
for console in /dev/null "$results/console.log"; do
    echo "== echo-daemon vs reference: $connections connections, 4 clients, console on $console"
    printf '%-6s %12s %12s %8s %10s %10s %10s %10s\n' round daemon/s reference/s ratio "p99 d us" "p99 r us" \
        "cpu d us" "cpu r us"
    ratios=() d_ready=() r_ready=() d_rss=() r_rss=()
    for round in $(seq "$rounds"); do
        d=$(run daemon --connections "$connections" --clients 4 --console "$console")
        r=$(run reference --connections "$connections" --clients 4 --console "$console")
        ratios+=("$(ratio "$(field cps "$d")" "$(field cps "$r")")")
        d_ready+=("$(field ready_ms "$d")") r_ready+=("$(field ready_ms "$r")")
        d_rss+=("$(field rss_kb "$d")") r_rss+=("$(field rss_kb "$r")")
        printf '%-6s %12s %12s %8s %10s %10s %10s %10s\n' "$round" "$(field cps "$d")" "$(field cps "$r")" \
            "${ratios[-1]}" "$(field p99_us "$d")" "$(field p99_us "$r")" "$(field server_cpu_us "$d")" \
            "$(field server_cpu_us "$r")"
    done
    echo "median ratio: $(printf '%s\n' "${ratios[@]}" | median)"
    echo
done
echo "== start-up and memory (medians of the rounds above)"
echo "exec to first echo: daemon $(printf '%s\n' "${d_ready[@]}" | median) ms," \
    "reference $(printf '%s\n' "${r_ready[@]}" | median) ms"
d_peak=$(printf '%s\n' "${d_rss[@]}" | median) r_peak=$(printf '%s\n' "${r_rss[@]}" | median)
echo "peak RSS: daemon $d_peak kB, reference $r_peak kB, ratio $(ratio "$d_peak" "$r_peak")"

# 2. A restart: the second accept fails; from the failure to echoing again.
restarts=()
for _ in $(seq $((smoke ? 1 : 3))); do
    out=$("$loadgen" --connections 0 --restart -- env LD_PRELOAD="$fault" ECHO_FAIL=accept4@0#2 $daemon 0 5)
    restarts+=("$(field restart_ms "$out")")
done
echo "failing step to echoing again: $(printf '%s\n' "${restarts[@]}" | median) ms (median of ${#restarts[@]})"
echo

# 3. System calls per served client: strace over N clients less strace over none.
if command -v strace >/dev/null; then
    echo "== system calls per served client ($traced clients, start-up subtracted)"
    for name in daemon reference; do
        calls() {
            "$loadgen" --connections "$1" --clients 1 -- strace -f -c -o "$results/strace-$name-$1.txt" \
                $(server "$name") >/dev/null
            awk '/ total$/ { print $(NF - 2) ~ /^[0-9]+$/ && $(NF - 1) ~ /^[0-9]+$/ ? $(NF - 2) : $(NF - 1) }' \
                "$results/strace-$name-$1.txt"
        }
        base=$(calls 0)
        loaded=$(calls "$traced")
        echo "$name: $(awk -v a="$loaded" -v b="$base" -v n="$traced" 'BEGIN { printf "%.1f", (a - b) / n }')"
    done
    echo
fi

# 4. The peers, alternating with echo-daemon.
for peer in inetd socat; do
    [ "$peer_rounds" -gt 0 ] || break
    if ! available $peer; then
        echo "== $peer: not installed, skipped (apt-get install $([ $peer = inetd ] && echo openbsd-inetd || echo socat))"
        continue
    fi
    echo "== echo-daemon vs $peer: $connections connections, 4 clients"
    printf '%-6s %12s %12s %8s %10s %10s\n' round daemon/s "$peer/s" ratio "cpu d us" "cpu p us"
    ratios=()
    for round in $(seq "$peer_rounds"); do
        d=$(run daemon --connections "$connections" --clients 4)
        p=$(run $peer --connections "$connections" --clients 4 --seconds 120)
        ratios+=("$(ratio "$(field cps "$d")" "$(field cps "$p")")")
        printf '%-6s %12s %12s %8s %10s %10s\n' "$round" "$(field cps "$d")" "$(field cps "$p")" "${ratios[-1]}" \
            "$(field server_cpu_us "$d")" "$(field server_cpu_us "$p")"
    done
    echo "median ratio: $(printf '%s\n' "${ratios[@]}" | median)"
    echo
done

# 5. Sweep over 1, 2, 4 and 8 clients for the plot: the median of three runs a point.
[ "$sweep_connections" -gt 0 ] || exit 0
echo "== client sweep: $sweep_connections connections a run, median of 3 runs" \
    "(connections/s and p99 latency in us)"
servers=(daemon reference)
for peer in inetd socat; do available $peer && servers+=("$peer"); done
{
    printf '# clients'
    for name in "${servers[@]}"; do printf ' %s_cps %s_p99' "$name" "$name"; done
    echo
} >"$results/sweep.dat"
for clients in 1 2 4 8; do
    row="$clients"
    for name in "${servers[@]}"; do
        cps=() p99=()
        for _ in 1 2 3; do
            out=$(run "$name" --connections "$sweep_connections" --clients "$clients" --seconds 120)
            cps+=("$(field cps "$out")") p99+=("$(field p99_us "$out")")
        done
        row+=" $(printf '%s\n' "${cps[@]}" | median) $(printf '%s\n' "${p99[@]}" | median)"
    done
    echo "$row" >>"$results/sweep.dat"
done
column -t "$results/sweep.dat"
if [ -n "$plot_dir" ]; then
    titles=$(printf '%s ' "${servers[@]}" | sed 's/daemon/echo-daemon/; s/inetd/openbsd-inetd/; s/socat/socat+cat/')
    gnuplot -e "data='$results/sweep.dat'; out='$plot_dir/performance.png'; titles='$titles'" \
        "$(dirname "$0")/plot.gp"
    echo "plot: $plot_dir/performance.png"
fi
