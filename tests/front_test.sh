#!/bin/bash
# The front's promises, checked: Debian's HAProxy with examples/haproxy.cfg as shipped
# (only the server addresses replaced) in front of three echo-daemons. Each daemon runs in
# a network namespace of its own, on its port 80; HAProxy runs in another, started as
# Debian's unit starts it, and reaches each daemon over a veth pair with loopback-range
# addresses. No traffic leaves the namespaces made here. One PASS/FAIL line a row.
#
#   tests/front_test.sh BUILD_DIR [--config FILE] [--daemon PATH]
#
# --config, --daemon: front these instead of the shipped file and BUILD_DIR/echo-daemon,
# to see a row fail on a mistake. Needs root and haproxy; takes about 30 seconds.
set -euo pipefail
shopt -s inherit_errexit
# shellcheck source=tests/rows.sh
source "$(dirname "${BASH_SOURCE[0]}")/rows.sh"

usage() {
    echo "usage: tests/front_test.sh BUILD_DIR [--config FILE] [--daemon PATH]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
client=$(realpath "$1")/tests/front_client
daemon=$(realpath "$1")/echo-daemon
config=$(realpath "$(dirname "$0")/../examples/haproxy.cfg")
shift
while [ $# -ge 2 ]; do
    case $1 in
    --config) config=$(realpath "$2") ;;
    --daemon) daemon=$(realpath "$2") ;;
    *) usage ;;
    esac
    shift 2
done
[ $# = 0 ] || usage
if [ "$(id -u)" != 0 ] || ! command -v haproxy >/dev/null; then
    skip_suite "front test" "needs root, for network namespaces, and haproxy"
fi

work=$(mktemp -d)
ns=frt-$$
pids=()
failed=0

cleanup() {
    local pid name
    for pid in "${pids[@]}"; do
        kill -CONT "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    for name in f d1 d2 d3; do
        [ ! -e "/run/netns/$ns-$name" ] || ip netns del "$ns-$name"
        rm -rf "/etc/netns/$ns-$name"
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# row NAME DETAIL VERDICT: PASS when VERDICT is yes, else FAIL with DETAIL.
row() {
    if [ "$3" = yes ]; then
        echo "PASS: $1"
    else
        echo "FAIL: $1 ($2)"
        failed=$((failed + 1))
    fi
}
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }
restarts() { grep -c '^\[!\] Restarting due to error' "$work/d$1.console" || true; }
# inside NAME COMMAND...: runs COMMAND in namespace NAME.
inside() { ip netns exec "$ns-$1" "${@:2}"; }

# HAProxy makes a resolver of the name servers in /etc/resolv.conf and sends to them at
# start; ip netns exec mounts this file over it, so that it knows only loopback's.
new_namespace() {
    ip netns add "$ns-$1"
    ip -n "$ns-$1" link set lo up
    inside "$1" sysctl -qw net.ipv4.conf.all.route_localnet=1
    mkdir -p "/etc/netns/$ns-$1"
    echo "nameserver 127.0.0.1" >"/etc/netns/$ns-$1/resolv.conf"
}

# A namespace's loopback addresses reach no other namespace, and HAProxy, once it has
# dropped to user haproxy, may not enter one (its `namespace` keyword needs
# CAP_SYS_ADMIN). So each daemon's namespace is linked to HAProxy's by a veth pair with
# addresses in 127.0.0.0/8, which route_localnet lets leave the loopback interface:
# HAProxy's side is 127.1.I.1, daemon I's 127.1.I.2.
link_to_front() {
    ip link add "frt$$-f$1" netns "$ns-f" type veth peer name "frt$$-d$1" netns "$ns-d$1"
    ip -n "$ns-f" addr add "127.1.$1.1/24" dev "frt$$-f$1"
    ip -n "$ns-d$1" addr add "127.1.$1.2/24" dev "frt$$-d$1"
    ip -n "$ns-f" link set "frt$$-f$1" up
    ip -n "$ns-d$1" link set "frt$$-d$1" up
}

# start_daemon I: daemon I in its namespace; returns once it waits for clients.
start_daemon() {
    new_namespace "d$1"
    link_to_front "$1"
    ip netns exec "$ns-d$1" "$daemon" 0 1000 >"$work/d$1.console" 2>&1 &
    pids+=($!)
    daemon_pid[$1]=$!
    for _ in $(seq 100); do
        ! grep -q '^\[\*\] Waiting for client connections' "$work/d$1.console" || return 0
        sleep 0.05
    done
    echo "front_test: daemon $1 did not start: $(cat "$work/d$1.console")" >&2
    exit 1
}

# start_front: HAProxy over the three daemons, started as Debian's haproxy.service starts
# it (as root, master and worker); its log (server state changes) goes to a file.
start_front() {
    local out
    sed 's/^\(\s*server\s\+\S\+\s\+\)192\.0\.2\.\([1-3]\):80\b/\1127.1.\2.2:80/' "$config" >"$work/haproxy.cfg"
    if ! grep -q '^\s*server\s\+\S\+\s\+127\.1\.[1-3]\.2:80\b' "$work/haproxy.cfg" ||
        grep -q '192\.0\.2\.' "$work/haproxy.cfg"; then
        echo "front_test: $config: expected server lines at 192.0.2.1 to 192.0.2.3:80" >&2
        exit 1
    fi
    inside f haproxy -c -q -f "$work/haproxy.cfg"
    ip netns exec "$ns-f" haproxy -Ws -f "$work/haproxy.cfg" -p "$work/haproxy.pid" >"$work/haproxy.log" 2>&1 &
    pids+=($!)
    master=$!
    for _ in $(seq 100); do # an answer, right or wrong: the rows judge it
        out=$(inside f "$client" load 0.1 1 0)
        [ $(($(field served "$out") + $(field garbled "$out"))) = 0 ] || return 0
        sleep 0.05
    done
    echo "front_test: the front does not echo: $(cat "$work/haproxy.log")" >&2
    exit 1
}

# The process that handles clients is the master's child, the worker.
check_unprivileged() {
    local worker uid root want ok=no
    want=$(id -u haproxy)
    worker=$(pgrep -P "$master" | head -1)
    uid=$(awk '$1 == "Uid:" { print $2 "," $3 "," $4 "," $5 }' "/proc/$worker/status")
    root=$(readlink "/proc/$worker/root")
    [ "$uid" = "$want,$want,$want,$want" ] && [ "$root" = /var/lib/haproxy ] && ok=yes
    row "HAProxy serves as user haproxy in the chroot /var/lib/haproxy" "uids $uid, root $root" $ok
}

# Ordinary clients beside idle ones, for longer than HAProxy's inspect delay (5 s): an idle
# client let through after it would hold a daemon for the daemon's own idle bound.
check_exchanges_beside_idle() {
    local out right=no quick=no
    out=$(inside f "$client" load 7 4 3)
    [ "$(field served "$out")" -gt 0 ] && [ "$(field failed "$out")" = 0 ] && [ "$(field garbled "$out")" = 0 ] &&
        right=yes
    [ "$(field wait_max_ms "$out")" -lt 1000 ] && quick=yes
    row "every exchange through the front comes back right" "$out" $right
    row "idle clients beside the load do not slow the others" "$out" $quick
}

# reset_during_load SECONDS COUNT DAEMON...: ordinary clients come through the front for
# SECONDS while each DAEMON is reset COUNT times, 4 s apart, from its own namespace (a
# reset fails the daemon's read: a launch and a 3-second pause). Sets load and made, the
# restarts that followed.
reset_during_load() {
    local seconds=$1 count=$2 i before=() resetters=() resets=0
    shift 2
    for i in "$@"; do
        before[i]=$(restarts "$i")
        (sleep 0.5 && inside "d$i" "$client" reset "$count" 4000 '' >"$work/resets-$i") &
        resetters+=($!)
    done
    pids+=("${resetters[@]}")
    load=$(inside f "$client" load "$seconds" 4 0)
    wait "${resetters[@]}"
    for i in "$@"; do
        resets=$((resets + $(field resets "$(cat "$work/resets-$i")")))
    done
    resets_made=$((resets_made + resets))
    for _ in $(seq 50); do # each restart line comes after its pause
        made=0
        for i in "$@"; do
            made=$((made + $(restarts "$i") - before[i]))
        done
        [ "$made" -lt "$resets" ] || break
        sleep 0.1
    done
}
# at_most_one_a_restart: yes when a restart happened and the load lost at most one
# exchange for each.
at_most_one_a_restart() {
    local lost=$(($(field failed "$load") + $(field garbled "$load")))
    [ "$made" -ge 1 ] && [ "$lost" -le "$made" ] && echo yes || echo no
}

check_failing_daemon() {
    local quick=no
    reset_during_load 8.5 2 1
    row "a failing daemon costs at most one exchange a restart" "$load; restarts $made" "$(at_most_one_a_restart)"
    [ "$(field wait_max_ms "$load")" -lt 1000 ] && quick=yes
    row "no client of a failing daemon waits a second" "$load" $quick
}

# With every daemon in its pause, clients wait for one to come back instead of failing.
check_shared_pause() {
    reset_during_load 5 1 1 2 3
    row "while every daemon pauses at once, at most one exchange is lost a restart" "$load; restarts $made" \
        "$(at_most_one_a_restart)"
}

check_large_payloads() {
    local size out counts="" all=yes
    for size in 16384 32768 65536 1048576; do
        out=$(inside f "$client" large "$size" 40)
        counts+=" $size:$(field echoed "$out")"
        [ "$(field echoed "$out")" = 40 ] || all=no
    done
    row "40 of 40 clients that send 16 KiB to 1 MiB get their first 64 bytes back" "bytes:echoes$counts" $all
}

# Every launch beyond daemon 1's resets was spent by a health check.
check_health_checks() {
    local spent=$(($(restarts 1) + $(restarts 2) + $(restarts 3) - resets_made)) none=no
    [ "$spent" = 0 ] && none=yes
    row "health checks spend no launch" "restarts $(restarts 1), $(restarts 2), $(restarts 3); resets $resets_made" $none
}

# A frozen daemon holds port 80, and its kernel completes handshakes, but it answers
# nothing, like one whose console nobody reads. Last: once thawed, it meets the checks
# that gave up on it, reset, and spends launches.
check_frozen_daemon() {
    local down=no seen
    seen=$(wc -l <"$work/haproxy.log")
    kill -STOP "${daemon_pid[3]}"
    for _ in $(seq 80); do
        ! tail -n +"$((seen + 1))" "$work/haproxy.log" | grep -q '/d3 is DOWN' || down=yes
        [ $down = no ] || break
        sleep 0.1
    done
    kill -CONT "${daemon_pid[3]}"
    row "a frozen daemon leaves rotation" "not marked down within 8 s" $down
}

declare -A daemon_pid
resets_made=0
new_namespace f
for i in 1 2 3; do
    start_daemon "$i"
done
start_front
check_unprivileged
check_exchanges_beside_idle
check_failing_daemon
check_shared_pause
check_large_payloads
check_health_checks
check_frozen_daemon
[ $failed = 0 ]
