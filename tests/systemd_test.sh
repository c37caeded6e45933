#!/bin/bash
# Tests the Debian package under a real systemd as PID 1: a Debian 12 container booted
# with systemd-nspawn, where the unit's sandbox, the daemon's restart chain inside it,
# the restart policy, an upgrade from the previous release (built from this repository's
# history, in the background while the container boots) and removal and purge are
# checked. One PASS or FAIL line per check; exit status 1 if any failed, the container's
# boot included. Skipped, with one line, only where the host lacks what the test needs:
# root, CAP_SYS_ADMIN, a tool, or (to make the cached Debian tree) a Debian archive
# among apt's sources. History missing from a shallow clone is a failure, not a skip.
# Usage: tests/systemd_test.sh DEB [PREVIOUS_DEB]   (as root; PREVIOUS_DEB saves the build)
# shellcheck disable=SC2016 # the Perl clients are single-quoted on purpose
set -euo pipefail
shopt -s inherit_errexit
# shellcheck source=tests/rows.sh
source "$(dirname "${BASH_SOURCE[0]}")/rows.sh"
[ $# -ge 1 ] || { echo "usage: $0 DEB [PREVIOUS_DEB]" >&2; exit 2; }
deb=$(realpath "$1")
previous_deb=${2:+$(realpath "$2")}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
cache=/var/cache/echo-daemon-tests
base=$cache/bookworm
unit=echo-daemon.service

skip() { skip_suite "systemd test" "$1"; }
[ "$(id -u)" = 0 ] || skip "not root"
for tool in debootstrap systemd-nspawn nsenter setsid git dpkg-parsechangelog; do
    command -v "$tool" >/dev/null || skip "no $tool"
done
(($(awk '$1 == "CapEff:" { print "0x" $2 }' /proc/self/status) >> 21 & 1)) || skip "no CAP_SYS_ADMIN"

# ---- The cached Debian 12 tree

# The host's own mirror of the main archive: the first source of a release suite (no
# -security or -updates), from deb822 files or the one-line format.
mirror() {
    local sources=(/etc/apt/sources.list.d/*.sources) list=/etc/apt/sources.list
    {
        [ ! -e "${sources[0]}" ] || awk 'FNR == 1 || NF == 0 { uri = ""; suites = "" }
            tolower($1) == "uris:" { uri = $2 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i !~ /-/) suites = 1 }
            uri != "" && suites { print uri; exit }' "${sources[@]}"
        [ ! -e "$list" ] || awk '$1 == "deb" { sub(/\[[^]]*\]/, ""); if ($3 !~ /-/) { print $2; exit } }' "$list"
    } | sed -n 1p
}
make_tree() {
    [ ! -d "$base" ] || return 0
    mkdir -p "$cache"
    local archive
    archive=$(mirror)
    # The tree comes from the archive the host already uses, and from nowhere else: a
    # host without one (another distribution) cannot run the test, which says nothing
    # about the package. Once a mirror is named, debootstrap failing is a failure.
    [ -n "$archive" ] || skip "no Debian archive among apt's sources"
    # A run killed halfway leaves only the .part tree, which the next run starts over.
    (
        flock -w 600 9 || { echo "FAIL: another run held $cache/lock for 10 minutes"; exit 1; }
        [ -d "$base" ] && exit
        rm -rf "$base.part"
        timeout 900 debootstrap --variant=minbase \
            --include=systemd,systemd-sysv,dbus,libnss-systemd,netcat-openbsd,iproute2 \
            bookworm "$base.part" "$archive" >"$cache/debootstrap.log" 2>&1 ||
            { echo "FAIL: debootstrap of Debian 12 from $archive (see $cache/debootstrap.log)"; exit 1; }
        mv "$base.part" "$base"
    ) 9>"$cache/lock"
}

# ---- The previous release, built from the commit that carried it

# The commit before the one that opened the changelog's top entry (HEAD itself while
# that entry is not committed yet), checked to carry the entry below it.
previous_release_commit() {
    local log=debian/changelog package top previous opened commit=HEAD shallow
    package=$(dpkg-parsechangelog -l "$source_dir/$log" -SSource)
    top=$(dpkg-parsechangelog -l "$source_dir/$log" -SVersion)
    previous=$(dpkg-parsechangelog -l "$source_dir/$log" -o1 -c1 -SVersion)
    shallow=$(git -C "$source_dir" rev-parse --is-shallow-repository 2>&1) || { echo "$shallow"; return 1; }
    if [ "$shallow" = false ]; then shallow=; else shallow=" (the clone is shallow: git fetch --unshallow)"; fi
    opened=$(git -C "$source_dir" log --format=%H -S"$package ($top)" -- "$log" | tail -n 1)
    [ -z "$opened" ] || commit=$opened^
    commit=$(git -C "$source_dir" rev-parse -q --verify "$commit^{commit}") ||
        { echo "no commit before the one that opened $top in the history$shallow"; return 1; }
    [ "$(git -C "$source_dir" show "$commit:$log" | dpkg-parsechangelog -l - -SVersion)" = "$previous" ] ||
        { echo "commit $commit does not carry $previous$shallow"; return 1; }
    echo "$commit"
}
# DIR: unpacks the previous release into DIR/source and starts its own build-deb.sh in
# a process group of its own (cleanup ends it); sets previous_build, or previous_problem.
start_previous_build() {
    local commit
    commit=$(previous_release_commit) || { previous_problem=$commit; return 0; }
    mkdir "$1/source"
    # build-deb.sh copies the files git lists: a repository of its own, nothing committed.
    { git -C "$source_dir" archive "$commit" | tar -C "$1/source" -xf - && git -C "$1/source" init -q; } ||
        { previous_problem="git archive of $commit failed"; return 0; }
    setsid "$1/source/packaging/build-deb.sh" "$1/source" "$1/out" >"$1/deb" 2>"$1/log" &
    previous_build=$!
}
await_previous_build() {
    [ -z "$previous_deb" ] && [ -n "$previous_build" ] || return 0
    if wait "$previous_build"; then
        previous_deb=$(cat "$run/previous/deb")
    else
        previous_problem="its build failed: $(tail -n 1 "$run/previous/log")"
    fi
    previous_build=
}

# ---- The container

container_init=
nspawn=
cleanup() {
    [ -z "${previous_build:-}" ] || kill -- -"$previous_build" 2>/dev/null || true
    if [ -n "$nspawn" ]; then
        kill -TERM "$nspawn" 2>/dev/null || true
        timeout 20 tail --pid="$nspawn" -f /dev/null ||
            kill -KILL "$nspawn" ${container_init:+"$container_init"} 2>/dev/null || true
        timeout 10 tail --pid="$nspawn" -f /dev/null || true
    fi
    # Left behind when /run is not a tmpfs.
    rm -rf "/run/systemd/nspawn/propagate/$name"
    umount "$root" 2>/dev/null || umount -l "$root" 2>/dev/null || true
    rm -rf --one-file-system "$run"
}
# Each run boots an overlay (or, without overlayfs, a copy) of the cached tree, so the
# cache stays as debootstrap left it.
start_container() {
    mkdir "$run/upper" "$run/work" "$root"
    mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$root" 2>/dev/null ||
        cp -a "$base/." "$root"
    systemd-nspawn -D "$root" -M "$name" -b --register=no --keep-unit --private-network \
        --console=read-only >"$run/console.log" 2>&1 &
    nspawn=$!
}
in_container() { # COMMAND...: run inside the container, with a clean environment and a time limit
    nsenter -t "$container_init" -a timeout -k 5 60 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
booted() {
    [ -d "/proc/$nspawn" ] || { echo "systemd-nspawn exited"; return 0; }
    container_init=$(pgrep -P "$nspawn" -x systemd) || { echo "no container init"; return 1; }
    # is-system-running fails on "degraded" (a unit of the container failed), which is
    # booted all the same: the state is read first and compared after.
    local system_state
    system_state=$(in_container systemctl is-system-running --wait 2>&1) || true
    echo "$system_state"
    [[ $system_state == running || $system_state == degraded ]]
}
# A container that does not boot is a failure: the host has all the test needs.
booted_state() {
    echo "${boot_state:-no state}"
    [[ $boot_state == running || $boot_state == degraded ]] || { tail -n 1 "$run/console.log"; return 1; }
}

# ---- Rows and what they share

unchecked() { "$@" >/dev/null 2>&1 || true; } # a setup step: the rows after it tell
unit_property() { in_container systemctl show -P "$1" "$unit"; }
property_is() { # PROPERTY VALUE
    local value
    value=$(unit_property "$1")
    [ "$value" = "$2" ] || { echo "$1=$value"; return 1; }
}
echoes() {
    local reply
    reply=$(printf hello | in_container nc -N -w 5 127.0.0.1 80 2>&1)
    [ "$reply" = hello ] || { echo "reply '$reply', unit $(unit_property ActiveState)"; return 1; }
}
status_is() { # FIELD=VALUE...: lines of the main process's /proc status
    in_container cat "/proc/$(unit_property MainPID)/status" | awk -v want="$*" '
        BEGIN { n = split(want, w, " "); for (i = 1; i <= n; i++) { split(w[i], kv, "="); need[kv[1] ":"] = kv[2] } }
        $1 in need { if ($2 != need[$1]) bad = bad " " $1 " " $2; delete need[$1] }
        END { for (k in need) bad = bad " " k " missing"; if (bad != "") { print substr(bad, 2); exit 1 } }'
}
journal_has() { # [-PID] TEXT...: each text is in the unit's journal (of that process alone)
    local journal filter=(-u "$unit") text
    [[ $1 != -* ]] || { filter+=("_PID=${1#-}"); shift; }
    journal=$(in_container journalctl "${filter[@]}" -o cat --no-pager)
    for text; do grep -qF -- "$text" <<<"$journal" || { echo "no '$text'"; return 1; }; done
}
count_in_journal() { in_container journalctl -u "$unit" -o cat --no-pager | grep -cF -- "$1" || true; }
no_daemon() {
    local pids
    pids=$(in_container sh -c 'grep -lx echo-daemon /proc/[0-9]*/comm' 2>/dev/null || true)
    [ -z "$pids" ] || { echo "still running: $pids"; return 1; }
}
reset_client() {
    in_container perl -MSocket -e 'my $s; socket($s, PF_INET, SOCK_STREAM, 0)
        && connect($s, sockaddr_in(80, inet_aton("127.0.0.1")))
        && setsockopt($s, SOL_SOCKET, SO_LINGER, pack("ii", 1, 0)) or die "$!\n"; close $s'
}
connect_refused() {
    in_container perl -MSocket -e 'my $s; socket($s, PF_INET, SOCK_STREAM, 0) or die "$!\n";
        connect($s, sockaddr_in(80, inet_aton("127.0.0.1"))) and die "port 80 accepts\n";
        $!{ECONNREFUSED} or die "$!\n"'
}
drop_in() { # NAME LINES...: a drop-in for the unit's [Service], loaded; no NAME removes them all
    local dir=$root/etc/systemd/system/$unit.d
    if [ $# = 0 ]; then rm -rf "$dir"; else
        mkdir -p "$dir"
        printf '[Service]\n' >"$dir/$1.conf"
        printf '%s\n' "${@:2}" >>"$dir/$1.conf"
    fi
    in_container systemctl daemon-reload
}

# ---- Install, and the sandbox

installs() { in_container dpkg -i /root/current.deb >/dev/null; }
left_alone() {
    local enabled
    enabled=$(in_container systemctl is-enabled "$unit")
    { [ "$enabled" = disabled ] && property_is ActiveState inactive; } || { echo "$enabled"; return 1; }
}
enables() {
    { in_container systemctl enable "$unit" >/dev/null 2>&1 &&
        in_container test -L "/etc/systemd/system/multi-user.target.wants/$unit"; } ||
        { echo "no link in multi-user.target.wants"; return 1; }
}
starts() { in_container systemctl start "$unit" && property_is ActiveState active; }
test_install() {
    check "installs with dpkg -i" installs
    check "install neither enables nor starts it" left_alone
    check "systemctl enable links it into multi-user.target.wants" enables
    check "systemctl start: active" starts
    check "echoes over loopback" retry 5 echoes
}

dynamic_user() {
    local uid
    uid=$(in_container stat -c %u "/proc/$(unit_property MainPID)")
    { ((uid >= 61184 && uid <= 65519)) && ! in_container cut -d: -f3 /etc/passwd | grep -qx "$uid" &&
        property_is DynamicUser yes; } || { echo "uid $uid"; return 1; }
}
# systemd-nspawn's own filter is inherited by every process in the container, so Seccomp 2
# alone proves nothing: the unit's filters come on top of those of the container's init.
own_filter() {
    local init mine
    init=$(in_container awk '$1 == "Seccomp_filters:" { print $2 }' /proc/1/status)
    mine=$(in_container awk '$1 == "Seccomp_filters:" { print $2 }' "/proc/$(unit_property MainPID)/status")
    { status_is Seccomp=2 && ((mine > init)); } || { echo "filters: $mine, the container's init $init"; return 1; }
}
# What systemd-analyze security finds open in the unit file as shipped, item by item (the
# rounded score hides one more), with the container's systemd whatever the host runs: a
# daemon that serves any address on port 80 from the system's own tree, as a dynamic user
# holding the one capability it needs, which a user namespace would void.
expected_unmet="AmbientCapabilities= CapabilityBoundingSet=~CAP_NET_(BIND_SERVICE|BROADCAST|RAW) \
DeviceAllow= IPAddressDeny= PrivateNetwork= PrivateUsers= RestrictAddressFamilies=~AF_(INET|INET6) \
RootDirectory=/RootImage="
unmet_security_items() {
    local unmet
    unmet=$(in_container systemd-analyze security --offline=true "/usr/lib/systemd/system/$unit" |
        awk '$1 == "✗" { print $2 }' | sort | xargs)
    [ "$unmet" = "$expected_unmet" ] || { echo "unmet: ${unmet:-none found}"; return 1; }
}
test_sandbox() {
    check "runs as a dynamic user" dynamic_user
    local caps=0000000000000400
    check "capabilities exactly CAP_NET_BIND_SERVICE" \
        status_is "CapEff=$caps" "CapPrm=$caps" "CapAmb=$caps" "CapBnd=$caps"
    check "no new privileges" status_is NoNewPrivs=1
    check "seccomp filter of its own" own_filter
    check "console lines in the journal" retry 5 journal_has "[*] Launching /usr/sbin/echo-daemon service" \
        "[*] Listening on port 80" "[*] Waiting for client connections" "[*] Replied to client echo"
    check "systemd-analyze security: only the expected items unmet" unmet_security_items
}

# ---- The restart chain: a re-execution, and chains that end

# A client that resets before sending fails the daemon's read (tag 72): the same process
# pauses 3 s and re-executes with launch count 1.
sandbox_of() { in_container grep -E '^(Uid|Gid|Cap|NoNewPrivs|Seccomp)' "/proc/$1/status"; }
reexecuted() { # PID
    journal_has "-$1" "[!] Restarting due to error in main:72 main" &&
        [ "$(in_container journalctl "_PID=$1" -o cat | grep -cF '[*] Launching')" = 2 ] && property_is MainPID "$1"
}
next_command_line() { # PID
    local command_line
    command_line=$(in_container cat "/proc/$1/cmdline" | tr '\0' ' ')
    [ "$command_line" = "/usr/sbin/echo-daemon 1 5 " ] || { echo "cmdline '$command_line'"; return 1; }
}
same_sandbox() { diff <(echo "$2") <(sandbox_of "$1"); } # PID BEFORE
test_reexecution() {
    local first before
    first=$(unit_property MainPID)
    before=$(sandbox_of "$first") || true
    unchecked reset_client
    check "a reset client restarts the chain in the same process (tag 72)" retry 10 reexecuted "$first"
    check "the next image runs /usr/sbin/echo-daemon 1 5" next_command_line "$first"
    check "user, capabilities and seccomp unchanged over the re-execution" same_sandbox "$first" "$before"
    check "echoes after the re-execution" retry 5 echoes
}

# Linux refuses the daemon's bind (0.0.0.0, SO_REUSEADDR) while a socket listens on 80.
bind_refused() {
    in_container perl -MSocket -e 'my $s; socket($s, PF_INET, SOCK_STREAM, 0)
        && setsockopt($s, SOL_SOCKET, SO_REUSEADDR, 1) or die "$!\n";
        bind($s, sockaddr_in(80, INADDR_ANY)) and die "bind succeeded\n"; $!{EADDRINUSE} or die "$!\n"'
}
watch_chains() { # N SECONDS: "STATUS GAP_MS" for each of N chain ends that a new chain follows
    local ends_left=$1 end=$((SECONDS + $2)) start=0 ended_at=0 status=0 key value
    local -A shown
    while ((ends_left > 0 && SECONDS < end)); do
        while IFS='=' read -r key value; do shown[$key]=$value; done < <(in_container systemctl show "$unit" \
            -p ActiveState -p ExecMainStartTimestampMonotonic -p ExecMainExitTimestampMonotonic -p ExecMainStatus)
        [ "${shown[ActiveState]}" != failed ] || { echo failed; return; }
        if ((shown[ExecMainExitTimestampMonotonic] > shown[ExecMainStartTimestampMonotonic])); then
            ended_at=${shown[ExecMainExitTimestampMonotonic]} status=${shown[ExecMainStatus]}
        fi
        if ((shown[ExecMainStartTimestampMonotonic] != start)); then
            if ((start != 0 && ended_at >= start)); then
                echo "$status $(((shown[ExecMainStartTimestampMonotonic] - ended_at) / 1000))"
                ends_left=$((ends_left - 1))
            fi
            start=${shown[ExecMainStartTimestampMonotonic]}
        fi
        sleep 0.5
    done
}
chain_ends() { # CHAINS
    local bad
    bad=$(awk '$1 != 1 && $1 != "failed" { printf "status %s ", $1 }' <<<"$1")
    { [ -z "$bad" ] && (($(count_in_journal "main:51 main") >= 4)) &&
        (($(count_in_journal "Maximum number of errors (1) reached") >= 4)); } ||
        { echo "${bad}tag 51 $(count_in_journal "main:51 main"), budget $(count_in_journal "(1) reached")"; return 1; }
}
followed() { # CHAINS
    awk '$1 == "failed" { failed = 1; next }
        { k++; gaps = gaps " " $2 / 1000 "s"; if ($2 > 10000) late = 1 }
        END { print k + 0 " of 4 ends followed:" gaps (failed ? ", then the unit failed" : "")
            exit failed || late || k < 4 }' <<<"$1"
}
no_start_limit() { # an interval or a burst of 0 turns systemd's start limit off
    local interval burst
    interval=$(unit_property StartLimitIntervalUSec) burst=$(unit_property StartLimitBurst)
    echo "StartLimitIntervalUSec=$interval StartLimitBurst=$burst"
    [[ $interval == 0 || $burst == 0 ]]
}
# A persistent fault (port 80 held by another listener) must bring a fresh chain after
# each one ends, for as long as it lasts, and no start limit may give up on the unit:
# nobody runs reset-failed.
test_finished_chains() {
    unchecked in_container systemctl stop "$unit"
    unchecked in_container systemd-run -q --unit=holder nc -lk 127.0.0.1 80
    check "a listener on port 80 refuses the daemon's bind" retry 5 bind_refused
    # Test-only: a budget of one launch ends each chain after a single 3-second pause, so
    # that several chains fit in the test; the restart policy under test stays the package's.
    drop_in budget ExecStart= "ExecStart=/usr/sbin/echo-daemon 0 1"
    unchecked in_container systemctl start "$unit"
    # Four ends: chain after chain while the fault lasts. A start limit at systemd's default
    # (5 starts in 10 s) never sees chains 8 s apart; the loaded unit shows whether it has one.
    local chains
    chains=$(watch_chains 4 58)
    check "each chain ends with status 1 after tag 51 and the budget message" chain_ends "$chains"
    check "a fresh chain within 10 s of each end, 4 in a row, never failed" followed "$chains"
    check "the loaded unit has no start limit" no_start_limit
    unchecked in_container systemctl stop holder
    check "serves again once port 80 is free, without reset-failed" retry 15 echoes
}

# ---- Starts that fail, stray signals, and the ends that are for good

# A start whose program cannot run is reported as failed: with Type=simple, systemctl
# start would succeed before the exec fails, and whoever started it would not know.
start_fails_without_program() {
    drop_in missing ExecStart= "ExecStart=/usr/sbin/no-such-echo-daemon 0 5"
    ! in_container systemctl start "$unit" >/dev/null 2>&1 || { echo "systemctl start succeeded"; return 1; }
    property_is ExecMainStatus 203
}
test_failed_start() {
    unchecked drop_in
    unchecked in_container systemctl stop "$unit"
    check "a start whose program is missing fails (status 203)" start_fails_without_program
    unchecked drop_in
    unchecked in_container systemctl stop "$unit"
    unchecked in_container systemctl reset-failed "$unit"
}

started_and_serving() { in_container systemctl start "$unit" && retry 5 echoes >/dev/null; }
signal_main() { in_container sh -c 'kill -s "$1" "$2"' - "$@"; } # SIGNAL PID, sent from outside systemd
serving_again() { # PID RESTARTS: a new main process serves, after one more restart
    local now restarts
    now=$(unit_property MainPID) restarts=$(unit_property NRestarts)
    { [[ $now != 0 && $now != "$1" ]] && ((restarts > $2)) && echoes >/dev/null; } ||
        { echo "MainPID $1 -> $now, restarts $2 -> $restarts, $(unit_property ActiveState)"; return 1; }
}
# An operator's "kill -HUP to reload", or a SIGINT, ends the daemon, which handles neither.
restarted_after() { # SIGNAL
    local pid restarts
    started_and_serving || { echo "not serving before the signal"; return 1; }
    pid=$(unit_property MainPID) restarts=$(unit_property NRestarts)
    signal_main "$1" "$pid" || return
    retry 12 serving_again "$pid" "$restarts" # RestartSec, and time to spare
}
ended() { # SECONDS: after that long, nothing of the service runs or answers
    sleep "$1"
    property_is ActiveState inactive && no_daemon || return
    ! echoes >/dev/null || { echo "port 80 still answers"; return 1; }
}
# The pause is proven first: the reset was sent, port 80 refuses, and the main process has
# not logged its restart line.
stops_in_pause() {
    local pid
    started_and_serving || { echo "not serving before the reset"; return 1; }
    pid=$(unit_property MainPID)
    reset_client || { echo "the reset client failed"; return 1; }
    retry 2 connect_refused >/dev/null || { echo "port 80 still accepts after the reset: no pause"; return 1; }
    ! journal_has "-$pid" "[!] Restarting" >/dev/null || { echo "the pause was over before the stop"; return 1; }
    in_container timeout 15 systemctl stop "$unit" || { echo "stop failed or took over 15 s"; return 1; }
    ended 8 # the rest of the pause and RestartSec
}
sigterm_ends() {
    started_and_serving || { echo "not serving before the signal"; return 1; }
    signal_main TERM "$(unit_property MainPID)" && ended 7 # RestartSec, 2 s to spare
}
test_signals_and_stops() {
    check "a stray SIGHUP restarts the service" restarted_after HUP
    check "a stray SIGINT restarts the service" restarted_after INT
    check "systemctl stop during the pause ends the chain for good" stops_in_pause
    check "a SIGTERM from outside systemctl ends the service for good" sigterm_ends
}

# ---- An upgrade from the previous release, and removal

# The previous release installed afresh and enabled, then running or stopped, so that
# its own maintainer scripts take part in the upgrade as on a user's machine.
install_previous() { # STATE: active or inactive
    [ -n "$previous_deb" ] || { echo "no $previous_version package: $previous_problem"; return 1; }
    in_container dpkg --purge echo-daemon >/dev/null 2>&1 || true
    in_container dpkg -i /root/previous.deb >/dev/null || { echo "dpkg -i of $previous_version failed"; return 1; }
    { in_container systemctl enable --now "$unit" 2>/dev/null && retry 5 echoes >/dev/null; } ||
        { echo "$previous_version does not serve"; return 1; }
    [ "$1" = active ] || in_container systemctl stop "$unit"
}
upgrade_leaves_stopped() {
    install_previous inactive || return
    in_container dpkg -i /root/current.deb >/dev/null || { echo "the upgrade failed"; return 1; }
    property_is ActiveState inactive && no_daemon
}
upgrade_restarts() {
    local before after program
    install_previous active || return
    before=$(unit_property MainPID)
    in_container dpkg -i /root/current.deb >/dev/null || { echo "the upgrade failed"; return 1; }
    after=$(unit_property MainPID)
    # A process left running shows its replaced program as "/usr/sbin/echo-daemon (deleted)".
    program=$(in_container readlink "/proc/$after/exe" 2>&1) || true
    { [[ $after != 0 && $after != "$before" && $program == /usr/sbin/echo-daemon ]] &&
        property_is ActiveState active && retry 5 echoes >/dev/null; } ||
        { echo "MainPID $before -> $after, running '$program'"; return 1; }
}
removes() {
    property_is ActiveState active || return
    in_container dpkg -r echo-daemon >/dev/null && no_daemon && property_is ActiveState inactive
}
purged() {
    in_container dpkg --purge echo-daemon >/dev/null || return
    local link=/etc/systemd/system/multi-user.target.wants/$unit
    # The link dangles once the unit file is gone: test -e alone would miss it.
    ! { in_container test -L "$link" || in_container test -e "$link"; } || { echo "link left"; return 1; }
    local helper=/var/lib/systemd/deb-systemd-helper left
    left=$(in_container sh -c "{ find $helper-enabled $helper-masked -name '*echo-daemon*'
        grep -rl echo-daemon $helper-enabled $helper-masked; } 2>/dev/null")
    [ -z "$left" ] || { echo "left: $left"; return 1; }
}
test_upgrade_and_removal() {
    await_previous_build
    [ -z "$previous_deb" ] || cp "$previous_deb" "$root/root/previous.deb"
    check "an upgrade from $previous_version leaves a stopped service stopped" upgrade_leaves_stopped
    check "an upgrade from $previous_version restarts the running service: the new program serves" upgrade_restarts
    # Removal of the running package, installed again should an upgrade have failed.
    unchecked in_container dpkg -i /root/current.deb
    unchecked in_container systemctl enable --now "$unit"
    check "dpkg -r stops the running service" removes
    check "dpkg --purge leaves no enablement link nor helper state" purged
}

# ---- The run

if [ -n "$previous_deb" ]; then
    previous_version=$(dpkg-deb -f "$previous_deb" Version)
else
    previous_version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -o1 -c1 -SVersion)
fi
mkdir -p "$cache"
run=$(mktemp -d "$cache/run.XXXXXX")
name=echo-daemon-test-$$
root=$run/root
previous_build='' previous_problem=''
trap cleanup EXIT
trap 'exit 130' INT TERM
if [ -z "$previous_deb" ]; then
    mkdir "$run/previous"
    start_previous_build "$run/previous"
fi
make_tree
start_container
boot_state=$(retry 60 booted) || true
check "the container boots" booted_state
((failures == 0)) || exit 1
container_init=$(pgrep -P "$nspawn" -x systemd)
cp "$deb" "$root/root/current.deb"
test_install
test_sandbox
test_reexecution
test_finished_chains
test_failed_start
test_signals_and_stops
test_upgrade_and_removal
((failures == 0))
