#!/bin/bash
# Tests the OCI image where users run it: built twice from the Debian package, loaded with
# podman load and run with podman (runc) in a network namespace of the test's own, as the
# container's PID 1 without an init. One PASS or FAIL line per check; exit status 1 if any
# failed. Skipped, with one line, only where podman cannot run here at all (not root, a
# tool missing, podman info failing).
# Usage: tests/container_test.sh DEB   (as root)
# shellcheck disable=SC2016 # the Perl clients are single-quoted on purpose
set -euo pipefail
shopt -s inherit_errexit
# shellcheck source=tests/rows.sh
source "$(dirname "${BASH_SOURCE[0]}")/rows.sh"
[ $# -eq 1 ] || { echo "usage: $0 DEB" >&2; exit 2; }
deb=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)

skip() { skip_suite "container test" "$1"; }
[ "$(id -u)" = 0 ] || skip "not root"
for tool in podman buildah skopeo runc setcap ip perl; do
    command -v "$tool" >/dev/null || skip "no $tool"
done
podman info >/dev/null 2>&1 || skip "podman info fails: $(podman info 2>&1 | tail -n 1)"

work=$(mktemp -d)
ns=ctr-test-$$
name=ctr-test-$$
image=localhost/echo-daemon:$version
# podman load takes the image's name: a user's own image of that name is put back after.
prior=$(podman image inspect -f '{{.Id}}' "$image" 2>/dev/null) || prior=
pause_image=$(podman images -q localhost/podman-pause 2>/dev/null) || true
remove_containers() {
    local c
    for c in $(podman ps -aq --filter "name=^$name-" 2>/dev/null); do
        podman --runtime runc rm -f -t 0 "$c" >/dev/null 2>&1 || true
    done
}
cleanup() {
    remove_containers
    podman kube down "$work/daemons.yaml" >/dev/null 2>&1 || true
    local id
    id=$(podman image inspect -f '{{.Id}}' "$image" 2>/dev/null) || id=
    if [ -n "$id" ] && [ "$id" != "$prior" ]; then
        podman rmi -f "$id" >/dev/null 2>&1 || true
        [ -z "$prior" ] || podman tag "$prior" "$image" || true
    fi
    # podman kube play builds its pods' pause image once; one this run built goes too.
    [ -n "$pause_image" ] || podman images -q localhost/podman-pause | xargs -r podman rmi -f >/dev/null 2>&1 || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM


# The image ---------------------------------------------------------------------------
id_of() { skopeo inspect --raw "oci-archive:$1" | sed -n 's/.*"config":{[^}]*"digest":"\([^"]*\)".*/\1/p'; }
same_id() { # two builds into two directories, a second apart at least
    local a b
    a=$("$source_dir/packaging/build-image.sh" "$deb" "$work/a") && a=$(id_of "$a") || return
    sleep 1
    b=$("$source_dir/packaging/build-image.sh" "$deb" "$work/other/b") && b=$(id_of "$b") || return
    echo "$a"
    [ "$a" = "$b" ] || { echo "and $b"; return 1; }
}
check "two builds give the same image ID" same_id
archive=$work/a/echo-daemon_${version}_$arch.oci.tar
[ -f "$archive" ] || { echo "FAIL: no image archive, nothing more to test"; exit 1; }

loads() {
    podman load -q -i "$archive" >/dev/null || return
    local id label
    id=$(podman image inspect -f '{{.Id}}' "$image") || return
    label=$(podman image inspect -f '{{index .Labels "org.opencontainers.image.version"}}' "$image")
    echo "sha256:$id, version $label"
    [ "sha256:$id" = "$(id_of "$archive")" ] && [ "$label" = "$version" ]
}
check "podman load reads the archive, labelled with the package's version" loads
size() {
    local bytes
    bytes=$(podman image inspect -f '{{.Size}}' "$image") || return
    echo "$((bytes / 1000)) kB"
    ((bytes < 3000 * 1000))
}
check "the image is under 3,000 kB" size

# What the image must hold, and nothing else: the package's daemon, with its capability,
# and libc6's own files, byte for byte.
expected_files() {
    printf '%s\n' /lib/x86_64-linux-gnu/ld-linux-x86-64.so.2 /lib/x86_64-linux-gnu/libc.so.6 \
        /lib64/ld-linux-x86-64.so.2 /usr/sbin/echo-daemon /usr/share/doc/echo-daemon/copyright \
        /usr/share/doc/libc6/copyright
}
holds_the_packages_files() {
    local root libc=$work/libc6 pkg=$work/pkg file bad=
    root=$(podman image mount "$image") || return
    dpkg-deb -x "$(ls "$work"/a/libc6_*_"$arch".deb)" "$libc" && dpkg-deb -x "$deb" "$pkg" || return
    diff <(expected_files) <(cd "$root" && find . ! -type d | sed 's/^\.//' | sort) || bad=1
    for file in /lib/x86_64-linux-gnu/ld-linux-x86-64.so.2 /lib/x86_64-linux-gnu/libc.so.6; do
        cmp -s "$root$file" "$libc$file" || { echo "$file is not libc6's"; bad=1; }
    done
    cmp -s "$root/usr/sbin/echo-daemon" "$pkg/usr/sbin/echo-daemon" || { echo "the daemon is not the package's"; bad=1; }
    getcap "$root/usr/sbin/echo-daemon" | grep -q 'cap_net_bind_service=ep$' || { echo "no file capability"; bad=1; }
    podman image unmount "$image" >/dev/null
    [ -z "$bad" ]
}
check "holds the package's daemon and libc6's files, nothing else" holds_the_packages_files

# Running it ----------------------------------------------------------------------------
# Podman asks for more open files and processes than root may have here (no
# CAP_SYS_RESOURCE), so each container gets the host's own hard limits.
nofile=$(ulimit -Hn) nproc=$(ulimit -Hu)
[ "$nofile" != unlimited ] || nofile=1048576
{ [ "$nproc" != unlimited ] && ((nproc <= 32768)); } || nproc=32768
ip netns add "$ns" && ip -n "$ns" link set lo up
run_options=(--ulimit "nofile=$nofile:$nofile" --ulimit "nproc=$nproc:$nproc" --network "ns:/run/netns/$ns")
ns_exec=(ip netns exec "$ns")
in_ns() { "${ns_exec[@]}" "$@"; }
logs() { podman logs "$name-$1" 2>&1; }
# Each check starts its own container, after removing those before it: one that failed
# to end must not hold port 80 against the next.
start() { # SUFFIX [OPTION... --] [ARG...]: runs the image detached; returns once it waits
    local suffix=$1 options=()
    shift
    remove_containers
    if [[ " $* " == *" -- "* ]]; then
        while [ "$1" != -- ]; do options+=("$1") && shift; done
        shift
    fi
    podman --runtime runc run -d "${run_options[@]}" "${options[@]}" --name "$name-$suffix" \
        "$image" "$@" >/dev/null || return
    retry 5 waiting "$suffix" >/dev/null
}
waiting() { logs "$1" | tail -n 1 | grep -qxF '[*] Waiting for client connections'; }
host_pid() { podman inspect -f '{{.State.Pid}}' "$name-$1"; }
# Sends TEXT, half-closes and prints what comes back. It reads at once: unread bytes beyond
# the 64 make the daemon's close a reset, and nc, slower to read, lost the reply to it in
# 2 of 5 tries.
reply_to() {
    in_ns perl -MSocket -e 'alarm 5; my ($s, $r, $b) = (undef, "");
        socket($s, PF_INET, SOCK_STREAM, 0) && connect($s, sockaddr_in(80, inet_aton("127.0.0.1")))
            or die "$!\n";
        syswrite($s, $ARGV[0]); shutdown($s, 1); $r .= $b while sysread($s, $b, 4096); print $r' "$1"
}
echoes() {
    local r
    r=$(reply_to hello) || true
    [ "$r" = hello ] || { echo "reply '$r'"; return 1; }
}
reset_client() {
    in_ns perl -MSocket -e 'my $s; socket($s, PF_INET, SOCK_STREAM, 0)
        && connect($s, sockaddr_in(80, inet_aton("127.0.0.1")))
        && setsockopt($s, SOL_SOCKET, SO_LINGER, pack("ii", 1, 0)) or die "$!\n"; close $s'
}
# UID and CapEff of a container's daemon, and whether both are as little as they can be:
# not root, and no capability beyond binding port 80.
least_privilege() { # PID [NO_NEW_PRIVS]
    local status
    status=$(grep -E '^(Uid|CapEff|NoNewPrivs):' "/proc/$1/status") || return
    awk -v nnp="${2:-}" '$1 == "Uid:" { uid = $2; root = $2 == 0 || $3 == 0 || $4 == 0 }
        $1 == "CapEff:" { caps = $2 } $1 == "NoNewPrivs:" { flag = $2 }
        END { print "uid " uid ", CapEff " caps (nnp ? ", NoNewPrivs " flag : "")
            exit root || (caps != "0000000000000000" && caps != "0000000000000400") || (nnp && flag != 1) }' <<<"$status"
}
first_64_of_100() {
    local sent r
    sent=$(printf '%0100d' 0 | tr 0 x)
    r=$(reply_to "$sent") || true
    [ "$r" = "${sent:0:64}" ] || { echo "${#r} bytes back"; return 1; }
}
# A reset before the read fails it (tag 72): the same process pauses 3 s and re-executes
# itself as echo-daemon 1 5.
restarts_in_place() {
    local before=$1 cmdline
    logs main | grep -qxF '[!] Restarting due to error in main:72 main' || { echo "no restart line"; return 1; }
    [ "$(logs main | grep -cxF '[*] Launching /usr/sbin/echo-daemon service')" = 2 ] || { echo "not relaunched"; return 1; }
    [ "$(host_pid main)" = "$before" ] || { echo "PID $before became $(host_pid main)"; return 1; }
    cmdline=$(tr '\0' ' ' <"/proc/$before/cmdline")
    [ "$cmdline" = "/usr/sbin/echo-daemon 1 5 " ] || { echo "cmdline '$cmdline'"; return 1; }
}
# The daemon itself ends on the stop signal (status 128 + 15): killed by the runtime at the
# end of the grace period, it would show 137.
stops() { # SUFFIX
    local begin ms status
    begin=$(date +%s%N)
    podman --runtime runc stop -t 5 "$name-$1" >/dev/null 2>&1 || true
    ms=$((($(date +%s%N) - begin) / 1000000))
    status=$(podman inspect -f '{{.State.Status}} {{.State.ExitCode}}' "$name-$1")
    echo "$status after $ms ms"
    [ "$status" = "exited 143" ]
}
stops_while_serving() {
    local holder status=0
    start serving || return
    # A client that connects and sends nothing, for longer than the test waits on it.
    # Not through in_ns: started from a function, it would run in a subshell of its own,
    # and $! would be that subshell's, not the client's.
    "${ns_exec[@]}" perl -MSocket -e 'my $s; socket($s, PF_INET, SOCK_STREAM, 0)
        && connect($s, sockaddr_in(80, inet_aton("127.0.0.1"))) or die "$!\n"; sleep 10' >/dev/null 2>&1 &
    holder=$!
    if retry 5 sh -c "podman logs $name-serving 2>&1 | tail -n 1 | grep -qxF '[*] Received client connection'" >/dev/null; then
        stops serving || status=$?
    else
        echo "no client held" && status=1
    fi
    kill "$holder" 2>/dev/null || true
    return "$status"
}
connect_refused() {
    in_ns perl -MSocket -e 'socket(my $s, PF_INET, SOCK_STREAM, 0) or die "$!\n";
        connect($s, sockaddr_in(80, inet_aton("127.0.0.1"))) and die "connected\n"; $!{ECONNREFUSED} or die "$!\n"'
}
stops_in_the_pause() {
    start pause && reset_client && sleep 1 || return
    # The pause is proven first: port 80 refuses, and no restart line has come yet.
    connect_refused || { echo "port 80 not refused: no pause to stop in"; return 1; }
    ! logs pause | grep -qF '[!] Restarting' || { echo "no pause to stop in"; return 1; }
    stops pause || return
    # Ended for good: the pause did not run out into a re-execution.
    ! logs pause | grep -qF '[!] Restarting' || { echo "restarted after the stop"; return 1; }
}
ends_on() { # SUFFIX SIGNAL STATUS
    local status
    start "$1" && podman --runtime runc kill -s "$2" "$name-$1" >/dev/null || return
    status=$(timeout 5 podman wait "$name-$1") || true
    echo "exit ${status:-none}"
    [ "$status" = "$3" ]
}
# An operator's "kill -HUP to reload" must not take the service down.
hup_leaves_it_serving() {
    start hup && podman --runtime runc kill -s HUP "$name-hup" >/dev/null && sleep 1 || return
    [ "$(podman inspect -f '{{.State.Running}}' "$name-hup")" = true ] || { echo "ended"; return 1; }
}
budget_ends_the_container() {
    local status
    start budget -- 0 1 && reset_client || return
    status=$(timeout 10 podman wait "$name-budget") || true
    echo "exit ${status:-none}"
    [ "$status" = 1 ] && logs budget | grep -qxF '[!] Maximum number of errors (1) reached'
}
# Kubernetes' drop: [ALL], add: [NET_BIND_SERVICE], runAsNonRoot, allowPrivilegeEscalation
# false (no_new_privs) and readOnlyRootFilesystem, as podman spells them.
restricted() {
    start restricted --cap-drop all --cap-add net_bind_service --security-opt no-new-privileges \
        --read-only --user 65534 -- && echoes && least_privilege "$(host_pid restricted)" nnp
}

check "runs as a non-root user with CapEff 0 or 0x400 (podman's defaults)" eval 'start main && least_privilege "$(host_pid main)"'
check "echoes" echoes
check "sends back the first 64 of 100 bytes" first_64_of_100
before=$(host_pid main 2>/dev/null) || true
reset_client || true
check "a reset before the read restarts it in place as echo-daemon 1 5" retry 8 restarts_in_place "$before"
check "echoes after the restart" retry 3 echoes
check "podman stop ends it at once, waiting for a client" stops main
check "podman stop ends it at once, serving a client" stops_while_serving
check "podman stop ends it at once, in the pause after a failure" stops_in_the_pause
check "SIGINT ends it (Ctrl-C at podman run -it)" ends_on int INT 130
check "a SIGHUP leaves it serving" hup_leaves_it_serving
check "a spent budget of 0 1 exits the container with status 1" budget_ends_the_container
check "serves under Kubernetes' restricted settings" restricted

# The Kubernetes example -----------------------------------------------------------------
example=$source_dir/examples/kubernetes.yaml
front_config_is_valid() {
    python3 -c 'import sys, yaml
for d in yaml.safe_load_all(open(sys.argv[1])):
    if d["kind"] == "ConfigMap": sys.stdout.write(d["data"]["haproxy.cfg"])' "$example" >"$work/front.cfg" &&
        NAMESPACE=default haproxy -c -f "$work/front.cfg"
}
check "the example's HAProxy front configuration passes haproxy -c" front_config_is_valid
# As far as podman 4.3 plays it: one replica, in a network namespace of its own with
# loopback alone (its pods cannot join a named one), without the container port (which
# it would publish on the host). The front's haproxy image is not here: no registry.
plays_the_daemons() {
    local pid status c=echo-daemon-pod-0-echo-daemon
    python3 -c 'import sys, yaml
for d in yaml.safe_load_all(open(sys.argv[1])):
    if d["kind"] == "Deployment" and d["metadata"]["name"] == "echo-daemon":
        d["spec"]["replicas"] = 1
        for c in d["spec"]["template"]["spec"]["containers"]: c.pop("ports")
        yaml.safe_dump(d, sys.stdout)' "$example" >"$work/daemons.yaml" || return
    printf '[containers]\ndefault_ulimits = ["nofile=%s:%s", "nproc=%s:%s"]\n[engine]\nruntime = "runc"\n' \
        "$nofile" "$nofile" "$nproc" "$nproc" >"$work/containers.conf"
    remove_containers
    # Pods of this name left by a run that was killed would make the play fail.
    podman kube down "$work/daemons.yaml" >/dev/null 2>&1 || true
    CONTAINERS_CONF=$work/containers.conf podman kube play --network none "$work/daemons.yaml" >/dev/null || return
    pid=$(podman inspect -f '{{.State.Pid}}' "$c") || return
    local ns_exec=(nsenter -t "$pid" -n)
    retry 5 echoes >/dev/null && least_privilege "$pid" nnp && podman pod stop -t 5 echo-daemon-pod-0 >/dev/null ||
        return
    status=$(podman inspect -f '{{.State.ExitCode}}' "$c")
    echo "pod stop: exit $status"
    [ "$status" = 143 ]
}
check "podman kube play runs the example's daemons: they echo, least privilege, stop at once" plays_the_daemons

((failures == 0))
