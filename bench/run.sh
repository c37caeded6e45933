#!/bin/bash
# Measures echo-daemon against the floor of cost for its job (bench/reference.cpp) and
# against what a user would pick instead: openbsd-inetd's internal echo and socat
# forking cat. Every server runs in a network namespace of its own that loadgen makes.
#
#   bench/run.sh BUILD_DIR [--rounds N] [--seconds S] [--traced N] [--out DIR] [--plot DIR]
#
# Each round runs every server in turn for S seconds (default 7 rounds of 3 s), so that
# the servers of a round share the machine's state: figures are medians of the rounds,
# and ratios of runs of the same round. Then three forced restarts of the daemon, and
# system calls per client under strace over N clients (default 1000). Every loadgen line
# goes to DIR/runs.log, what is printed to DIR/output.txt (default BUILD_DIR/bench-results);
# --plot draws DIR/performance.png (needs gnuplot).
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")" && pwd)
usage() {
    echo "usage: bench/run.sh BUILD_DIR [--rounds N] [--seconds S] [--traced N] [--out DIR] [--plot DIR]" >&2
    exit 2
}

parse_arguments() {
    { [ $# -ge 1 ] && [ -d "$1" ]; } || usage
    build=$(cd "$1" && pwd)
    shift
    rounds=7 seconds=3 traced=1000 out=$build/bench-results plot_dir=
    while [ $# -gt 0 ]; do
        [ $# -ge 2 ] || usage
        case $1 in
        --rounds) rounds=$2 ;;
        --seconds) seconds=$2 ;;
        --traced) traced=$2 ;;
        --out) out=$(mkdir -p "$2" && cd "$2" && pwd) ;;
        --plot) plot_dir=$(cd "$2" && pwd) ;;
        *) usage ;;
        esac
        shift 2
    done
    loadgen=$build/bench/loadgen
    log=$out/runs.log
}

# server_command NAME: sets the array cmd to the command line that starts that server.
server_command() {
    case $1 in
    daemon) cmd=("$build/echo-daemon" 0 5) ;;
    reference) cmd=("$build/bench/reference") ;;
    inetd) cmd=(/usr/sbin/inetd -i "$work/inetd.conf") ;;
    socat)
        # shellcheck disable=SC2054 # one argument, commas and all
        cmd=(socat TCP4-LISTEN:80,reuseaddr,fork,backlog=128 EXEC:cat)
        ;;
    esac
}
# inetd serves echo on its own port, 7.
server_port() { [ "$1" = inetd ] && echo 7 || echo 80; }
installed() {
    case $1 in
    inetd) [ -x /usr/sbin/inetd ] && getent services echo >/dev/null ;;
    socat) command -v socat >/dev/null ;;
    *) true ;;
    esac
}

# measure NAME TAG [loadgen options...]: one run against that server, logged as
# "NAME TAG figures". A run with failed connections is kept (the summary counts them);
# a server that never echoed stops the benchmark.
measure() {
    local name=$1 tag=$2 figures status=0 cmd
    shift 2
    server_command "$name"
    figures=$("$loadgen" --port "$(server_port "$name")" "$@" -- "${cmd[@]}") || status=$?
    echo "$name $tag $figures" >>"$log"
    if [ $status -gt 1 ]; then
        echo "bench: loadgen against $name exited with $status: $figures" >&2
        exit 1
    fi
}

# system_calls NAME CLIENTS: every call the server made, with its children, while
# serving that many clients one after the other, start-up included (strace -c's total).
system_calls() {
    local name=$1 clients=$2 cmd counts=$work/strace-$1-$2.txt
    server_command "$name"
    if ! "$loadgen" --port "$(server_port "$name")" --connections "$clients" --clients 1 -- \
        strace -f -c -o "$counts" "${cmd[@]}" >/dev/null; then
        echo "bench: $name under strace did not serve $clients clients" >&2
        exit 1
    fi
    # The total line: "100.00 SECONDS USECS/CALL CALLS [ERRORS] total".
    awk '/ total$/ { print ($(NF - 2) ~ /^[0-9]+$/ && $(NF - 1) ~ /^[0-9]+$/) ? $(NF - 2) : $(NF - 1) }' "$counts"
}

# calls_per_client NAME: system calls per served client, start-up subtracted.
calls_per_client() {
    local start_up loaded
    start_up=$(system_calls "$1" 0)
    loaded=$(system_calls "$1" "$traced")
    echo "$1 calls per_client=$(awk -v a="$loaded" -v b="$start_up" -v n="$traced" \
        'BEGIN { printf "%.1f", (a - b) / n }')" >>"$log"
}

# The machine: cores, memory, processor and kernel; the commit measured.
describe_machine() {
    local commit
    commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
    git -C "$here/.." diff --quiet HEAD -- src bench ':!bench/published' 2>/dev/null ||
        commit+=" with local changes to src/ or bench/"
    echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
        "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
    echo "measured: commit $commit, $(date -u '+%Y-%m-%d %H:%M UTC')"
}

# CPU time of the whole machine in clock ticks (/proc/stat, every core): busy (user,
# nice, system, irq, softirq) and steal (time the hypervisor gave to other guests).
cpu_ticks() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8, $9 }' /proc/stat; }
load_average() { cut -d' ' -f1 /proc/loadavg; }

# print_machine_load: how busy the cores were since the benchmark started (by it and by
# everything else), the steal, and the load average at the start and now.
print_machine_load() {
    local busy steal
    read -r busy steal < <(cpu_ticks)
    awk -v b="$((busy - start_busy))" -v st="$((steal - start_steal))" -v hz="$(getconf CLK_TCK)" \
        -v s="$((SECONDS - start_second))" -v cores="$(nproc)" -v l0="$start_load" -v l1="$(load_average)" \
        'BEGIN { if (s < 1) s = 1
        printf "machine load during the run (%d s, this benchmark included): cores busy %.0f %%, steal %.1f %%,\n",
            s, 100 * b / hz / s / cores, 100 * st / hz / s / cores
        printf "1-minute load average %s at the start, %s at the end\n", l0, l1 }'
}

# The rounds: every installed server in turn, 4 clients, consoles on a file. Each round
# starts one server further on, so that no server always follows the same one.
measure_rates() {
    local round i count=${#servers[@]}
    for round in $(seq "$rounds"); do
        for i in $(seq "$count"); do
            measure "${servers[(round + i) % count]}" rate --duration "$seconds" --clients 4 \
                --console "$work/console.log"
        done
    done
}

benchmark() {
    local name
    describe_machine
    servers=(daemon reference)
    for name in inetd socat; do
        if installed $name; then
            servers+=("$name")
        else
            echo "$name: not installed, left out (apt-get install $([ $name = inetd ] && echo openbsd-inetd || echo socat))"
        fi
    done
    echo "load: 4 clients, a 32-byte payload, $rounds rounds of $seconds s a run, the servers in turn;" \
        "strace over $traced clients"
    echo
    measure_rates
    for _ in 1 2 3; do
        measure daemon restart --restart
    done
    for name in "${servers[@]}"; do
        calls_per_client "$name"
    done
    awk -v servers="${servers[*]}" -v plot="$work/plot.dat" -f "$here/summarize.awk" "$log"
    if [ -n "$plot_dir" ]; then
        gnuplot -e "data='$work/plot.dat'; out='$plot_dir/performance.png'; rounds=$rounds; seconds=$seconds" \
            "$here/plot.gp"
        echo "plot: $plot_dir/performance.png"
    fi
    print_machine_load
}

parse_arguments "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "echo stream tcp nowait.100000 root internal" >"$work/inetd.conf"
mkdir -p "$out"
: >"$log"
read -r start_busy start_steal < <(cpu_ticks)
start_load=$(load_average) start_second=$SECONDS
benchmark | tee "$out/output.txt"
