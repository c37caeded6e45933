#!/bin/bash
# Tests the Debian package under a real systemd as PID 1, in a Debian 12 container booted
# with systemd-nspawn: install, the unit's sandbox, the restart chain inside it, the restart
# policy, an upgrade from the previous release (built from this repository's history while
# the container boots), removal and purge. Exits 1 if any row failed.
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
for tool in debootstrap systemd-nspawn nsenter git dpkg-parsechangelog; do
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
# From the archive the host already uses and nowhere else: a host without one (another
# distribution) cannot run the test, which says nothing about the package; once one is
# named, debootstrap failing is a failure. A run killed halfway leaves only a .part tree.
make_tree() {
    [ ! -d "$base" ] || return 0
    local archive
    archive=$(mirror)
    [ -n "$archive" ] || skip "no Debian archive among apt's sources"
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
# that entry is not committed yet), checked to carry the entry below it. History missing
# from a shallow clone is a failure, not a skip.
previous_release_commit() {
    local log=debian/changelog top opened commit=HEAD shallow=
    top=$(dpkg-parsechangelog -l "$source_dir/$log" -SVersion)
    [ "$(git -C "$source_dir" rev-parse --is-shallow-repository)" != true ] ||
        shallow=" (the clone is shallow: git fetch --unshallow)"
    opened=$(git -C "$source_dir" log --format=%H -S"echo-daemon ($top)" -- "$log" | tail -n 1)
    [ -z "$opened" ] || commit=$opened^
    commit=$(git -C "$source_dir" rev-parse -q --verify "$commit^{commit}") ||
        { echo "no commit before the one that opened $top in the history$shallow"; return 1; }
    [ "$(git -C "$source_dir" show "$commit:$log" | dpkg-parsechangelog -l - -SVersion)" = "$previous_version" ] ||
        { echo "commit $commit does not carry $previous_version$shallow"; return 1; }
    echo "$commit"
}
# Builds the previous release with its own build-deb.sh, and prints the package's path, or
# what went wrong.
build_previous() {
    local commit dir=$run/previous
    commit=$(previous_release_commit) || { echo "$commit"; return 1; }
    mkdir "$dir"
    # build-deb.sh copies the files git lists: a repository of its own, nothing committed.
    { git -C "$source_dir" archive "$commit" | tar -C "$dir" -xf - && git -C "$dir" init -q; } ||
        { echo "git archive of $commit failed"; return 1; }
    "$dir/packaging/build-deb.sh" "$dir" "$run/previous-out" 2>"$run/previous.log" ||
        { echo "its build failed: $(tail -n 1 "$run/previous.log")"; return 1; }
}

# ---- The container

container_init='' nspawn='' previous_problem=''
cleanup() {
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
# is-system-running fails on "degraded" (a unit of the container failed), which is booted
# all the same. A container that does not boot is a failure: the host has all it needs.
booted() {
    local state
    container_init=$(pgrep -P "$nspawn" -x systemd) || { echo "no init: $(tail -n 1 "$run/console.log")"; return 1; }
    state=$(in_container systemctl is-system-running --wait 2>&1) || true
    echo "$state"
    [[ $state == running || $state == degraded ]]
}

# ---- What the rows share

unchecked() { "$@" >/dev/null 2>&1 || true; } # a setup step: the rows after it tell
prints() { # EXPECTED COMMAND...: the command prints EXPECTED
    local printed
    printed=$("${@:2}") || true
    [ "$printed" = "$1" ] || { echo "${*:2}: '$printed'"; return 1; }
}
unit_property() { in_container systemctl show -P "$1" "$unit"; }
property_is() { prints "$2" unit_property "$1"; } # PROPERTY VALUE
echoes() {
    local reply
    reply=$(printf hello | in_container nc -N -w 5 127.0.0.1 80 2>&1)
    [ "$reply" = hello ] || { echo "reply '$reply', unit $(unit_property ActiveState)"; return 1; }
}
started_and_serving() {
    { in_container systemctl start "$unit" && retry 5 echoes >/dev/null; } || { echo "not serving at first"; return 1; }
}
daemon_processes() { in_container sh -c 'grep -lx echo-daemon /proc/[0-9]*/comm 2>/dev/null'; }
stopped() { # the unit inactive, no echo-daemon process left in the container, port 80 silent
    property_is ActiveState inactive && prints "" daemon_processes || return
    ! echoes >/dev/null || { echo "port 80 still answers"; return 1; }
}
status_field() { in_container awk -v field="$2:" '$1 == field { print $2 }' "/proc/$1/status"; } # PID FIELD
status_is() { # VALUE FIELD...: each field of the main process's /proc status holds the value
    local pid field
    pid=$(unit_property MainPID)
    for field in "${@:2}"; do prints "$1" status_field "$pid" "$field" || return; done
}
journal() { in_container journalctl -u "$unit" -o cat --no-pager "$@"; } # [_PID=PID]
journal_has() { # TEXT...: each text is in the unit's journal
    local lines text
    lines=$(journal)
    for text; do grep -qF -- "$text" <<<"$lines" || { echo "no '$text'"; return 1; }; done
}
count_in_journal() { journal "${@:2}" | grep -cF -- "$1" || true; } # TEXT [_PID=PID]
drop_in() { # LINES...: the unit's one drop-in, for its [Service], in place of the last; loaded
    local dir=$root/etc/systemd/system/$unit.d
    rm -rf "$dir" && mkdir "$dir"
    { echo '[Service]'; printf '%s\n' "$@"; } >"$dir/test.conf"
    in_container systemctl daemon-reload
}

# ---- The container boots while the previous release builds

previous_version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -o1 -c1 -SVersion)
[ -z "$previous_deb" ] || previous_version=$(dpkg-deb -f "$previous_deb" Version)
mkdir -p "$cache"
run=$(mktemp -d "$cache/run.XXXXXX")
name=echo-daemon-test-$$ root=$run/root
trap cleanup EXIT
trap 'exit 130' INT TERM
make_tree
start_container
[ -n "$previous_deb" ] || previous_deb=$(build_previous) || { previous_problem=$previous_deb; previous_deb=; }
check "the container boots" retry 60 booted
((failures == 0)) || exit 1
container_init=$(pgrep -P "$nspawn" -x systemd)
cp "$deb" "$root/root/current.deb"
[ -z "$previous_deb" ] || cp "$previous_deb" "$root/root/previous.deb"

# ---- Install, and the sandbox

installs() { in_container dpkg -i /root/current.deb >/dev/null; }
enables() {
    in_container systemctl enable "$unit" >/dev/null 2>&1 || { echo "systemctl enable failed"; return 1; }
    in_container test -L "/etc/systemd/system/multi-user.target.wants/$unit" || { echo "no link"; return 1; }
}
starts() { in_container systemctl start "$unit" && property_is ActiveState active; }
left_alone() { prints disabled in_container systemctl is-enabled "$unit" && property_is ActiveState inactive; }
check "installs with dpkg -i" installs
check "install neither enables nor starts it" left_alone
check "systemctl enable links it into multi-user.target.wants" enables
check "systemctl start: active" starts
check "echoes over loopback" retry 5 echoes

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
    init=$(status_field 1 Seccomp_filters) mine=$(status_field "$(unit_property MainPID)" Seccomp_filters)
    { status_is 2 Seccomp && ((mine > init)); } || { echo "filters: $mine, the container's init $init"; return 1; }
}
# What systemd-analyze security finds open in the unit file as shipped, item by item (the
# rounded score hides one more), with the container's systemd whatever the host runs: a
# daemon that serves any address on port 80 from the system's own tree, as a dynamic user
# holding the one capability it needs, which a user namespace would void.
expected_unmet="AmbientCapabilities= CapabilityBoundingSet=~CAP_NET_(BIND_SERVICE|BROADCAST|RAW) \
DeviceAllow= IPAddressDeny= PrivateNetwork= PrivateUsers= RestrictAddressFamilies=~AF_(INET|INET6) \
RootDirectory=/RootImage="
unmet_security_items() {
    in_container systemd-analyze security --offline=true "/usr/lib/systemd/system/$unit" |
        awk '$1 == "✗" { print $2 }' | sort | xargs
}
check "runs as a dynamic user" dynamic_user
check "capabilities exactly CAP_NET_BIND_SERVICE" status_is 0000000000000400 CapEff CapPrm CapAmb CapBnd
check "no new privileges" status_is 1 NoNewPrivs
check "seccomp filter of its own" own_filter
check "console lines in the journal" retry 5 journal_has "[*] Launching /usr/sbin/echo-daemon service" \
    "[*] Listening on port 80" "[*] Waiting for client connections" "[*] Replied to client echo"
check "systemd-analyze security: only the expected items unmet" prints "$expected_unmet" unmet_security_items

# ---- A re-execution: a client that resets before sending fails the daemon's read (tag 72),
# and the same process pauses 3 s and re-executes with launch count 1

sandbox_of() { in_container grep -E '^(Uid|Gid|Cap|NoNewPrivs|Seccomp)' "/proc/$1/status"; }
command_line() { in_container cat "/proc/$1/cmdline" | tr '\0' ' '; }
reexecuted() { # PID
    prints 1 count_in_journal "[!] Restarting due to error in main:72 main" "_PID=$1" &&
        prints 2 count_in_journal "[*] Launching" "_PID=$1" && property_is MainPID "$1"
}
first=$(unit_property MainPID)
before=$(sandbox_of "$first") || true
unchecked reset_client in_container
check "a reset client restarts the chain in the same process (tag 72)" retry 10 reexecuted "$first"
check "the next image runs /usr/sbin/echo-daemon 1 5" prints "/usr/sbin/echo-daemon 1 5 " command_line "$first"
check "user, capabilities and seccomp unchanged over the re-execution" diff <(echo "$before") <(sandbox_of "$first" 2>&1)
check "echoes after the re-execution" retry 5 echoes

# ---- Chains that end: a persistent fault (port 80 held by another listener) must bring a
# fresh chain after each one ends, for as long as it lasts, and no start limit may give up
# on the unit: nobody runs reset-failed

# Linux refuses the daemon's bind (0.0.0.0, SO_REUSEADDR) while a socket listens on 80.
bind_refused() {
    port_80 'setsockopt($s, SOL_SOCKET, SO_REUSEADDR, 1) or die "$!\n";
        bind($s, sockaddr_in(80, INADDR_ANY)) and die "bind succeeded\n"; $!{EADDRINUSE} or die "$!\n"' in_container
}
watch_chains() { # N SECONDS: "STATUS GAP_MS" for each of N chain ends that a new chain follows
    local ends_left=$1 end=$((SECONDS + $2)) start=0 ended_at=0 status=0 key value started exited
    local -A shown
    while ((ends_left > 0 && SECONDS < end)); do
        while IFS='=' read -r key value; do shown[$key]=$value; done < <(in_container systemctl show "$unit" \
            -p ActiveState -p ExecMainStartTimestampMonotonic -p ExecMainExitTimestampMonotonic -p ExecMainStatus)
        [ "${shown[ActiveState]}" != failed ] || { echo failed; return; }
        started=${shown[ExecMainStartTimestampMonotonic]} exited=${shown[ExecMainExitTimestampMonotonic]}
        ((exited <= started)) || ended_at=$exited status=${shown[ExecMainStatus]}
        if ((started != start && start != 0 && ended_at >= start)); then
            echo "$status $(((started - ended_at) / 1000))"
            ends_left=$((ends_left - 1))
        fi
        start=$started
        sleep 0.5
    done
}
chain_ends() { # CHAINS
    local bad tag budget
    bad=$(awk '$1 != 1 && $1 != "failed" { printf "status %s, ", $1 }' <<<"$1")
    tag=$(count_in_journal "main:51 main") budget=$(count_in_journal "Maximum number of errors (1) reached")
    echo "${bad}tag 51 $tag, budget $budget"
    [ -z "$bad" ] && ((tag >= 4 && budget >= 4))
}
followed() { # CHAINS
    awk '$1 == "failed" { failed = 1; next }
        { k++; gaps = gaps " " $2 / 1000 "s"; if ($2 > 10000) late = 1 }
        END { print k + 0 " of 4 ends followed:" gaps (failed ? ", then the unit failed" : "")
            exit failed || late || k < 4 }' <<<"$1"
}
no_start_limit() { # an interval or a burst of 0 turns systemd's start limit off
    in_container systemctl show -p StartLimitIntervalUSec -p StartLimitBurst "$unit" | xargs
    [[ $(unit_property StartLimitIntervalUSec) == 0 || $(unit_property StartLimitBurst) == 0 ]]
}
unchecked in_container systemctl stop "$unit"
unchecked in_container systemd-run -q --unit=holder nc -lk 127.0.0.1 80
check "a listener on port 80 refuses the daemon's bind" retry 5 bind_refused
# Test-only: a budget of one launch ends each chain after a single 3-second pause, so that
# several chains fit in the test; the restart policy under test stays the package's.
unchecked drop_in ExecStart= "ExecStart=/usr/sbin/echo-daemon 0 1"
unchecked in_container systemctl start "$unit"
# Four ends: chain after chain while the fault lasts. A start limit at systemd's default
# (5 starts in 10 s) never sees chains 8 s apart; the loaded unit shows whether it has one.
chains=$(watch_chains 4 58)
check "each chain ends with status 1 after tag 51 and the budget message" chain_ends "$chains"
check "a fresh chain within 10 s of each end, 4 in a row, never failed" followed "$chains"
check "the loaded unit has no start limit" no_start_limit
unchecked in_container systemctl stop holder
check "serves again once port 80 is free, without reset-failed" retry 15 echoes

# ---- Starts that fail, stray signals, and the ends that are for good

reset_unit() { drop_in; in_container systemctl stop "$unit"; in_container systemctl reset-failed "$unit"; }
# A start whose program cannot run is reported as failed: with Type=simple, systemctl
# start would succeed before the exec fails, and whoever started it would not know.
start_fails_without_program() {
    drop_in ExecStart= "ExecStart=/usr/sbin/no-such-echo-daemon 0 5"
    ! in_container systemctl start "$unit" >/dev/null 2>&1 || { echo "systemctl start succeeded"; return 1; }
    property_is ExecMainStatus 203
}
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
    started_and_serving || return
    pid=$(unit_property MainPID) restarts=$(unit_property NRestarts)
    signal_main "$1" "$pid" || return
    retry 12 serving_again "$pid" "$restarts" # RestartSec, and time to spare
}
# The pause is proven first: the reset was sent, port 80 refuses, and the main process has
# not logged its restart line.
stops_in_pause() {
    local pid
    started_and_serving || return
    pid=$(unit_property MainPID)
    reset_client in_container || { echo "the reset client failed"; return 1; }
    retry 2 connect_refused in_container >/dev/null || { echo "port 80 still accepts after the reset: no pause"; return 1; }
    prints 0 count_in_journal "[!] Restarting" "_PID=$pid" >/dev/null || { echo "the pause ended first"; return 1; }
    in_container timeout 15 systemctl stop "$unit" || { echo "stop failed or took over 15 s"; return 1; }
    sleep 8 && stopped # the rest of the pause and RestartSec
}
sigterm_ends() {
    started_and_serving || return
    signal_main TERM "$(unit_property MainPID)" && sleep 7 && stopped # RestartSec, 2 s to spare
}
unchecked reset_unit
check "a start whose program is missing fails (status 203)" start_fails_without_program
unchecked reset_unit
check "a stray SIGHUP restarts the service" restarted_after HUP
check "a stray SIGINT restarts the service" restarted_after INT
check "systemctl stop during the pause ends the chain for good" stops_in_pause
check "a SIGTERM from outside systemctl ends the service for good" sigterm_ends

# ---- An upgrade from the previous release, and removal

# The previous release installed afresh and enabled, then running or stopped, so that its
# own maintainer scripts take part in the upgrade as on a user's machine; then this one.
upgrade_from_previous() { # STATE: active or inactive; sets main_before, the main process then
    [ -n "$previous_deb" ] || { echo "no $previous_version package: $previous_problem"; return 1; }
    unchecked in_container dpkg --purge echo-daemon
    in_container dpkg -i /root/previous.deb >/dev/null || { echo "dpkg -i of $previous_version failed"; return 1; }
    { in_container systemctl enable --now "$unit" 2>/dev/null && retry 5 echoes >/dev/null; } ||
        { echo "$previous_version does not serve"; return 1; }
    [ "$1" = active ] || in_container systemctl stop "$unit"
    main_before=$(unit_property MainPID)
    in_container dpkg -i /root/current.deb >/dev/null || { echo "the upgrade failed"; return 1; }
}
upgrade_leaves_stopped() { upgrade_from_previous inactive && stopped; }
upgrade_restarts() {
    local after program
    upgrade_from_previous active || return
    after=$(unit_property MainPID)
    # A process left running shows its replaced program as "/usr/sbin/echo-daemon (deleted)".
    program=$(in_container readlink "/proc/$after/exe" 2>&1) || true
    { [[ $after != 0 && $after != "$main_before" && $program == /usr/sbin/echo-daemon ]] &&
        property_is ActiveState active && retry 5 echoes >/dev/null; } ||
        { echo "MainPID $main_before -> $after, running '$program'"; return 1; }
}
removes() { property_is ActiveState active && in_container dpkg -r echo-daemon >/dev/null && stopped; }
# The enablement link (find lists it dangling too; test -e would not) and the helper's state.
enablement_left() {
    local wants=/etc/systemd/system/multi-user.target.wants helper=/var/lib/systemd/deb-systemd-helper
    in_container sh -c "{ find $wants $helper-enabled $helper-masked -name '*echo-daemon*'
        grep -rl echo-daemon $helper-enabled $helper-masked; } 2>/dev/null"
}
purged() { in_container dpkg --purge echo-daemon >/dev/null && prints "" enablement_left; }
check "an upgrade from $previous_version leaves a stopped service stopped" upgrade_leaves_stopped
check "an upgrade from $previous_version restarts the running service: the new program serves" upgrade_restarts
# Removal of the running package, installed again should an upgrade have failed.
unchecked in_container dpkg -i /root/current.deb
unchecked in_container systemctl enable --now "$unit"
check "dpkg -r stops the running service" removes
check "dpkg --purge leaves no enablement link nor helper state" purged
((failures == 0))
