#!/bin/bash
# Tests the Debian package under a real systemd as PID 1: a Debian 12 container booted
# with systemd-nspawn, where the unit's sandbox, the daemon's restart chain inside it,
# the restart policy for finished chains and the package's install, upgrade, removal and
# purge are checked. One PASS or FAIL line per check; exit status 1 if any failed, the
# container's boot included. Skipped, with one line, only where the host lacks what the
# test needs: root, CAP_SYS_ADMIN, a tool, or (to make the cached Debian tree) a Debian
# archive among apt's sources.
# Usage: tests/systemd_test.sh DEB [DEB_FOR_UPGRADE]   (as root; the upgrade defaults to DEB)
# shellcheck disable=SC2016 # the Perl clients are single-quoted on purpose
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 DEB [DEB_FOR_UPGRADE]" >&2; exit 2; }
deb=$(realpath "$1")
upgrade=$(realpath "${2:-$1}")
cache=/var/cache/echo-daemon-tests
base=$cache/bookworm
unit=echo-daemon.service

skip() {
    echo "systemd test: skipped ($1)"
    exit 0
}
[ "$(id -u)" = 0 ] || skip "not root"
for tool in debootstrap systemd-nspawn nsenter; do
    command -v "$tool" >/dev/null || skip "no $tool"
done
(($(awk '$1 == "CapEff:" { print "0x" $2 }' /proc/self/status) >> 21 & 1)) || skip "no CAP_SYS_ADMIN"

# The host's own mirror of the main archive: the first source of a release suite (no
# -security or -updates), from deb822 files or the one-line format.
mirror() {
    {
        awk 'FNR == 1 || NF == 0 { uri = ""; suites = "" }
        tolower($1) == "uris:" { uri = $2 }
        tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i !~ /-/) suites = 1 }
        uri != "" && suites { print uri; exit }' /etc/apt/sources.list.d/*.sources
        awk '$1 == "deb" { sub(/\[[^]]*\]/, ""); if ($3 !~ /-/) { print $2; exit } }' /etc/apt/sources.list
        true # either file may be missing
    } 2>/dev/null | sed -n 1p
}
if [ ! -d "$base" ]; then
    mkdir -p "$cache"
    m=$(mirror)
    # The tree comes from the archive the host already uses, and from nowhere else: a
    # host without one (another distribution) cannot run the test, which says nothing
    # about the package. Once a mirror is named, debootstrap failing is a failure.
    [ -n "$m" ] || skip "no Debian archive among apt's sources"
    # A run killed halfway leaves only the .part tree, which the next run starts over.
    (
        flock -w 600 9 || { echo "FAIL: another run held $cache/lock for 10 minutes"; exit 1; }
        [ -d "$base" ] && exit
        rm -rf "$base.part"
        timeout 900 debootstrap --variant=minbase \
            --include=systemd,systemd-sysv,dbus,libnss-systemd,netcat-openbsd,iproute2 \
            bookworm "$base.part" "$m" >"$cache/debootstrap.log" 2>&1 ||
            { echo "FAIL: debootstrap of Debian 12 from $m (see $cache/debootstrap.log)"; exit 1; }
        mv "$base.part" "$base"
    ) 9>"$cache/lock"
fi

# Each run boots an overlay (or, without overlayfs, a copy) of the cached tree, so the
# cache stays as debootstrap left it.
run=$(mktemp -d "$cache/run.XXXXXX")
name=echo-daemon-test-$$
root=$run/root
nspawn=
pid=
cleanup() {
    if [ -n "$nspawn" ]; then
        kill -TERM "$nspawn" 2>/dev/null || true
        timeout 20 tail --pid="$nspawn" -f /dev/null || kill -KILL "$nspawn" ${pid:+"$pid"} 2>/dev/null || true
        timeout 10 tail --pid="$nspawn" -f /dev/null || true
    fi
    # Left behind when /run is not a tmpfs.
    rm -rf "/run/systemd/nspawn/propagate/$name"
    umount "$root" 2>/dev/null || umount -l "$root" || true
    rm -rf --one-file-system "$run"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir "$run/upper" "$run/work" "$root"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$root" 2>/dev/null ||
    cp -a "$base/." "$root"
systemd-nspawn -D "$root" -M "$name" -b --register=no --keep-unit --private-network \
    --console=read-only >"$run/console.log" 2>&1 &
nspawn=$!

ct() { # COMMAND...: run inside the container, with a clean environment and a time limit
    nsenter -t "$pid" -a timeout -k 5 60 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
retry() { # SECONDS COMMAND...: until the command succeeds, every half second
    local end=$((SECONDS + $1)) out
    shift
    until out=$("$@" 2>&1); do
        ((SECONDS < end)) || { echo "$out"; return 1; }
        sleep 0.5
    done
    echo "$out"
}
booted() {
    [ -d "/proc/$nspawn" ] || { echo "systemd-nspawn exited"; return 0; }
    pid=$(pgrep -P "$nspawn" -x systemd) || { echo "no container init"; return 1; }
    # is-system-running fails on "degraded" (a unit of the container failed), which is
    # booted all the same: the state is read first and compared after.
    local s
    s=$(ct systemctl is-system-running --wait 2>&1) || true
    echo "$s"
    [[ $s == running || $s == degraded ]]
}
state=$(retry 60 booted) || true

quiet() { "$@" >/dev/null 2>&1 || true; } # a setup step: the checks after it tell
failures=0
check() { # NAME COMMAND...: a PASS or FAIL line; what the command prints is the detail
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then
        out=${out//$'\n'/; }
        echo "PASS: $name${out:+ ($out)}"
    else
        out=${out//$'\n'/; }
        echo "FAIL: $name (${out:-failed})"
        failures=$((failures + 1))
    fi
}
# A container that does not boot is a failure: the host has all the test needs.
booted_state() {
    echo "${state:-no state}"
    [[ $state == running || $state == degraded ]] || { tail -n 1 "$run/console.log"; return 1; }
}
check "the container boots" booted_state
((failures == 0)) || exit 1
pid=$(pgrep -P "$nspawn" -x systemd)
show() { ct systemctl show -P "$1" "$unit"; }
is() { # PROPERTY VALUE
    local v
    v=$(show "$1")
    [ "$v" = "$2" ] || { echo "$1=$v"; return 1; }
}
echoes() {
    local r
    r=$(printf hello | ct nc -N -w 5 127.0.0.1 80 2>&1)
    [ "$r" = hello ] || { echo "reply '$r', unit $(show ActiveState)"; return 1; }
}
status_is() { # FIELD=VALUE...: lines of the main process's /proc status
    ct cat "/proc/$(show MainPID)/status" | awk -v want="$*" '
        BEGIN { n = split(want, w, " "); for (i = 1; i <= n; i++) { split(w[i], kv, "="); need[kv[1] ":"] = kv[2] } }
        $1 in need { if ($2 != need[$1]) bad = bad " " $1 " " $2; delete need[$1] }
        END { for (k in need) bad = bad " " k " missing"; if (bad != "") { print substr(bad, 2); exit 1 } }'
}
journal_has() { # [-PID] TEXT...: each text is in the unit's journal (of that process alone)
    local j filter=(-u "$unit") t
    [[ $1 != -* ]] || { filter+=("_PID=${1#-}"); shift; }
    j=$(ct journalctl "${filter[@]}" -o cat --no-pager)
    for t; do grep -qF -- "$t" <<<"$j" || { echo "no '$t'"; return 1; }; done
}
count() { ct journalctl -u "$unit" -o cat --no-pager | grep -cF -- "$1" || true; }
no_daemon() {
    local p
    p=$(ct sh -c 'grep -lx echo-daemon /proc/[0-9]*/comm' 2>/dev/null || true)
    [ -z "$p" ] || { echo "still running: $p"; return 1; }
}
reset_client() {
    ct perl -MSocket -e 'my $s; socket($s, PF_INET, SOCK_STREAM, 0)
        && connect($s, sockaddr_in(80, inet_aton("127.0.0.1")))
        && setsockopt($s, SOL_SOCKET, SO_LINGER, pack("ii", 1, 0)) or die "$!\n"; close $s'
}

cp "$deb" "$root/root/echo-daemon.deb"
cp "$upgrade" "$root/root/upgrade.deb"
installs() { ct dpkg -i /root/echo-daemon.deb >/dev/null; }
check "installs with dpkg -i" installs
left_alone() {
    local e
    e=$(ct systemctl is-enabled "$unit")
    { [ "$e" = disabled ] && is ActiveState inactive; } || { echo "$e"; return 1; }
}
check "install neither enables nor starts it" left_alone
enables() {
    { ct systemctl enable "$unit" >/dev/null 2>&1 && ct test -L "/etc/systemd/system/multi-user.target.wants/$unit"; } ||
        { echo "no link in multi-user.target.wants"; return 1; }
}
check "systemctl enable links it into multi-user.target.wants" enables

starts() { ct systemctl start "$unit" && is ActiveState active; }
check "systemctl start: active" starts
check "echoes over loopback" echoes
dynamic_user() {
    local uid
    uid=$(ct stat -c %u "/proc/$(show MainPID)")
    { ((uid >= 61184 && uid <= 65519)) && ! ct cut -d: -f3 /etc/passwd | grep -qx "$uid" &&
        is DynamicUser yes; } || { echo "uid $uid"; return 1; }
}
check "runs as a dynamic user" dynamic_user
caps=0000000000000400
check "capabilities exactly CAP_NET_BIND_SERVICE" \
    status_is "CapEff=$caps" "CapPrm=$caps" "CapAmb=$caps" "CapBnd=$caps"
check "no new privileges" status_is NoNewPrivs=1
# systemd-nspawn's own filter is inherited by every process in the container, so Seccomp 2
# alone proves nothing: the unit's filters come on top of those of the container's init.
own_filter() {
    local init mine
    init=$(ct awk '$1 == "Seccomp_filters:" { print $2 }' /proc/1/status)
    mine=$(ct awk '$1 == "Seccomp_filters:" { print $2 }' "/proc/$(show MainPID)/status")
    { status_is Seccomp=2 && ((mine > init)); } || { echo "filters: $mine, the container's init $init"; return 1; }
}
check "seccomp filter of its own" own_filter
check "console lines in the journal" retry 5 journal_has "[*] Launching /usr/sbin/echo-daemon service" \
    "[*] Listening on port 80" "[*] Waiting for client connections" "[*] Replied to client echo"
exposure() {
    local e
    e=$(ct systemd-analyze security "$unit" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    echo "exposure ${e:-unknown}"
    awk -v e="$e" 'BEGIN { exit !(e != "" && e <= 2.0) }'
}
check "systemd-analyze security: exposure at most 2.0" exposure

# A client that resets before sending fails the daemon's read (tag 72): the same process
# pauses 3 s and re-executes with launch count 1.
first=$(show MainPID)
before=$(ct grep -E '^(Uid|Gid|Cap|NoNewPrivs|Seccomp)' "/proc/$first/status") || true
quiet reset_client
reexecuted() {
    journal_has "-$first" "[!] Restarting due to error in main:72 main" &&
        [ "$(ct journalctl "_PID=$first" -o cat | grep -cF '[*] Launching')" = 2 ] && is MainPID "$first"
}
check "a reset client restarts the chain in the same process (tag 72)" retry 10 reexecuted
cmdline() {
    local c
    c=$(ct cat "/proc/$first/cmdline" | tr '\0' ' ')
    [ "$c" = "/usr/sbin/echo-daemon 1 5 " ] || { echo "cmdline '$c'"; return 1; }
}
check "the next image runs /usr/sbin/echo-daemon 1 5" cmdline
same_sandbox() { diff <(echo "$before") <(ct grep -E '^(Uid|Gid|Cap|NoNewPrivs|Seccomp)' "/proc/$first/status"); }
check "user, capabilities and seccomp unchanged over the re-execution" same_sandbox
check "echoes after the re-execution" retry 5 echoes

# Finished chains: a persistent fault (port 80 held by another listener) must bring a
# fresh chain after each one ends, for as long as it lasts, and no start limit may give
# up on the unit: nobody runs reset-failed.
quiet ct systemctl stop "$unit"
quiet ct systemd-run -q --unit=holder nc -lk 127.0.0.1 80
# Linux refuses the daemon's bind (0.0.0.0, SO_REUSEADDR) while a socket listens on 80.
bind_refused() {
    ct perl -MSocket -e 'my $s; socket($s, PF_INET, SOCK_STREAM, 0)
        && setsockopt($s, SOL_SOCKET, SO_REUSEADDR, 1) or die "$!\n";
        bind($s, sockaddr_in(80, INADDR_ANY)) and die "bind succeeded\n"; $!{EADDRINUSE} or die "$!\n"'
}
check "a listener on port 80 refuses the daemon's bind" retry 5 bind_refused
# Test-only: a budget of one launch ends each chain after a single 3-second pause, so
# that several chains fit in the test; the restart policy under test stays the package's.
mkdir -p "$root/etc/systemd/system/$unit.d"
printf '[Service]\nExecStart=\nExecStart=/usr/sbin/echo-daemon 0 1\n' >"$root/etc/systemd/system/$unit.d/budget.conf"
quiet ct systemctl daemon-reload
quiet ct systemctl start "$unit"
watch_chains() { # N SECONDS: "STATUS GAP_MS" for each of N chain ends that a new chain follows
    local n=$1 end=$((SECONDS + $2)) start=0 exit=0 status=0 k v
    local -A p
    while ((n > 0 && SECONDS < end)); do
        while IFS='=' read -r k v; do p[$k]=$v; done < <(ct systemctl show "$unit" -p ActiveState \
            -p ExecMainStartTimestampMonotonic -p ExecMainExitTimestampMonotonic -p ExecMainStatus)
        [ "${p[ActiveState]}" != failed ] || { echo failed; return; }
        if ((p[ExecMainExitTimestampMonotonic] > p[ExecMainStartTimestampMonotonic])); then
            exit=${p[ExecMainExitTimestampMonotonic]} status=${p[ExecMainStatus]}
        fi
        if ((p[ExecMainStartTimestampMonotonic] != start)); then
            ((start == 0 || exit < start)) || { echo "$status $(((p[ExecMainStartTimestampMonotonic] - exit) / 1000))"; n=$((n - 1)); }
            start=${p[ExecMainStartTimestampMonotonic]}
        fi
        sleep 0.5
    done
}
# Four ends: chain after chain while the fault lasts. A start limit at systemd's default
# (5 starts in 10 s) never sees chains 8 s apart; the loaded unit shows whether it has one.
chains=$(watch_chains 4 58)
chain_ends() {
    local bad
    bad=$(awk '$1 != 1 && $1 != "failed" { printf "status %s ", $1 }' <<<"$chains")
    { [ -z "$bad" ] && (($(count "main:51 main") >= 4 && $(count "Maximum number of errors (1) reached") >= 4)); } ||
        { echo "${bad}tag 51 $(count "main:51 main"), budget $(count "(1) reached")"; return 1; }
}
check "each chain ends with status 1 after tag 51 and the budget message" chain_ends
followed() {
    awk '$1 == "failed" { failed = 1; next }
        { k++; gaps = gaps " " $2 / 1000 "s"; if ($2 > 10000) late = 1 }
        END { print k + 0 " of 4 ends followed:" gaps (failed ? ", then the unit failed" : "")
            exit failed || late || k < 4 }' <<<"$chains"
}
check "a fresh chain within 10 s of each end, 4 in a row, never failed" followed
no_start_limit() { # an interval or a burst of 0 turns systemd's start limit off
    local i b
    i=$(show StartLimitIntervalUSec) b=$(show StartLimitBurst)
    echo "StartLimitIntervalUSec=$i StartLimitBurst=$b"
    [[ $i == 0 || $b == 0 ]]
}
check "the loaded unit has no start limit" no_start_limit
quiet ct systemctl stop holder
check "serves again once port 80 is free, without reset-failed" retry 15 echoes

# systemctl stop in the pause after a failure ends the chain: nothing re-executes or
# starts later, not after the pause nor after RestartSec. So does a SIGTERM sent by
# anyone else (an operator's kill): it ends the process, which systemd counts as a
# clean exit, and Restart=on-failure starts nothing.
rm -r "$root/etc/systemd/system/$unit.d"
quiet ct systemctl daemon-reload
quiet ct systemctl restart "$unit"
ended() { # SECONDS: after that long, nothing of the service runs or answers
    sleep "$1"
    is ActiveState inactive && no_daemon && { ! echoes >/dev/null || { echo "port 80 still answers"; return 1; }; }
}
stops() {
    reset_client && sleep 1
    journal_has "-$(show MainPID)" "[!] Restarting" >/dev/null && { echo "no pause to stop in"; return 1; }
    ct timeout 15 systemctl stop "$unit" || { echo "stop failed or took over 15 s"; return 1; }
    ended 8
}
check "systemctl stop during the pause ends the chain for good" stops
quiet ct systemctl start "$unit"
sigterm_ends() { ct sh -c 'kill -TERM "$1"' - "$(show MainPID)" && ended 7; } # RestartSec, 2 s to spare
check "a SIGTERM from outside systemctl ends the service for good" sigterm_ends

# An upgrade restarts the service if it runs (the new program serves) and leaves it
# stopped if it is not: an operator's systemctl stop of the enabled unit outlasts it.
upgrades() { # STATE: active or inactive, before the upgrade and after it
    local before after
    before=$(show MainPID)
    is ActiveState "$1" || return
    ct dpkg -i /root/upgrade.deb >/dev/null || return
    after=$(show MainPID)
    { is ActiveState "$1" && [[ $1 == inactive || $after != "$before" ]]; } || { echo "MainPID $before -> $after"; return 1; }
}
quiet ct systemctl stop "$unit"
check "an upgrade leaves a stopped service stopped" upgrades inactive
quiet ct systemctl start "$unit"
check "an upgrade over the running service restarts it" upgrades active
removes() { ct dpkg -r echo-daemon >/dev/null && no_daemon && is ActiveState inactive; }
check "dpkg -r stops the running service" removes
purged() {
    ct dpkg --purge echo-daemon >/dev/null || return
    local link=/etc/systemd/system/multi-user.target.wants/$unit
    # The link dangles once the unit file is gone: test -e alone would miss it.
    ! { ct test -L "$link" || ct test -e "$link"; } || { echo "link left"; return 1; }
    local d=/var/lib/systemd/deb-systemd-helper left
    left=$(ct sh -c "{ find $d-enabled $d-masked -name '*echo-daemon*'; grep -rl echo-daemon $d-enabled $d-masked; } 2>/dev/null")
    [ -z "$left" ] || { echo "left: $left"; return 1; }
}
check "dpkg --purge leaves no enablement link nor helper state" purged

((failures == 0))
