#!/bin/bash
# What the usual clients of port 80, port scanners and health checkers, cost echo-daemon.
#
#   bench/probers.sh BUILD_DIR [-n N]
#
# For each prober, one fresh daemon (`BUILD_DIR/echo-daemon 0 1000`) runs in a network
# namespace of its own with loopback only, the prober runs N times (default 3) against
# 127.0.0.1:80, and one table row says what it cost: the launches spent (restart lines on
# the daemon's stderr, with their tags), the exchanges served (closed-connection lines on
# its stdout), the handshakes the kernel completed on the daemon's side (TCP
# PassiveOpens), and whether the prober itself reported the port up, with what it said.
# Before each probe the daemon is back in accept(), so that a restart's 3-second pause
# never meets the next probe. Every daemon console is kept in BUILD_DIR/probers-results.
#
# Needs root (network namespaces, port 80) and these Debian packages, which it does not
# install itself: installing haproxy or prometheus-blackbox-exporter on a machine that
# runs systemd also starts their services, and the exporter's listens on every interface.
#   nmap monitoring-plugins-basic prometheus-blackbox-exporter haproxy curl
#   netcat-openbsd python3 iproute2
# A full run with N = 3 takes about 75 seconds; every step is bounded in time.
set -euo pipefail

usage() { echo "usage: bench/probers.sh BUILD_DIR [-n N]" >&2; exit 2; }
probers=(nmap-sT nmap-sV check_tcp check_tcp-s-e blackbox-tcp_connect haproxy-check
    haproxy-tcp-check curl nc-z linger-1s linger-0s)
plugins=/usr/lib/nagios/plugins
# label NAME: the prober as the table shows it.
# shellcheck disable=SC2016  # the backquotes are Markdown
label() {
    case $1 in
    nmap-*) echo "\`nmap ${1#nmap} -p 80 127.0.0.1\`" ;;
    check_tcp) echo "\`check_tcp -H 127.0.0.1 -p 80\`" ;;
    check_tcp-s-e) echo "\`check_tcp -H 127.0.0.1 -p 80 -s ping -e ping\`" ;;
    blackbox-tcp_connect) echo "blackbox exporter, module \`tcp_connect\` (prober: tcp)" ;;
    haproxy-check) echo "HAProxy \`check\`, no tcp-check" ;;
    haproxy-tcp-check) printf '%s\n' 'HAProxy `option tcp-check`, send `ping\n`, expect `ping`' ;;
    curl) echo "\`curl -sS --max-time 7 http://127.0.0.1:80/\`" ;;
    nc-z) echo "\`nc -z -w 5 127.0.0.1 80\`" ;;
    linger-1s) echo "connect, close with SO_LINGER on, 1 s" ;;
    linger-0s) echo "connect, close with SO_LINGER on, 0 s (a reset)" ;;
    esac
}
ready_line='[*] Waiting for client connections'

# ---------------------------------------------------------------------------------------
# Inside the namespace: probers.sh --probe NAME DAEMON N DIR prints one tab-separated row.
if [ "${1:-}" = --probe ]; then
    name=$2 daemon=$3 n=$4 dir=$5
    out=$dir/$name.out err=$dir/$name.err
    pids=()
    # shellcheck disable=SC2317  # run by the trap
    cleanup() {
        local pid
        for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
        for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    }
    trap cleanup EXIT
    trap 'exit 1' INT TERM
    trap 'echo "probers: $name: failed at line $LINENO" >&2' ERR
    ip link set lo up

    # tcp FIELD: a counter of this namespace's TCP statistics (they start at 0 with it).
    tcp() {
        awk -v key="$1" '$1 == "Tcp:" { if (!n++) { for (i = 2; i <= NF; i++) col[$i] = i }
            else print $(col[key]) }' /proc/net/snmp
    }
    # The daemon is idle when it blocks in accept() after its prompt, twice 0.2 s apart.
    idle() {
        [ "$(cat "/proc/$daemon_pid/wchan" 2>/dev/null)" = inet_csk_accept ] &&
            [ "$(tail -n 1 "$out")" = "$ready_line" ]
    }
    wait_idle() {
        sleep 0.2
        for _ in $(seq 100); do
            if idle; then
                sleep 0.2
                if idle; then return 0; fi
            fi
            sleep 0.1
        done
        echo "probers: $name: the daemon is not back in accept after 20 s" >&2
        exit 1
    }
    restarts() { grep -c '^\[!\] Restarting' "$err" || true; }
    served() { grep -cxF '[*] Closed client connection' "$out" || true; }
    # http_get URL: the body, with a bound; the helpers below answer on loopback only.
    http_get() { curl -s --max-time 10 "$1"; }

    "$daemon" 0 1000 >"$out" 2>"$err" &
    daemon_pid=$!
    pids+=("$daemon_pid")
    wait_idle

    # Probers that need a server of their own start it here, before the counts begin.
    case $name in
    blackbox-tcp_connect)
        printf 'modules:\n  tcp_connect:\n    prober: tcp\n    timeout: 5s\n' >"$dir/blackbox.yml"
        prometheus-blackbox-exporter --config.file="$dir/blackbox.yml" \
            --web.listen-address=127.0.0.1:9115 >"$dir/blackbox.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 50); do http_get http://127.0.0.1:9115/metrics >/dev/null && break; sleep 0.1; done
        ;;
    esac

    launches=() exchanges=() said=()
    up=0
    passive_start=$(tcp PassiveOpens)
    # probe: one run of the prober; sets ok (1 if it reported the port up) and text.
    probe() {
        local status=0 line
        ok=0 text=
        case $name in
        nmap-sT | nmap-sV)
            line=$(timeout 60 nmap "-${name#nmap-}" -p 80 127.0.0.1 | grep '^80/tcp' || true)
            text=$(tr -s ' ' <<<"${line:-no port line}")
            [[ $line == 80/tcp\ *open\ * ]] && ok=1
            ;;
        check_tcp | check_tcp-s-e)
            local extra=()
            [ "$name" = check_tcp-s-e ] && extra=(-s ping -e ping)
            line=$(timeout 20 "$plugins/check_tcp" -H 127.0.0.1 -p 80 "${extra[@]}") || status=$?
            text="exit $status: ${line%%|*}"
            [ $status = 0 ] && ok=1
            ;;
        blackbox-tcp_connect)
            line=$(http_get 'http://127.0.0.1:9115/probe?target=127.0.0.1:80&module=tcp_connect' |
                grep '^probe_success ' || true)
            text=${line:-no probe_success}
            [ "$line" = "probe_success 1" ] && ok=1
            ;;
        curl)
            : >"$dir/curl.body"
            line=$(curl -sS --max-time 7 -o "$dir/curl.body" http://127.0.0.1:80/ 2>&1) || status=$?
            text="exit $status: ${line:-no message}; wrote $(wc -c <"$dir/curl.body") bytes"
            [ $status = 0 ] && ok=1
            ;;
        nc-z)
            timeout 10 nc -z -w 5 127.0.0.1 80 || status=$?
            text="exit $status"
            [ $status = 0 ] && ok=1
            ;;
        linger-*)
            # Connect, set SO_LINGER on with the given timeout, close at once.
            line=$(timeout 10 python3 -c '
import socket, struct, sys
s = socket.create_connection(("127.0.0.1", 80), timeout=5)
s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, int(sys.argv[1])))
s.close()
print("connected, closed")' "$(tr -dc 0-9 <<<"$name")" 2>&1 | tail -n 1) || status=$?
            text="exit $status: $line"
            [ $status = 0 ] && ok=1
            ;;
        esac
        return 0
    }

    if [[ $name == haproxy-* ]]; then
        # One haproxy makes the N checks, 4 s apart: time enough for a restart to finish
        # in between. The count of checks is the namespace's count of outgoing connects.
        {
            printf 'global\n    stats socket %s mode 600 level admin\n' "$dir/haproxy.sock"
            # Without a resolvers section of this name, haproxy makes one from
            # /etc/resolv.conf and connects a UDP socket to the host's name server.
            printf 'resolvers default\n    nameserver loopback 127.0.0.1:53\n'
            printf 'defaults\n    mode tcp\n    timeout connect 2s\n    timeout client 5s\n'
            printf '    timeout server 5s\n    timeout check 2s\n'
            printf 'backend echo\n'
            if [ "$name" = haproxy-tcp-check ]; then
                printf '    option tcp-check\n    tcp-check send ping\\n\n'
                printf '    tcp-check expect string ping\n'
            fi
            printf '    server daemon 127.0.0.1:80 check inter 4s\n'
        } >"$dir/haproxy.cfg"
        active_start=$(tcp ActiveOpens)
        haproxy -db -f "$dir/haproxy.cfg" >"$dir/haproxy.log" 2>&1 &
        haproxy_pid=$!
        pids+=("$haproxy_pid")
        for _ in $(seq $((n * 50 + 50))); do
            [ $(($(tcp ActiveOpens) - active_start)) -ge "$n" ] && break
            sleep 0.1
        done
        wait_idle
        checks=$(($(tcp ActiveOpens) - active_start))
        # Fields 18 and 37 of "show stat" are the server's status and last check result.
        stat=$(python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX); s.settimeout(5); s.connect(sys.argv[1])
s.sendall(b"show stat\n"); data = b""
while chunk := s.recv(4096): data += chunk
print(data.decode())' "$dir/haproxy.sock" | awk -F, '$1 == "echo" && $2 == "daemon" { print $18 ", " $37 }')
        kill "$haproxy_pid"
        wait "$haproxy_pid" 2>/dev/null || true
        launches=("$(restarts)") exchanges=("$(served)")
        [[ $stat == UP* ]] && up=$n
        said=("${stat:-no status}, after $checks checks")
        per_probe=total
    else
        for _ in $(seq "$n"); do
            before_restarts=$(restarts) before_served=$(served)
            probe
            wait_idle
            launches+=($(($(restarts) - before_restarts)))
            exchanges+=($(($(served) - before_served)))
            up=$((up + ok))
            said+=("$text")
        done
        per_probe=each
    fi
    passive=$(($(tcp PassiveOpens) - passive_start))
    # The exporter's own page was fetched once a probe, over a connection it accepted.
    [ "$name" = blackbox-tcp_connect ] && passive=$((passive - n))
    tags=$(sed -n 's/^\[!\] Restarting due to error in main:\([0-9]*\) main$/\1/p' "$err" |
        sort -u | paste -sd, -)
    # Identical messages are given once, with their count.
    said_text=$(printf '%s\n' "${said[@]}" | sed 's/[0-9]\.[0-9]* second/N second/' |
        sort | uniq -c | sed "s/^ *\([0-9]*\) \(.*\)/\1 of $n: \2/" |
        awk '{ printf "%s%s", (NR > 1 ? "; " : ""), $0 }')
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$per_probe" "${launches[*]}" \
        "${tags:--}" "${exchanges[*]}" "$passive" "$up/$n" "$said_text"
    exit 0
fi

# ---------------------------------------------------------------------------------------
# Outside: check what is needed, then one namespace a prober.
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd)
shift
n=3
while [ $# -gt 0 ]; do
    case $1 in
    -n) [[ ${2:-} =~ ^[1-9][0-9]?$ ]] || usage; n=$2; shift ;;
    *) usage ;;
    esac
    shift
done
daemon=$build/echo-daemon
[ -x "$daemon" ] || { echo "probers: no daemon at $daemon; build it first" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "probers: run as root (network namespaces, port 80)" >&2; exit 2; }

missing=()
need() { [ -x "$(command -v "$1" 2>/dev/null)" ] || missing+=("$2"); }
need nmap nmap
need "$plugins/check_tcp" monitoring-plugins-basic
need prometheus-blackbox-exporter prometheus-blackbox-exporter
need haproxy haproxy
need curl curl
need python3 python3
need ip iproute2
need unshare util-linux
# netcat-traditional also installs an nc, without -z's behaviour measured here.
nc -h 2>&1 | grep -q OpenBSD || missing+=(netcat-openbsd)
if [ ${#missing[@]} -gt 0 ]; then
    echo "probers: missing Debian packages: ${missing[*]}" >&2
    echo "probers: install them with: apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 2
fi

results=$build/probers-results
rm -rf "$results"
mkdir -p "$results"
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
child=
trap '[ -n "$child" ] && kill "$child" 2>/dev/null; exit 1' INT TERM

rows=$results/rows.tsv
: >"$rows"
for name in "${probers[@]}"; do
    # Bounded: nmap -sV is the slowest, about 12 s a probe.
    # The prober's shell is the first process of a PID namespace too: when it ends, for
    # whatever reason, the kernel ends every process it left (a daemon, haproxy, the
    # exporter), and the network namespace goes with them.
    timeout -k 5 $((n * 40 + 30)) unshare -n -p -f --kill-child --mount-proc \
        "$self" --probe "$name" "$daemon" "$n" "$results" >>"$rows" &
    child=$!
    wait "$child" || { echo "probers: $name failed (consoles in $results)" >&2; exit 1; }
    child=
done

echo "echo-daemon against port-80 probers: $n probes each, one fresh daemon (MAX 1000) per"
echo "prober in a network namespace of its own, target 127.0.0.1:80."
echo "launches: restart lines after each probe (haproxy: in total over its $n checks);"
echo "served: closed-connection lines; handshakes: connections the kernel completed on"
echo "the daemon's side (TCP PassiveOpens); up: probes whose prober reported the port up."
echo
printf '| %s | %s | %s | %s | %s | %s | %s |\n' prober launches tags served handshakes up said
echo '|---|---|---|---|---|---|---|'
while IFS=$'\t' read -r name per launches tags exchanges passive up said; do
    if [ "$per" = total ]; then
        launches="$launches in total" exchanges="$exchanges in total" said=${said#1 of "$n": }
    fi
    printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$(label "$name")" "$launches" "$tags" \
        "$exchanges" "$passive" "$up" "$said"
done <"$rows"
echo
echo "Daemon binary: ${daemon#"$PWD"/} ($(sha256sum "$daemon" | cut -c1-12)); $(uname -sr);"
echo "$(nmap --version | head -n 1 | sed 's/ (.*//'); $(haproxy -v | head -n 1 | cut -d' ' -f1-3);"
dpkg-query -W -f '${Package} ${Version}\n' monitoring-plugins-basic \
    prometheus-blackbox-exporter curl netcat-openbsd | paste -sd';' - | sed 's/;/; /g'

