#!/bin/bash
# Benchmarks echo-daemon side by side with the reference server (the floor of cost for
# the job) and with what a user would pick instead: openbsd-inetd's internal echo and
# socat forking cat. Every server runs in a private network namespace of its own.
#
#   bench/run.sh BUILD_DIR [--smoke] [--plot DIR]
#
# --smoke: one short round of each measurement and a check that loadgen counts failed
#          connections, to show that everything runs (part of ./dev.sh check).
# --plot DIR: also draw DIR/performance.png from the client sweep (needs gnuplot).
# Every loadgen line is kept in BUILD_DIR/bench-results/runs.log, so that each figure
# printed here can be traced to the runs it came from.
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

# Rounds alternate the servers compared; each run loads its server for a fixed time.
rounds=5 duration=3 sweep_rounds=5 sweep_duration=6 traced=2000
if [ $smoke = 1 ]; then
    rounds=1 duration=0.5 sweep_rounds=0 traced=100
fi
loadgen=$build/bench/loadgen
daemon=$build/echo-daemon
reference=$build/bench/reference
fault=$build/tests/libfault.so
results=$build/bench-results
mkdir -p "$results"
log=$results/runs.log
: >"$log"
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

# run NAME TAG [loadgen options...]: one measurement. Prints loadgen's key=value line and
# logs it as "NAME TAG line". A run in which connections failed is kept (the failures
# are counted in the tables) except in the smoke run, which must be clean.
run() {
    local name=$1 tag=$2 out status=0
    shift 2
    # shellcheck disable=SC2046
    out=$("$loadgen" --port "$(port "$name")" "$@" -- $(server "$name")) || status=$?
    echo "$name $tag $out" >>"$log"
    if [ $status -gt 1 ] || { [ $status = 1 ] && [ $smoke = 1 ]; }; then
        echo "bench: loadgen against $name exited with $status: $out" >&2
        exit 1
    fi
    echo "$out"
}
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }
# values NAME TAG FIELD: that field of every logged run of NAME under TAG, one a line.
values() {
    awk -v name="$1" -v tag="$2" -v key="$3=" '$1 == name && $2 == tag {
        for (i = 3; i <= NF; i++) if (index($i, key) == 1) print substr($i, length(key) + 1) }' "$log"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
least() { sort -g | head -1; }
most() { sort -g | tail -1; }
total() { awk '{ s += $1 } END { print s + 0 }'; }
# ratios A B TAG: A's rate over B's, round by round (the runs of a round sit side by side).
ratios() { paste <(values "$1" "$3" cps) <(values "$2" "$3" cps) | awk '{ printf "%.3f\n", $1 / $2 }'; }

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "load: a 32-byte payload; $rounds rounds of $duration s a run against the reference," \
    "$sweep_rounds rounds of $sweep_duration s a run in the sweep"
echo

# 1. echo-daemon against the reference, alternating, console on /dev/null and on a file.
consoles=(/dev/null "$results/console.log")
for console in "${consoles[@]}"; do
    tag=console:$console
    echo "== echo-daemon vs reference: 4 clients, $duration s a run, console on $console"
    echo "   (rt: TCP segments retransmitted, SYNs included; p99, max and cpu in us)"
    format='%-6s %9s %9s %6s %7s %7s %8s %8s %5s %5s %6s %6s\n'
    # shellcheck disable=SC2059
    printf "$format" round daemon/s ref/s ratio "p99 d" "p99 r" "max d" "max r" "rt d" "rt r" "cpu d" "cpu r"
    for round in $(seq "$rounds"); do
        d=$(run daemon "$tag" --duration "$duration" --clients 4 --console "$console")
        r=$(run reference "$tag" --duration "$duration" --clients 4 --console "$console")
        # shellcheck disable=SC2059
        printf "$format" "$round" "$(field cps "$d")" "$(field cps "$r")" \
            "$(awk -v a="$(field cps "$d")" -v b="$(field cps "$r")" 'BEGIN { printf "%.3f", a / b }')" \
            "$(field p99_us "$d")" "$(field p99_us "$r")" "$(field max_us "$d")" "$(field max_us "$r")" \
            "$(field retrans "$d")" "$(field retrans "$r")" \
            "$(field server_cpu_us "$d")" "$(field server_cpu_us "$r")"
    done
    echo "ratio: median $(ratios daemon reference "$tag" | median)," \
        "rounds $(ratios daemon reference "$tag" | least) to $(ratios daemon reference "$tag" | most)"
    echo "failed connections: daemon $(values daemon "$tag" failed | total)," \
        "reference $(values reference "$tag" failed | total)"
    echo
done
echo "== start-up and memory: median (least to most) of the $((${#consoles[@]} * rounds)) runs of each above"
for name in daemon reference; do
    ready=$(for console in "${consoles[@]}"; do values $name "console:$console" ready_ms; done)
    anon=$(for console in "${consoles[@]}"; do values $name "console:$console" anon_kb; done)
    echo "$name: exec to first echo $(median <<<"$ready") ms ($(least <<<"$ready") to $(most <<<"$ready")), private" \
        "memory (RssAnon after the load) $(median <<<"$anon") kB ($(least <<<"$anon") to $(most <<<"$anon"))"
done

# 2. A restart: the second accept fails; from the failure to echoing again.
for _ in $(seq $((smoke ? 1 : 3))); do
    out=$("$loadgen" --connections 0 --restart -- env LD_PRELOAD="$fault" ECHO_FAIL=accept4@0#2 "$daemon" 0 5)
    echo "daemon restart $out" >>"$log"
done
restarts=$(values daemon restart restart_ms)
echo "failing step to echoing again: $(median <<<"$restarts") ms (median of $(wc -l <<<"$restarts"))"
echo

# 3. System calls per served client: strace over N clients less strace over none.
if command -v strace >/dev/null; then
    echo "== system calls per served client ($traced clients, start-up subtracted)"
    for name in daemon reference; do
        calls() {
            # shellcheck disable=SC2046
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

# 4. The smoke run checks that loadgen tells failed connections apart from echoed ones:
# one PASS or FAIL line a case.
if [ $smoke = 1 ]; then
    echo "== loadgen's counts"
    fails=0
    # check NAME CONDITION LINE: CONDITION is awk over f[KEY], the values of the line.
    check() {
        if awk -v line="$3" "BEGIN { n = split(line, kv, /[= ]/); for (i = 1; i < n; i += 2) f[kv[i]] = kv[i + 1]
                                     exit !($2) }"; then
            echo "PASS $1"
        else
            echo "FAIL $1: $3"
            fails=$((fails + 1))
        fi
    }
    # The daemon's second send fails: it never replies to that client, pauses 3 seconds
    # and re-executes, which closes that connection (end of stream, no reply) and resets
    # those queued behind it; clients then find nothing listening until the new image does.
    out=$("$loadgen" --duration 3.3 --clients 4 -- env LD_PRELOAD="$fault" ECHO_FAIL=send@0#2 "$daemon" 0 5 ||
        true)
    check "the client left without a reply counts as short" 'f["short"] == 1' "$out"
    check "clients queued across the restart count as reset" 'f["reset"] >= 1' "$out"
    check "connects while nothing listens count as refused" 'f["refused"] >= 1' "$out"
    check "nothing else fails, and the daemon echoes again" \
        'f["garbled"] + f["other"] == 0 && f["served"] > 0' "$out"
    [ $fails = 0 ] || exit 1
    exit 0
fi

# 5. The client sweep: at each count of clients, every server in turn, round after round.
servers=(daemon reference)
for peer in inetd socat; do
    if available $peer; then
        servers+=("$peer")
    else
        echo "$peer: not installed, left out (apt-get install $([ $peer = inetd ] && echo openbsd-inetd || echo socat))"
    fi
done
echo "== client sweep: $sweep_rounds rounds of $sweep_duration s a run, the servers in turn within each round"
echo "   cps: median, least and most of the rounds; ratio: echo-daemon's rate over the server's in the same round,"
echo "   median; p99 and cpu (server CPU time a connection): median, in us; max: the longest of all rounds, in us;"
echo "   failed, retrans (TCP segments retransmitted), syn_retrans (of which SYN or SYN-ACK) and over_1s"
echo "   (connections slower than 1 s): all rounds together"
{
    printf '# clients'
    for name in "${servers[@]}"; do printf ' %s_cps %s_least %s_most %s_p99' "$name" "$name" "$name" "$name"; done
    echo
} >"$results/sweep.dat"
table=$results/sweep.txt
echo "clients server cps least most ratio p99 max failed retrans syn_retrans over_1s cpu" >"$table"
for clients in 1 2 4 8; do
    tag=clients:$clients
    for _ in $(seq "$sweep_rounds"); do
        for name in "${servers[@]}"; do
            run "$name" "$tag" --duration "$sweep_duration" --clients "$clients" >/dev/null
        done
    done
    row=$clients
    for name in "${servers[@]}"; do
        cps=$(values "$name" "$tag" cps)
        ratio=-
        [ "$name" = daemon ] || ratio=$(ratios daemon "$name" "$tag" | median)
        row+=" $(median <<<"$cps") $(least <<<"$cps") $(most <<<"$cps") $(values "$name" "$tag" p99_us | median)"
        echo "$clients $name $(median <<<"$cps") $(least <<<"$cps") $(most <<<"$cps") $ratio" \
            "$(values "$name" "$tag" p99_us | median) $(values "$name" "$tag" max_us | most)" \
            "$(values "$name" "$tag" failed | total) $(values "$name" "$tag" retrans | total)" \
            "$(values "$name" "$tag" syn_retrans | total)" \
            "$(values "$name" "$tag" over_1s | total) $(values "$name" "$tag" server_cpu_us | median)" >>"$table"
    done
    echo "$row" >>"$results/sweep.dat"
done
column -t "$table"
if [ -n "$plot_dir" ]; then
    titles=$(printf '%s ' "${servers[@]}" | sed 's/daemon/echo-daemon/; s/inetd/openbsd-inetd/; s/socat/socat+cat/')
    gnuplot -e "data='$results/sweep.dat'; out='$plot_dir/performance.png'; titles='$titles'" \
        -e "rounds=$sweep_rounds; seconds=$sweep_duration" "$(dirname "$0")/plot.gp"
    echo "plot: $plot_dir/performance.png"
fi
