#!/bin/bash
# Tests the OCI image where users run it: its index built twice from the Debian packages,
# each platform loaded with podman and run (runc) in a network namespace of the test's own,
# as the container's PID 1 without an init, other machines' under qemu-user-static.
# Usage: tests/container_test.sh DEB...   (as root; this machine's DEB, e.g. amd64, and arm64's)
# shellcheck disable=SC2016 # the Perl client is single-quoted on purpose
set -euo pipefail
shopt -s inherit_errexit
# shellcheck source=tests/rows.sh
source "$(dirname "${BASH_SOURCE[0]}")/rows.sh"
[ $# -ge 1 ] || { echo "usage: $0 DEB..." >&2; exit 2; }
native=$(dpkg --print-architecture)
declare -A deb_of
for deb in "$@"; do deb_of[$(dpkg-deb -f "$deb" Architecture)]=$(realpath "$deb"); done
[ -n "${deb_of[$native]:-}" ] || { echo "$0: no $native package among $*" >&2; exit 2; }
source_dir=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-deb -f "${deb_of[$native]}" Version)

skip() { skip_suite "container test" "$1"; }
[ "$(id -u)" = 0 ] || skip "not root"
for tool in podman buildah skopeo runc setcap ip perl; do command -v "$tool" >/dev/null || skip "no $tool"; done
podman info >/dev/null 2>&1 || skip "podman info fails: $(podman info 2>&1 | tail -n 1)"
binfmt_of() { echo "/proc/sys/fs/binfmt_misc/qemu-$(dpkg-architecture -a "$1" -qDEB_HOST_GNU_CPU 2>/dev/null)"; }
# The F flag opens the interpreter at registration: the images hold no qemu.
for arch in "${!deb_of[@]}"; do
    binfmt=$(binfmt_of "$arch")
    [ "$arch" = "$native" ] || { grep -qx enabled "$binfmt" && grep -q '^flags:.*F' "$binfmt"; } 2>/dev/null ||
        skip "no enabled binfmt_misc entry $binfmt with the F flag (qemu-user-static) to run $arch"
done

work=$(mktemp -d)
ns=ctr-test-$$
name=ctr-test-$$
image=localhost/echo-daemon:$version
# podman load takes the image's name: a user's own image of that name is put back after.
prior=$(podman image inspect -f '{{.Id}}' "$image" 2>/dev/null) || prior=
loaded=()
pause_image=$(podman images -q localhost/podman-pause 2>/dev/null) || true
remove_containers() {
    podman ps -aq --filter "name=^$name-" 2>/dev/null | xargs -r podman --runtime runc rm -f -t 0 >/dev/null 2>&1 || true
}
cleanup() {
    remove_containers
    podman kube down "$work/daemons.yaml" >/dev/null 2>&1 || true
    local id
    for id in "${loaded[@]}"; do [ "$id" = "$prior" ] || podman rmi -f "$id" >/dev/null 2>&1 || true; done
    [ -z "$prior" ] || podman tag "$prior" "$image" 2>/dev/null || true
    # podman kube play builds its pods' pause image once; one this run built goes too.
    [ -n "$pause_image" ] || podman images -q localhost/podman-pause | xargs -r podman rmi -f >/dev/null 2>&1 || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The image ---------------------------------------------------------------------------
index_digest() { skopeo inspect --raw "oci-archive:$1" | sha256sum | sed 's/ .*//'; }
same_index() { # two builds into two directories, a second apart at least
    local a b
    a=$("$source_dir/packaging/build-image.sh" "${deb_of[@]}" "$work/a") && a=$(index_digest "$a") || return
    sleep 1
    # The libc6 packages of the first build, so that the second downloads nothing.
    mkdir -p "$work/other/b" && cp "$work"/a/libc6_*.deb "$work/other/b/" || return
    b=$("$source_dir/packaging/build-image.sh" "${deb_of[@]}" "$work/other/b") && b=$(index_digest "$b") || return
    echo "$a"
    [ "$a" = "$b" ] || { echo "and $b"; return 1; }
}
check "two builds give the same image index" same_index
archive=$work/a/echo-daemon_$version.oci.tar
[ -f "$archive" ] || { echo "FAIL: no image archive, nothing more to test"; exit 1; }

loads() { # ARCH: podman load takes this machine's platform, podman pull --arch another
    local id label config get=(podman pull -q --arch "$1" "oci-archive:$archive")
    [ "$1" != "$native" ] || get=(podman load -q -i "$archive")
    "${get[@]}" >/dev/null || return
    id=$(podman image inspect -f '{{.Id}}/{{.Architecture}}' "$image") || return
    label=$(podman image inspect -f '{{index .Labels "org.opencontainers.image.version"}}' "$image")
    config=$(skopeo inspect --config --raw --override-arch "$1" "oci-archive:$archive" | sha256sum | sed 's/ .*//')
    echo "sha256:$id, version $label"
    [ "$id" = "$config/$1" ] && [ "$label" = "$version" ]
}
size() {
    local bytes
    bytes=$(podman image inspect -f '{{.Size}}' "$platform_image") || return
    echo "$((bytes / 1000)) kB"
    ((bytes < 3000 * 1000))
}

# What the image must hold, and nothing else: the package's daemon, with its capability,
# and libc6's own files, byte for byte.
expected_files() { # ARCH
    case $1 in
    amd64) printf '%s\n' /lib/x86_64-linux-gnu/{ld-linux-x86-64.so.2,libc.so.6} /lib64/ld-linux-x86-64.so.2 ;;
    arm64) printf '%s\n' /lib/aarch64-linux-gnu/{ld-linux-aarch64.so.1,libc.so.6} /lib/ld-linux-aarch64.so.1 ;;
    esac
    printf '%s\n' /usr/sbin/echo-daemon /usr/share/doc/{echo-daemon,libc6}/copyright
}
holds_the_packages_files() { # ARCH
    local root libc=$work/libc6-$1 pkg=$work/pkg-$1 file bad=
    root=$(podman image mount "$platform_image") || return
    dpkg-deb -x "$(ls "$work"/a/libc6_*_"$1".deb)" "$libc" && dpkg-deb -x "${deb_of[$1]}" "$pkg" || return
    diff <(expected_files "$1" | sort) <(cd "$root" && find . ! -type d | sed 's/^\.//' | sort) || bad=1
    for file in $(expected_files "$1" | grep -- '-linux-gnu/'); do
        cmp -s "$root$file" "$libc$file" || { echo "$file is not libc6's"; bad=1; }
    done
    cmp -s "$root/usr/sbin/echo-daemon" "$pkg/usr/sbin/echo-daemon" || { echo "the daemon is not the package's"; bad=1; }
    getcap "$root/usr/sbin/echo-daemon" | grep -q 'cap_net_bind_service=ep$' || { echo "no file capability"; bad=1; }
    podman image unmount "$platform_image" >/dev/null
    [ -z "$bad" ]
}

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
start() { # SUFFIX [OPTION...] [-- ARG...]: runs the image detached; returns once it waits
    local suffix=$1 options=()
    shift
    remove_containers
    while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1") && shift; done
    [ $# = 0 ] || shift
    podman --runtime runc run -d "${run_options[@]}" "${platform_options[@]}" "${options[@]}" --name "$name-$suffix" \
        "$platform_image" "$@" >/dev/null || return
    retry 5 last_log_is "$suffix" '[*] Waiting for client connections' >/dev/null
}
last_log_is() { logs "$1" | tail -n 1 | grep -qxF -- "$2"; } # SUFFIX LINE
host_pid() { podman inspect -f '{{.State.Pid}}' "$name-$1"; }
# Sends TEXT, half-closes and wants its first 64 bytes back. It reads at once: unread
# bytes beyond the 64 make the daemon's close a reset, and nc, slower to read, lost the
# reply to it in 2 of 5 tries.
echoes() { # TEXT
    local text=$1 r
    r=$(printf %s "$text" | port_80 'alarm 5; connect($s, $to) or die "$!\n"; local $/;
        syswrite($s, <STDIN>); shutdown($s, 1); print $b while sysread($s, $b, 4096)' in_ns) || true
    [ "$r" = "${text:0:64}" ] || { echo "${#r} bytes back: '$r'"; return 1; }
}
# UID, GIDs and CapEff of a container's daemon, and whether they are as little as they can
# be: neither root's user nor its group, no capability beyond binding port 80; under
# Kubernetes' restricted settings also no_new_privs and that capability alone in CapBnd.
least_privilege() { # PID [RESTRICTED]
    local status
    status=$(grep -E '^(Uid|Gid|Groups|CapEff|CapBnd|NoNewPrivs):' "/proc/$1/status") || return
    awk -v strict="${2:-}" '$1 == "Uid:" { uid = $2; root = $2 == 0 || $3 == 0 || $4 == 0 }
        $1 == "Gid:" || $1 == "Groups:" { for (i = 2; i <= NF; i++) { gids = gids " " $i; root = root || $i == 0 } }
        $1 == "CapEff:" { caps = $2 } $1 == "CapBnd:" { bnd = $2 } $1 == "NoNewPrivs:" { flag = $2 }
        END { print "uid " uid ", gids" gids ", CapEff " caps (strict ? ", CapBnd " bnd ", NoNewPrivs " flag : "")
            exit root || (caps != "0000000000000000" && caps != "0000000000000400") ||
                (strict && (flag != 1 || bnd != "0000000000000400")) }' <<<"$status"
}
# A reset before the read fails it (tag 72): the same process pauses 3 s and re-executes
# itself as echo-daemon 1 5.
restarts_in_place() {
    local before=$1 cmdline
    logs main | grep -qxF '[!] Restarting due to error in main:72 main' || { echo "no restart line"; return 1; }
    [ "$(logs main | grep -cxF '[*] Launching /usr/sbin/echo-daemon service')" = 2 ] || { echo "not relaunched"; return 1; }
    [ "$(host_pid main)" = "$before" ] || { echo "PID $before became $(host_pid main)"; return 1; }
    cmdline=$(tr '\0' ' ' <"/proc/$before/cmdline")
    # Under qemu the host sees the emulator's command line, which ends in the daemon's.
    [ "$cmdline" = "/usr/sbin/echo-daemon 1 5 " ] ||
        [[ -n $emulator && $cmdline == "$emulator "*" /usr/sbin/echo-daemon 1 5 " ]] || { echo "cmdline '$cmdline'"; return 1; }
}
# The daemon itself ends on the stop signal within a second (status 128 + 15): killed by the
# runtime at the end of that grace period, it would show 137.
stops() { # SUFFIX
    local begin ms status
    begin=$(date +%s%N)
    podman --runtime runc stop -t 1 "$name-$1" >/dev/null 2>&1 || true
    ms=$((($(date +%s%N) - begin) / 1000000))
    status=$(podman inspect -f '{{.State.Status}} {{.State.ExitCode}}' "$name-$1")
    echo "$status after $ms ms"
    [ "$status" = "exited 143" ]
}
stops_while_serving() {
    start serving || return
    # A client that sends nothing and waits for the end, 10 s at most.
    port_80 'alarm 10; connect($s, $to) or die "$!\n"; sysread($s, $b, 1)' in_ns >/dev/null 2>&1 &
    retry 5 last_log_is serving '[*] Received client connection' >/dev/null ||
        { echo "no client held"; return 1; }
    stops serving
}
stops_in_the_pause() {
    start pause && reset_client in_ns && sleep 1 || return
    # The pause is proven first: port 80 refuses, and no restart line has come yet.
    connect_refused in_ns || { echo "port 80 not refused: no pause to stop in"; return 1; }
    ! logs pause | grep -qF '[!] Restarting' || { echo "no pause to stop in"; return 1; }
    stops pause || return
    # Ended for good: the pause did not run out into a re-execution.
    ! logs pause | grep -qF '[!] Restarting' || { echo "restarted after the stop"; return 1; }
}
exits_with() { # SUFFIX STATUS SECONDS
    local status
    status=$(timeout "$3" podman wait "$name-$1") || true
    echo "exit ${status:-none}"
    [ "$status" = "$2" ]
}
ends_on() { start "$1" && podman --runtime runc kill -s "$2" "$name-$1" >/dev/null && exits_with "$1" "$3" 5; } # SUFFIX SIGNAL STATUS
# An operator's "kill -HUP to reload" must not take the service down.
hup_leaves_it_serving() {
    start hup && podman --runtime runc kill -s HUP "$name-hup" >/dev/null && sleep 1 || return
    [ "$(podman inspect -f '{{.State.Running}}' "$name-hup")" = true ] || { echo "ended"; return 1; }
}
budget_ends_the_container() {
    start budget -- 0 1 && reset_client in_ns && exits_with budget 1 10 &&
        logs budget | grep -qxF '[!] Maximum number of errors (1) reached'
}
# Kubernetes' drop: [ALL], add: [NET_BIND_SERVICE], runAsNonRoot, allowPrivilegeEscalation
# false (no_new_privs) and readOnlyRootFilesystem, as podman spells them.
restricted() {
    start restricted --cap-drop all --cap-add net_bind_service --security-opt no-new-privileges \
        --read-only --user 65534:65534 -- && echoes hello && least_privilege "$(host_pid restricted)" nnp
}

# Every row of one platform, ARCH; the last platform's image keeps the image's name.
platform_rows() { # ARCH
    local on="linux/$1:" before binfmt
    # Without binfmt_misc's C flag the kernel takes the credentials from qemu, not from the
    # daemon's file: its capability is then the container's to grant.
    binfmt=$(binfmt_of "$1")
    platform_options=() emulator=
    [ "$1" = "$native" ] || emulator=$(sed -n 's/^interpreter //p' "$binfmt")
    [ -z "$emulator" ] || grep -q '^flags:.*C' "$binfmt" || platform_options=(--cap-add net_bind_service)
    check "$on podman loads it from the index, labelled with the package's version" loads "$1"
    platform_image=$(podman image inspect -f '{{.Id}}' "$image") && loaded+=("$platform_image") || return 0
    check "$on the image is under 3,000 kB" size
    check "$on holds the package's daemon and libc6's files, nothing else" holds_the_packages_files "$1"
    check "$on runs as a non-root user and group with CapEff 0 or 0x400 (podman's defaults)" \
        eval 'start main && least_privilege "$(host_pid main)"'
    check "$on echoes" echoes hello
    check "$on sends back the first 64 of 100 bytes" echoes "$(printf '%0100d' 0 | tr 0 x)"
    before=$(host_pid main 2>/dev/null) || true
    reset_client in_ns || true
    check "$on a reset before the read restarts it in place as echo-daemon 1 5" retry 8 restarts_in_place "$before"
    check "$on echoes after the restart" retry 3 echoes hello
    check "$on podman stop ends it within 1 s, waiting for a client" stops main
    check "$on podman stop ends it within 1 s, serving a client" stops_while_serving
    check "$on podman stop ends it within 1 s, in the pause after a failure" stops_in_the_pause
    check "$on SIGINT ends it (Ctrl-C at podman run -it)" ends_on int INT 130
    check "$on a SIGHUP leaves it serving" hup_leaves_it_serving
    check "$on a spent budget of 0 1 exits the container with status 1" budget_ends_the_container
    check "$on serves under Kubernetes' restricted settings" restricted
}
# This machine's platform last: podman kube play below runs the image by its name.
for arch in "${!deb_of[@]}"; do [ "$arch" = "$native" ] || platform_rows "$arch"; done
platform_rows "$native"

# The Kubernetes example -----------------------------------------------------------------
example_yaml() { # PYTHON: runs with docs, the example's YAML documents
    python3 -c "import re, sys, yaml
docs = list(yaml.safe_load_all(open(sys.argv[1])))
$1" "$source_dir/examples/kubernetes.yaml"
}
front_config_is_valid() {
    example_yaml '[sys.stdout.write(d["data"]["haproxy.cfg"]) for d in docs if d["kind"] == "ConfigMap"]' \
        >"$work/front.cfg" && NAMESPACE=default haproxy -c -f "$work/front.cfg"
}
check "the example's HAProxy front configuration passes haproxy -c" front_config_is_valid
# Each container's drop: [ALL], which a restricted Pod Security admission requires, and
# read-only root, which the example promises (the front is not played below); the port the
# front binds, which haproxy -c does not try.
example_is_restricted() {
    example_yaml 'bad = []; front = None
for c in [c for d in docs if d["kind"] == "Deployment" for c in d["spec"]["template"]["spec"]["containers"]]:
    sc = c.get("securityContext", {})
    bad += [c["name"] + " lacks drop: [ALL]"] * ("ALL" not in sc.get("capabilities", {}).get("drop", []))
    bad += [c["name"] + " lacks readOnlyRootFilesystem"] * (sc.get("readOnlyRootFilesystem") is not True)
    front = [str(p["containerPort"]) for p in c.get("ports", [])] if c["name"] == "haproxy" else front
binds = [re.findall(r"^ *bind :(\d+)", d["data"]["haproxy.cfg"], re.M) for d in docs if d["kind"] == "ConfigMap"][0]
print("\n".join(bad + ["the front binds %s, its container declares %s" % (binds, front)]))
sys.exit(1 if bad or binds != front else 0)'
}
check "the example's containers drop all capabilities, have read-only roots, and the front binds its container's port" example_is_restricted
# As far as podman 4.3 plays it: one replica, in a network namespace of its own with
# loopback alone (its pods cannot join a named one), without the container port (which
# it would publish on the host). The front's haproxy image is not here: no registry.
plays_the_daemons() {
    local pid status c=echo-daemon-pod-0-echo-daemon
    example_yaml 'for d in docs:
    if d["kind"] == "Deployment" and d["metadata"]["name"] == "echo-daemon":
        d["spec"]["replicas"] = 1
        for c in d["spec"]["template"]["spec"]["containers"]: c.pop("ports")
        yaml.safe_dump(d, sys.stdout)' >"$work/daemons.yaml" || return
    printf '[containers]\ndefault_ulimits = ["nofile=%s:%s", "nproc=%s:%s"]\n[engine]\nruntime = "runc"\n' \
        "$nofile" "$nofile" "$nproc" "$nproc" >"$work/containers.conf"
    remove_containers
    # Pods of this name left by a run that was killed would make the play fail.
    podman kube down "$work/daemons.yaml" >/dev/null 2>&1 || true
    CONTAINERS_CONF=$work/containers.conf podman kube play --network none "$work/daemons.yaml" >/dev/null || return
    pid=$(podman inspect -f '{{.State.Pid}}' "$c") || return
    local ns_exec=(nsenter -t "$pid" -n)
    retry 5 echoes hello >/dev/null && least_privilege "$pid" nnp && podman pod stop -t 5 echo-daemon-pod-0 >/dev/null ||
        return
    status=$(podman inspect -f '{{.State.ExitCode}}' "$c")
    echo "pod stop: exit $status"
    [ "$status" = 143 ]
}
check "podman kube play runs the example's daemons: they echo, least privilege, stop at once" plays_the_daemons

((failures == 0))
