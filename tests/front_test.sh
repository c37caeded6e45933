#!/bin/bash
# The front's promises, checked: Debian's HAProxy with examples/haproxy.cfg as shipped
# (only the server addresses replaced) in front of three echo-daemons. Each daemon runs in
# a network namespace of its own, on its port 80; HAProxy runs in another, started as
# Debian's unit starts it, and reaches each daemon over a veth pair with loopback-range
# addresses. No traffic leaves the namespaces made here.
# --config, --daemon: front these instead of the shipped file and BUILD_DIR/echo-daemon,
# to see a row fail on a mistake. Needs root and haproxy; takes about 100 seconds.
set -euo pipefail
shopt -s inherit_errexit
# shellcheck source=tests/rows.sh
source "$(dirname "${BASH_SOURCE[0]}")/rows.sh"

usage() { echo "usage: tests/front_test.sh BUILD_DIR [--config FILE] [--daemon PATH]" >&2 && exit 2; }
[ $# -ge 1 ] || usage
client=$(realpath "$1")/tests/front_client daemon=$(realpath "$1")/echo-daemon && shift
config=$(realpath "$(dirname "$0")/../examples/haproxy.cfg")
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
daemon_pid=()
cleanup() {
    local name pids=("${daemon_pid[@]}" ${master:+"$master"})
    { kill -CONT "${pids[@]}"; kill "${pids[@]}"; wait "${pids[@]}"; } 2>/dev/null || true
    for name in f d1 d2 d3; do
        [ ! -e "/run/netns/$ns-$name" ] || ip netns del "$ns-$name"
        rm -rf "/etc/netns/$ns-$name"
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }
lost() { echo $(($(field failed "$1") + $(field garbled "$1"))); }
# The row's counts, from COMMAND, in $out and as its detail.
counts() { out=$("$@") && echo "$out"; }
restarts() { # I...: of daemons I..., together
    local consoles=("${@/#/$work/d}")
    cat "${consoles[@]/%/.console}" | grep -c '^\[!\] Restarting due to error' || true
}
inside() { ip netns exec "$ns-$1" "${@:2}"; } # NAME COMMAND...
die() { echo "front_test: $*" >&2 && exit 1; }

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
    daemon_pid[$1]=$!
    retry 5 grep -q '^\[\*\] Waiting for client connections' "$work/d$1.console" ||
        die "daemon $1 did not start: $(cat "$work/d$1.console")"
}

# start_front: HAProxy over the three daemons, started as Debian's haproxy.service starts
# it (as root, master and worker); its log (server state changes) goes to a file.
start_front() {
    sed 's/^\(\s*server\s\+\S\+\s\+\)192\.0\.2\.\([1-3]\):80\b/\1127.1.\2.2:80/' "$config" >"$work/haproxy.cfg"
    { grep -q '^\s*server\s\+\S\+\s\+127\.1\.[1-3]\.2:80\b' "$work/haproxy.cfg" &&
        ! grep -q '192\.0\.2\.' "$work/haproxy.cfg"; } || die "$config: expected server lines at 192.0.2.1 to 192.0.2.3:80"
    inside f haproxy -c -q -f "$work/haproxy.cfg"
    ip netns exec "$ns-f" haproxy -Ws -f "$work/haproxy.cfg" -p "$work/haproxy.pid" >"$work/haproxy.log" 2>&1 &
    master=$!
    retry 5 answers >/dev/null || die "the front does not echo: $(cat "$work/haproxy.log")"
}
answers() { # right or wrong: the rows judge it
    local out
    out=$(inside f "$client" load 0.1 1 0)
    (($(field served "$out") + $(field garbled "$out") > 0))
}

# The process that handles clients is the master's child, the worker.
unprivileged() {
    local worker ids root u g
    worker=$(pgrep -P "$master" | head -1)
    u=$(id -u haproxy) g=$(id -g haproxy)
    ids=$(awk '$1 ~ /^(Uid|Gid|Groups):$/ { $1 = ""; print }' "/proc/$worker/status" | xargs)
    root=$(readlink "/proc/$worker/root")
    echo "uids, gids, groups: $ids; root $root"
    [[ "$ids" =~ ^"$u $u $u $u $g $g $g $g"( $g)?$ ]] && [ "$root" = /var/lib/haproxy ]
}

# beside WAIT_MS SECONDS IDLE [HOLD...]: 4 ordinary clients through the front for SECONDS,
# beside IDLE clients that send nothing and the holders of `front_client hold HOLD...`;
# none may fail, come back garbled or wait WAIT_MS.
beside() {
    local limit=$1 seconds=$2 idle=$3 out
    shift 3
    [ $# = 0 ] || inside f "$client" hold "$@" >/dev/null &
    counts inside f "$client" load "$seconds" 4 "$idle" 20
    wait
    [ "$(field served "$out")" -gt 0 ] && [ "$(lost "$out")" = 0 ] && [ "$(field wait_max_ms "$out")" -lt "$limit" ]
}

# reset_during_load SECONDS COUNT DAEMON...: ordinary clients come through the front for
# SECONDS while each DAEMON is reset COUNT times, 4 s apart, from its own namespace (a
# reset fails the daemon's read: a launch and a 3-second pause). Prints the load's counts
# and the restarts that followed; each resetter's count goes to $work/resets.
reset_during_load() {
    local seconds=$1 count=$2 i before resetters=() load resets
    shift 2
    before=$(restarts "$@")
    for i in "$@"; do
        (sleep 0.5 && inside "d$i" "$client" reset "$count" 4000 '' >>"$work/resets") &
        resetters+=($!)
    done
    load=$(inside f "$client" load "$seconds" 4 0)
    wait "${resetters[@]}"
    resets=$(($(tail -n $# "$work/resets" | sed 's/resets=//' | paste -sd+)))
    echo "$load restarts=$(retry 5 restarts_since "$before" "$resets" "$@")" # each restart line comes after its pause
}
restarts_since() { # BEFORE RESETS I...: the restarts of daemons I... since BEFORE, once there are RESETS
    local made=$(($(restarts "${@:3}") - $1))
    echo "$made"
    ((made >= $2))
}

# at_most_one_a_restart FILE: a restart happened and the load lost at most one exchange for each.
at_most_one_a_restart() {
    local out
    counts cat "$1" && [ "$(field restarts "$out")" -ge 1 ] && [ "$(lost "$out")" -le "$(field restarts "$out")" ]
}
waited_under() { # MS FILE
    local out
    counts cat "$2" && [ "$(field wait_max_ms "$out")" -lt "$1" ]
}
large_echoed() { # CLIENTS PIECE_MS BYTES...: every client's echo came back, at each size; in order when paced
    local size out
    for size in "${@:3}"; do
        counts inside f "$client" large "$size" "$1" "$2" && [ "$(field echoed "$out")" = "$1" ] &&
            { [ "$2" = 0 ] || [ "$(field in_order "$out")" = "$1" ]; } || return 1
    done
}

# Every launch beyond the resets was spent by a health check.
checks_spend_nothing() {
    local spent resets=$(($(sed 's/resets=//' "$work/resets" | paste -sd+)))
    spent=$(restarts 1 2 3)
    echo "restarts $spent, resets $resets"
    [ "$spent" = "$resets" ]
}

# A frozen daemon holds port 80, and its kernel completes handshakes, but it answers
# nothing, like one whose console nobody reads. Once thawed, it meets the checks that gave
# up on it, reset, and spends launches: so it comes late.
frozen_leaves_rotation() {
    local seen
    seen=$(wc -l <"$work/haproxy.log")
    kill -STOP "${daemon_pid[3]}"
    retry 8 log_since "$seen" '/d3 is DOWN' || { kill -CONT "${daemon_pid[3]}"; return 1; }
    kill -CONT "${daemon_pid[3]}"
}
log_since() { tail -n +"$(($1 + 1))" "$work/haproxy.log" | grep -m1 "$2"; }

backend_down() {
    local status
    status=$(inside f bash -c 'exec 3<>/dev/tcp/127.0.0.1/8404 && printf "GET /;csv HTTP/1.0\r\n\r\n" >&3 &&
        cat <&3' | awk -F, '$1 == "echo-daemons" && $2 == "BACKEND" { print $18 }')
    echo "backend ${status:-not in the stats}"
    [ "$status" = DOWN ]
}

# With every daemon gone for good, the front says so, and ends a client at once instead
# of letting it wait out its retries.
all_gone_is_down() {
    local seen start=$SECONDS
    seen=$(wc -l <"$work/haproxy.log")
    kill "${daemon_pid[@]}"
    retry 12 backend_down && log_since "$seen" 'backend echo-daemons has no server available' &&
        echo "within $((SECONDS - start)) s"
}

new_namespace f
for i in 1 2 3; do start_daemon "$i"; done
start_front
: >"$work/resets"
check "HAProxy serves as user and group haproxy in the chroot /var/lib/haproxy" unprivileged
check "idle clients beside the load cost the others nothing" beside 1000 7 3
check "3 clients that send a byte and hold on cost the others nothing" beside 1500 6 0 3 0 1 0 6
check "a new client a second that sends a byte and holds on costs the others nothing" beside 1500 20 0 20 1000 1 0 10
check "3 clients that send a full chunk and hold on cost the others nothing" beside 1500 6 0 3 0 64 0 6
check "3 clients that trickle a byte every 2 s cost the others nothing" beside 1500 6 0 3 0 1 2000 6
reset_during_load 8.5 2 1 >"$work/failing"
check "a failing daemon costs at most one exchange a restart" at_most_one_a_restart "$work/failing"
check "no client of a failing daemon waits a second" waited_under 1000 "$work/failing"
reset_during_load 5 1 1 2 3 >"$work/shared"
check "while every daemon pauses at once, at most one exchange is lost a restart" at_most_one_a_restart "$work/shared"
check "40 of 40 clients that send 16 KiB to 1 MiB get their first 64 bytes back" \
    large_echoed 40 0 16384 32768 65536 1048576
check "3 clients that send a chunk, then 8 more 50 ms apart, get their echo and an orderly end" large_echoed 3 50 576
check "health checks spend no launch" checks_spend_nothing
check "a frozen daemon leaves rotation" frozen_leaves_rotation
check "with every daemon gone, the stats and the log say the backend is DOWN within 12 s" all_gone_is_down
check "with every daemon gone, a client's connection ends within 1 s" waited_under 1000 <(inside f "$client" load 1 1 0)
[ "$failures" = 0 ]
