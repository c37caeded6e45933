#!/bin/bash
# Benchmarks echo-daemon side by side with the reference server (the floor of cost for
# the job) and with what a user would pick instead: openbsd-inetd's internal echo and
# socat forking cat; then behind HAProxy with the shipped examples/haproxy.cfg. Every
# server runs in a private network namespace of its own.
#
#   bench/run.sh BUILD_DIR [--smoke] [--plot DIR] [--front-only] [--daemon PATH] [--front-config FILE]
#
# --smoke: one short round of each measurement and a check that loadgen counts failed
#          connections, and a short run behind HAProxy that fails if an exchange comes
#          back wrong, a health check spends a launch or a client of a failing daemon
#          waits out its pause, to show that everything runs (part of ./dev.sh check).
# --plot DIR: also draw DIR/performance.png from the client sweep and DIR/haproxy.png
#          from the runs behind HAProxy (needs gnuplot).
# --front-only: only the runs behind HAProxy.
# --daemon PATH: put this build of the daemon behind HAProxy instead of BUILD_DIR's.
# --front-config FILE: front the daemons with this configuration instead of the shipped one.
# Every loadgen line is kept in BUILD_DIR/bench-results/runs.log, so that each figure
# printed here can be traced to the runs it came from.
set -euo pipefail
usage() {
    echo "usage: bench/run.sh BUILD_DIR [--smoke] [--plot DIR] [--front-only] [--daemon PATH]" \
        "[--front-config FILE]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
smoke=0
plot_dir=
front_only=0
front_daemon=$build/echo-daemon
front_config=$(realpath "$here/../examples/haproxy.cfg")
while [ $# -gt 0 ]; do
    case $1 in
    --smoke) smoke=1 ;;
    --front-only) front_only=1 ;;
    --plot | --daemon | --front-config)
        [ $# -ge 2 ] || usage
        case $1 in
        --plot) plot_dir=$(cd "$2" && pwd) ;;
        --daemon) front_daemon=$(realpath "$2") ;;
        --front-config) front_config=$(realpath "$2") ;;
        esac
        shift
        ;;
    *) usage ;;
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

# command_of NAME: sets the array cmd to the command line that starts it; servers listen
# on port 80, inetd on 7.
command_of() {
    case $1 in
    daemon) cmd=("$daemon" 0 5) ;;
    reference) cmd=("$reference") ;;
    inetd) cmd=(/usr/sbin/inetd -i "$inetd_conf") ;;
    socat)
        # shellcheck disable=SC2054 # one argument, commas and all
        cmd=(socat TCP4-LISTEN:80,reuseaddr,fork,backlog=128 EXEC:cat)
        ;;
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
    local name=$1 tag=$2 out status=0 cmd
    shift 2
    command_of "$name"
    out=$("$loadgen" --port "$(port "$name")" "$@" -- "${cmd[@]}") || status=$?
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

# check NAME CONDITION LINE: one PASS or FAIL line; CONDITION is awk over f[KEY], the
# values of the key=value LINE. Failures are counted in fails.
fails=0
check() {
    if awk -v line="$3" "BEGIN { n = split(line, kv, /[= ]/); for (i = 1; i < n; i += 2) f[kv[i]] = kv[i + 1]
                                 exit !($2) }"; then
        echo "PASS $1"
    else
        echo "FAIL $1: $3"
        fails=$((fails + 1))
    fi
}

# The machine's CPU time in clock ticks from /proc/stat, summed over every core: busy
# (user, nice, system, irq, softirq) and steal (time the hypervisor gave to others).
machine_busy() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }
machine_steal() { awk '$1 == "cpu" { print $9 }' /proc/stat; }
run_busy=$(machine_busy) run_steal=$(machine_steal) run_load=$(cut -d' ' -f1 /proc/loadavg) run_start=$(date +%s)
# neighbours: how busy the cores were since the benchmark started, the steal and the
# load average: the figures by which to judge what else ran beside it.
neighbours() {
    awk -v b="$(($(machine_busy) - run_busy))" -v st="$(($(machine_steal) - run_steal))" -v hz="$hz" \
        -v s="$(($(date +%s) - run_start))" -v cores="$(nproc)" -v l0="$run_load" \
        -v l1="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN { if (s < 1) s = 1
        printf "machine during the run (%d s): cores busy %.0f %% of the time, steal (time the hypervisor gave\n", s, 100 * b / hz / s / cores
        printf "other guests) %.1f %%; 1-minute load average %s at the start, %s at the end\n", 100 * st / hz / s / cores, l0, l1 }'
}
# ticks PID...: user and system CPU time of those processes, in clock ticks.
ticks() {
    local pid sum=0
    for pid in "$@"; do
        sum=$((sum + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
    done
    echo $sum
}
hz=$(getconf CLK_TCK)
front_rounds=3 front_duration=4

# Behind HAProxy: the shipped examples/haproxy.cfg in front of 1 to 3 daemons. Each
# daemon runs in a network namespace of its own (loopback only, the daemon on
# 127.0.0.1:80 there); HAProxy runs in another namespace, binds 127.0.0.1:808N there for
# the front over N daemons, and reaches each daemon through the `namespace` keyword of
# its server line. Only the bind and server lines of the shipped file are substituted.
# loadgen joins the front's namespace (or a daemon's, for the direct runs): no traffic
# leaves the namespaces made here, and they all go on exit.
ns=ed-$$
front_pids=()
daemon_pids=()
haproxy_pids=()
front_cleanup() {
    local pid name
    for pid in "${front_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${front_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    for name in front d1 d2 d3; do
        [ ! -e "/run/netns/$ns-$name" ] || ip netns del "$ns-$name"
        rm -rf "/etc/netns/$ns-$name"
    done
}
# new_namespace NAME: a namespace with its loopback up. HAProxy makes a resolver of the
# name servers in /etc/resolv.conf and connects to them at start; ip netns exec mounts
# this file over it, so that the only one it knows is on loopback.
new_namespace() {
    ip netns add "$ns-$1"
    ip -n "$ns-$1" link set lo up
    mkdir -p "/etc/netns/$ns-$1"
    echo "nameserver 127.0.0.1" >"/etc/netns/$ns-$1/resolv.conf"
}
# start_daemon I: daemon I (1 to 3) in namespace $ns-dI, console to a file; waits until
# it listens.
start_daemon() {
    local console=$results/front-d$1.console
    new_namespace "d$1"
    ip netns exec "$ns-d$1" "$front_daemon" 0 1000 >"$console" 2>&1 &
    front_pids+=($!)
    daemon_pids+=($!)
    for _ in $(seq 100); do
        ! grep -q '^\[\*\] Waiting for client connections' "$console" || return 0
        sleep 0.05
    done
    echo "bench: daemon $1 did not start: $(cat "$console")" >&2
    exit 1
}
restarts() { grep -c '^\[!\] Restarting due to error' "$results/front-d$1.console" || true; }
# start_front N: HAProxy over daemons 1 to N, on 127.0.0.1:808N of $ns-front; its log
# (server state changes) goes to a file.
start_front() {
    local n=$1 i config=$results/front-$1.cfg
    local edits=(-e "s/^\(\s*bind\s\+\):80$/\1127.0.0.1:808$n/")
    for i in 1 2 3; do
        if [ "$i" -le "$n" ]; then
            edits+=(-e "s/^\(\s*server\s\+\S\+\s\+\)192\.0\.2\.$i:80\b/\1127.0.0.1:80 namespace $ns-d$i/")
        else
            edits+=(-e "/^\s*server\s\+\S\+\s\+192\.0\.2\.$i:80\b/d")
        fi
    done
    sed "${edits[@]}" "$front_config" >"$config"
    if [ "$(grep -c "^\s*bind\s\+127\.0\.0\.1:808$n$" "$config")" != 1 ] ||
        [ "$(grep -c "^\s*server\s.*127\.0\.0\.1:80 namespace $ns-d" "$config")" != "$n" ] ||
        grep -q '192\.0\.2\.' "$config"; then
        echo "bench: $front_config: expected one 'bind :80' line and servers 192.0.2.1-3:80" >&2
        exit 1
    fi
    if ! ip netns exec "$ns-front" haproxy -c -q -f "$config" >"$results/front-$n.log" 2>&1; then
        echo "bench: haproxy refuses $config: $(cat "$results/front-$n.log")" >&2
        exit 1
    fi
    ip netns exec "$ns-front" haproxy -db -f "$config" >"$results/front-$n.log" 2>&1 &
    front_pids+=($!)
    haproxy_pids+=($!)
}
# front_up N: waits until the front over N daemons has every server up (its last state
# change in the log, if any, is UP); at most 10 s.
front_up() {
    local n=$1 i state up
    for _ in $(seq 200); do
        up=1
        for i in $(seq "$n"); do
            state=$(grep -o "/d$i is [A-Z]*" "$results/front-$n.log" | tail -1 || true)
            [ -z "$state" ] || [ "${state##* }" = UP ] || up=0
        done
        [ $up = 0 ] || return 0
        sleep 0.05
    done
    echo "bench: a daemon behind the front over $n stays down: $(tail -3 "$results/front-$n.log")" >&2
    exit 1
}
# front_run TAG NAMESPACE ADDRESS [loadgen options...]: one run of loadgen in that
# namespace against that address. Logged as "front TAG line", the line extended with
# the cores that HAProxy, the daemons and loadgen used during it.
front_run() {
    local tag=$1 netns=$2 address=$3 out status=0 h0 d0 m0 s0 h1 d1 m1 s1
    shift 3
    h0=$(ticks "${haproxy_pids[@]}") d0=$(ticks "${daemon_pids[@]}") m0=$(machine_busy) s0=$(machine_steal)
    out=$("$loadgen" --netns "$netns" --target "$address" --seconds 60 "$@") || status=$?
    h1=$(ticks "${haproxy_pids[@]}") d1=$(ticks "${daemon_pids[@]}") m1=$(machine_busy) s1=$(machine_steal)
    # The cores each used during the run: the machine's include the kernel's work and
    # everyone else's; steal is time the hypervisor gave to other guests.
    out+=$(awk -v h="$((h1 - h0))" -v d="$((d1 - d0))" -v m="$((m1 - m0))" -v st="$((s1 - s0))" -v hz="$hz" \
        -v s="$(field seconds "$out")" -v l="$(field loadgen_cpu_us "$out")" \
        -v n="$(($(field served "$out") + $(field slow_served "$out")))" 'BEGIN { if (s <= 0) s = 1
        printf " haproxy_cores=%.2f daemon_cores=%.2f loadgen_cores=%.2f machine_cores=%.2f steal_cores=%.2f",
            h / hz / s, d / hz / s, l * n / 1e6 / s, m / hz / s, st / hz / s }')
    echo "front $tag $out" >>"$log"
    if [ $status -gt 1 ]; then
        echo "bench: loadgen through $address exited with $status: $out" >&2
        exit 1
    fi
    echo "$out"
}
fvalues() { values front "$@"; }

front_section() {
    if ! command -v haproxy >/dev/null; then
        echo "bench: haproxy is not installed (apt-get install haproxy)" >&2
        exit 1
    fi
    trap front_cleanup EXIT
    trap 'exit 130' INT TERM
    local n fronts=(1 2 3) fault_duration=20 shield_duration=4 idle_duration=12
    if [ $smoke = 1 ]; then
        fronts=(3) fault_duration=9
    fi
    new_namespace front
    for n in 1 2 3; do
        start_daemon "$n"
    done
    for n in "${fronts[@]}"; do
        start_front "$n"
    done
    echo "== behind HAProxy $(haproxy -v | sed -n 's/^HAProxy version \([^ ]*\).*/\1/p'): $front_config"
    echo "   daemon: $front_daemon; 8 clients unless said; a 32-byte payload; rate, p99 and max of the echoes"
    [ $smoke = 1 ] || front_scale "$front_rounds" "$front_duration"
    [ $smoke = 1 ] || front_shield "$shield_duration" "$idle_duration"
    [ $smoke = 0 ] || front_correct
    front_faults "$fault_duration"
    front_cleanup
    trap - EXIT INT TERM
    echo
}

# front_plot: DIR/haproxy.png from the scale and shield runs, with --plot.
front_plot() {
    [ -n "$plot_dir" ] && [ $smoke = 0 ] || return 0
    gnuplot -e "scale='$results/front-scale.dat'; shield='$results/front-shield.dat'" \
        -e "out='$plot_dir/haproxy.png'; rounds=$front_rounds; seconds=$front_duration" "$here/front.gp"
    echo "plot: $plot_dir/haproxy.png"
}

# a. Scale: 1, 2 and 3 daemons behind the front, in turn within each round.
front_scale() {
    local rounds=$1 duration=$2 round n
    echo "-- scale: $rounds rounds of $duration s a run, fronts over 1, 2 and 3 daemons in turn"
    for round in $(seq "$rounds"); do
        for n in 1 2 3; do
            front_up "$n"
            front_run "scale:$n" "$ns-front" "127.0.0.1:808$n" --duration "$duration" --clients 8 >/dev/null
        done
    done
    : >"$results/front-scale.dat"
    local format='%-8s %8s %8s %8s %8s %8s %9s %8s %8s %8s\n'
    # shellcheck disable=SC2059
    printf "$format" daemons cps least most ratio p99_us max_us haproxy daemons loadgen
    for n in 1 2 3; do
        local cps ratio
        cps=$(fvalues "scale:$n" cps)
        ratio=$(paste <(fvalues "scale:$n" cps) <(fvalues scale:1 cps) | awk '{ printf "%.2f\n", $1 / $2 }' | median)
        # shellcheck disable=SC2059
        printf "$format" "$n" "$(median <<<"$cps")" "$(least <<<"$cps")" "$(most <<<"$cps")" "$ratio" \
            "$(fvalues "scale:$n" p99_us | median)" "$(fvalues "scale:$n" max_us | most)" \
            "$(fvalues "scale:$n" haproxy_cores | median)" "$(fvalues "scale:$n" daemon_cores | median)" \
            "$(fvalues "scale:$n" loadgen_cores | median)"
        echo "$n $(median <<<"$cps") $(least <<<"$cps") $(most <<<"$cps")" >>"$results/front-scale.dat"
    done
    echo "   ratio: the rate over the 1-daemon run's in the same round, median; haproxy, daemons, loadgen:"
    echo "   cores each used during the runs (median); with one thread, 1.00 is HAProxy's ceiling"
    # What limits the rate: HAProxy's one thread, the machine's cores, or neither.
    local h b st
    h=$(fvalues scale:3 haproxy_cores | median)
    b=$(fvalues scale:3 machine_cores | median)
    st=$(fvalues scale:3 steal_cores | median)
    awk -v h="$h" -v b="$b" -v st="$st" -v cores="$(nproc)" -v own="$(paste <(fvalues scale:3 haproxy_cores) \
        <(fvalues scale:3 daemon_cores) <(fvalues scale:3 loadgen_cores) | awk '{ print $1 + $2 + $3 }' | median)" '
        BEGIN { printf "   with 3 daemons the machine was busy %.2f of %d cores (HAProxy, daemons and loadgen %.2f),\n",
                    b, cores, own
                printf "   steal %.2f; what limits the rate: ", st
                if (h >= 0.9) print "HAProxy, busy " h " cores"
                else if (b + st >= cores * 0.8) print "the machine'"'"'s cores, which loadgen, HAProxy and the daemons share"
                else print "neither HAProxy'"'"'s thread nor the cores: the 8 clients'"'"' round trips" }'
}

# b. Shield: idle clients and clients that wait 20 ms before sending, beside 4 clients,
# straight to one daemon and through the front over that daemon alone.
front_shield() {
    local duration=$1 idle_duration=$2 kind path netns address options seconds
    echo "-- shield: 4 clients and beside them nothing, 2 idle clients, or 4 clients that wait 20 ms before" \
        "sending; one daemon, direct and through the front over it; $duration s a run, $idle_duration s with idle clients"
    local format='%-6s %-7s %8s %8s %9s %9s %8s %9s %10s %5s\n'
    # shellcheck disable=SC2059
    printf "$format" beside path cps p99_us max_us slow_cps slow_p99 slow_max wait_max idle
    : >"$results/front-shield.dat"
    for kind in none idle slow; do
        options=(--clients 4)
        seconds=$duration
        case $kind in
        idle) options+=(--idle 2) seconds=$idle_duration ;;
        slow) options+=(--slow 4 --delay 0.02) ;;
        esac
        local row=$kind
        for path in direct front; do
            netns=$ns-d1 address=127.0.0.1:80
            [ $path = direct ] || netns=$ns-front address=127.0.0.1:8081
            front_up 1
            out=$(front_run "shield:$kind:$path" "$netns" "$address" --duration "$seconds" "${options[@]}")
            # shellcheck disable=SC2059
            printf "$format" "$kind" "$path" "$(field cps "$out")" "$(field p99_us "$out")" "$(field max_us "$out")" \
                "$(field slow_cps "$out")" "$(field slow_p99_us "$out")" "$(field slow_max_us "$out")" \
                "$(field wait_max_us "$out")" "$(field idle_ended "$out")/$(field idle_connections "$out")"
            row+=" $(field cps "$out") $(field max_us "$out") $(field slow_cps "$out") $(field wait_max_us "$out")"
        done
        echo "$row" >>"$results/front-shield.dat"
    done
    echo "   slow_*: the clients that wait 20 ms; wait_max: the longest connection of any sending client,"
    echo "   failed or not, in us; idle: idle connections that the daemon or HAProxy ended, of those made"
}

# The smoke run's first check: every exchange through the shipped file, with an idle
# and a slow client beside, comes back byte for byte.
front_correct() {
    local out
    front_up 3
    out=$(front_run smoke:correct "$ns-front" 127.0.0.1:8083 --duration 2 --clients 2 --idle 1 --slow 1)
    check "every exchange through the front comes back byte for byte" \
        'f["served"] > 0 && f["slow_served"] > 0 && f["failed"] + f["slow_failed"] == 0' "$out"
}

# c. Faults: 3 daemons behind the front, daemon 1 reset right after connect every 4 s by
# a client in its own namespace. Every reset spends one launch of daemon 1; any other
# restart, of daemon 1 beyond the resets or of daemons 2 and 3, was spent by a health check.
front_faults() {
    local duration=$1 out before=() after=() i made
    echo "-- faults: 3 daemons, daemon 1 reset right after connect every 4 s, $duration s"
    front_up 3
    for i in 1 2 3; do
        before[i]=$(restarts "$i")
    done
    out=$(front_run faults "$ns-front" 127.0.0.1:8083 --duration "$duration" --clients 8 \
        --reset-netns "$ns-d1" --reset-every 4)
    made=$(field resets "$out")
    # A restart line comes after the 3-second pause: wait for the last reset's.
    for _ in $(seq 50); do
        [ $(($(restarts 1) - before[1])) -lt "$made" ] || break
        sleep 0.1
    done
    for i in 1 2 3; do
        after[i]=$(($(restarts "$i") - before[i]))
    done
    local spent=$((after[2] + after[3] + (after[1] > made ? after[1] - made : 0)))
    out+=" restarts_d1=${after[1]} restarts_d2=${after[2]} restarts_d3=${after[3]} check_launches=$spent"
    echo "front faults-summary $out" >>"$log"
    awk -v line="$out" 'BEGIN { n = split(line, kv, /[= ]/); for (i = 1; i < n; i += 2) f[kv[i]] = kv[i + 1]
        r = f["restarts_d1"]
        printf "   resets made %d; restarts: daemon 1 %d, daemons 2 and 3 %d; launches spent by health checks %d\n",
            f["resets"], r, f["restarts_d2"] + f["restarts_d3"], f["check_launches"]
        printf "   echoed %d (%d/s); failed exchanges %d (%d reset, %d short, %d refused, %d other): %.2f a restart\n",
            f["served"], f["cps"], f["failed"], f["reset"], f["short"], f["refused"], f["other"] + f["garbled"],
            r ? f["failed"] / r : 0
        printf "   p99 %d us; longest echo %d us; longest wait of any exchange, failed or not, %d us\n",
            f["p99_us"], f["max_us"], f["wait_max_us"] }'
    if [ $smoke = 1 ]; then
        check "no exchange through the front comes back garbled" 'f["garbled"] == 0 && f["served"] > 0' "$out"
        check "health checks spend no launch" 'f["check_launches"] == 0 && f["restarts_d1"] >= 1' "$out"
        # With fail fast the longest wait is tens of milliseconds; a daemon that keeps
        # port 80 through its pause holds its client until HAProxy's timeout server
        # (2 s) or the pause's end (3 s).
        check "no client of the failing daemon waits out its pause" 'f["wait_max_us"] < 1000000' "$out"
    fi
}

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
if [ $front_only = 1 ]; then
    echo
    front_section
    front_plot
    [ $smoke = 1 ] || neighbours
    [ $fails = 0 ] || exit 1
    exit 0
fi
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
            local cmd
            command_of "$name"
            "$loadgen" --connections "$1" --clients 1 -- strace -f -c -o "$results/strace-$name-$1.txt" \
                "${cmd[@]}" >/dev/null
            awk '/ total$/ { print $(NF - 2) ~ /^[0-9]+$/ && $(NF - 1) ~ /^[0-9]+$/ ? $(NF - 2) : $(NF - 1) }' \
                "$results/strace-$name-$1.txt"
        }
        base=$(calls 0)
        loaded=$(calls "$traced")
        echo "$name: $(awk -v a="$loaded" -v b="$base" -v n="$traced" 'BEGIN { printf "%.1f", (a - b) / n }')"
    done
    echo
fi

# 4. Behind HAProxy.
front_section

# 5. The smoke run checks that loadgen tells failed connections apart from echoed ones:
# one PASS or FAIL line a case.
if [ $smoke = 1 ]; then
    echo "== loadgen's counts"
    # The daemon's 200th send fails: it never replies to that client and closes port 80,
    # then that connection (end of stream, no reply), which resets the clients queued
    # behind it; clients then find nothing listening until the new image does. By the
    # 200th exchange the 8 clients keep the accept queue full, so some are queued: with
    # an early failure on a loaded machine, every other client may still be connecting.
    out=$("$loadgen" --duration 3.3 --clients 8 -- env LD_PRELOAD="$fault" ECHO_FAIL=send@0#200 "$daemon" 0 5 ||
        true)
    check "the client left without a reply counts as short" 'f["short"] == 1' "$out"
    check "clients queued across the restart count as reset" 'f["reset"] >= 1' "$out"
    check "connects while nothing listens count as refused" 'f["refused"] >= 1' "$out"
    check "nothing else fails, and the daemon echoes again" \
        'f["garbled"] + f["other"] == 0 && f["served"] > 0' "$out"
    [ $fails = 0 ] || exit 1
    exit 0
fi

# 6. The client sweep: at each count of clients, every server in turn, round after round.
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
front_plot
neighbours
