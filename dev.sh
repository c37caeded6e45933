#!/bin/bash
# One entry point for building, running and testing echo-daemon on Debian 12.
#   ./dev.sh run     build, then run the daemon in the foreground (echo-daemon 0 5)
#   ./dev.sh soak    build, then soak the daemon for up to two minutes
#   ./dev.sh bench   build, then benchmark against the reference server and the peers
#   ./dev.sh package [ARCH]  build the Debian package (dpkg-buildpackage) for this
#                    machine, or cross-build it for ARCH (amd64 arm64 armel armhf i386
#                    mips64el mipsel ppc64el s390x), check it with lintian, print its path
#   ./dev.sh image   build the packages for amd64 arm64 armhf ppc64el s390x, then one OCI
#                    archive of an image index with a platform for each; print its path
#   ./dev.sh check   lint, then build with g++, clang++ and the sanitizers (warnings
#                    fatal), run every test with each build, soak the g++ build, run
#                    the daemon's tables against daemons cross-built for arm64, armhf,
#                    s390x and i386 under emulation, test the package, under systemd
#                    in a container too, and the image under podman
#   ./dev.sh check-arches  the same tables against the daemon of each of amd64, arm64,
#                    armel, armhf, i386, mips64el, mipsel, ppc64el and s390x in turn
# Missing Debian packages are installed first (apt-get, as root).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")"

jobs=$(nproc)

# Runs the command as root: directly, or through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "dev.sh: needs root, or sudo, for: $*" >&2
        exit 1
    fi
}

# apt-get ARGS... as root, up to three tries half a minute apart; a connection silent for a
# minute fails the try: a mirror's bad hour must neither hang a build nor fail it without
# saying what failed. sudo resets the environment: the variable must be set behind it.
apt_get() {
    local try
    for try in 1 2 3; do
        as_root env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::http::Timeout=60 "$@" && return 0
        echo "dev.sh: try $try of 3 failed: apt-get $*" >&2
        ((try == 3)) || sleep 30
    done
    echo "dev.sh: Debian's archive did not serve this: apt-get $*" >&2
    return 1
}

# Installs whichever of the named Debian packages are missing.
need() {
    local missing=() package
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "dev.sh: installing ${missing[*]}"
    # An index mid-sync on a mirror fails the update, and seldom matters to what is installed.
    as_root apt-get update -qq || echo "dev.sh: apt-get update failed; going on with the lists apt has" >&2
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_tools=(cmake make g++ libc6-dev libgtest-dev libgmock-dev)
# What the package build needs besides the build tools: debian/control's Build-Depends,
# build-essential (which dpkg-buildpackage requires too), and git, which lists the files
# it copies.
package_tools=(build-essential debhelper git)
# The front's test runs haproxy. Installing it also starts its service on the host,
# whose default configuration listens on no port.
front_tools=(haproxy)
# What the package test uses: lintian, man for the manual page, systemd-analyze.
package_checks=(lintian man-db systemd)
# What the test of the package under a booted systemd uses.
container_tools=(debootstrap systemd-container)
# What the OCI image's build and test use: setcap is in libcap2-bin; podman kube play
# builds its pods' pause image with catatonit; the test reads the Kubernetes example with
# python3-yaml, and runs the other platforms' images under qemu-user-static, which
# binfmt-support registers with the kernel.
image_tools=(podman buildah runc skopeo libcap2-bin catatonit python3-yaml qemu-user-static binfmt-support)
# Debian's release architectures, each packaged and each daemon's tables run under
# emulation, by Debian name: the triplet of the cross compiler and the name qemu gives the
# machine. check runs four: 64-bit, 32-bit ARM (long and time_t 32 bits wide), big-endian,
# and i386; the image has the platforms that common base images publish.
all_arches=(amd64 arm64 armel armhf i386 mips64el mipsel ppc64el s390x)
check_arches=(arm64 armhf s390x i386)
image_arches=(amd64 arm64 armhf ppc64el s390x)
declare -A triplets=([amd64]=x86_64-linux-gnu [arm64]=aarch64-linux-gnu [armel]=arm-linux-gnueabi
    [armhf]=arm-linux-gnueabihf [i386]=i686-linux-gnu [mips64el]=mips64el-linux-gnuabi64
    [mipsel]=mipsel-linux-gnu [ppc64el]=powerpc64le-linux-gnu [s390x]=s390x-linux-gnu)
declare -A qemu_machines=([amd64]=x86_64 [arm64]=aarch64 [armel]=arm [armhf]=arm [i386]=i386
    [mips64el]=mips64el [mipsel]=mipsel [ppc64el]=ppc64le [s390x]=s390x)
host_arch=$(dpkg --print-architecture)

# What building the named architectures' packages takes: their cross toolchains.
cross_tools() { # ARCH...
    local arch
    for arch in "$@"; do
        [ "$arch" = "$host_arch" ] || echo "crossbuild-essential-$arch"
    done
}
# The rows that cannot run a foreign daemon: strace and valgrind would trace the emulator,
# and a native wrapper (unshare) cannot load the foreign interposer.
foreign_filter=-Restart.SystemCallsShowWholeLinesExactBoundsAndTheFailureOrder:Service.AllocatesNothingAndHandsOnNothingUninitialised:Restart.StopSignalDuringTheExecEndsProcessOne

# What running the named architectures' daemons takes: their cross compilers, qemu.
arch_tools() { # ARCH...
    local arch
    echo qemu-user-static binfmt-support
    for arch in "$@"; do
        [ "$arch" = "$host_arch" ] || echo "g++-${triplets[$arch]}"
    done
}

# Makes binfmt_misc run the named architectures' programs through qemu-user-static:
# mounted if absent, Debian's formats registered (with the F flag, so that they work in
# other namespaces), and i386 where the kernel cannot run it, for which Debian registers
# no format on amd64. A kernel that runs i386 itself is left alone.
binfmt_ready() { # ARCH...
    local formats=/proc/sys/fs/binfmt_misc arch machine probe
    [ -e "$formats/register" ] || as_root mount -t binfmt_misc binfmt_misc "$formats"
    for arch in "$@"; do
        machine=${qemu_machines[$arch]}
        if [ "$arch" = "$host_arch" ] || [ -e "$formats/qemu-$machine" ]; then
            continue
        elif [ -e "/usr/share/binfmts/qemu-$machine" ]; then
            as_root update-binfmts --enable "qemu-$machine"
        elif [ "$arch" = i386 ]; then
            probe=$(mktemp)
            echo 'int main() {}' | "${triplets[i386]}-g++" -static -x c++ - -o "$probe"
            # binfmt_misc reads the escapes itself; P keeps argv[0] as the daemon was given it.
            "$probe" 2>/dev/null ||
                printf '%s\n' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:PF' |
                as_root tee "$formats/register" >/dev/null
            rm -f "$probe"
        fi
    done
}

# The daemon and the interposer of ARCH in build-ARCH. They load the C library from the
# cross toolchain's folder, whether qemu or the kernel runs them.
cross_build() { # ARCH
    local triplet=${triplets[$1]} probe interpreter
    probe=$(mktemp)
    echo 'int main() {}' | "$triplet-g++" -x c++ - -o "$probe"
    interpreter=$(readelf -l "$probe" | sed -n 's/.*program interpreter: \(.*\)]$/\1/p')
    rm -f "$probe"
    cmake -S . -B "build-$1" -DECHO_DAEMON_WERROR=ON -DCMAKE_CXX_COMPILER="$triplet-g++" \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
        -DCMAKE_EXE_LINKER_FLAGS="-Wl,--dynamic-linker=/usr/$triplet$interpreter,-rpath=/usr/$triplet/lib,--disable-new-dtags" \
        >/dev/null
    cmake --build "build-$1" -j "$jobs" --target echo-daemon fault >/dev/null
}

# The native suites against ARCH's daemon (the host's runs them whole), quiet but for its
# time unless a row fails; the whole output goes to $logs/tables-ARCH when check keeps logs.
arch_tests() { # ARCH
    local start=$SECONDS output settings=() filter=()
    if [ "$1" != "$host_arch" ]; then
        # Absolute: some rows start the daemon from another working directory.
        settings=(ECHO_DAEMON="$PWD/build-$1/echo-daemon" ECHO_FAULT_LIBRARY="$PWD/build-$1/tests/libfault.so")
        filter=(--gtest_filter="$foreign_filter")
    fi
    if ! output=$(env "${settings[@]}" build/tests/daemon_tests --gtest_brief=1 "${filter[@]}" 2>&1); then
        echo "$output"
        echo "check: the tables failed against the $1 daemon" >&2
        return 1
    fi
    [ -z "${logs:-}" ] || echo "$output" >"$logs/tables-$1"
    echo "$1: the tables passed in $((SECONDS - start)) s"
}

# build DIR [cmake options...]; with the tests unless the options say otherwise, whatever
# the folder's cache holds.
build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DECHO_DAEMON_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

# ctest in build folder DIR, its output kept as $logs/tables-NAME too.
run_tests() { # DIR NAME
    ctest --test-dir "$1" -j "$jobs" --output-on-failure | tee "$logs/tables-$2"
}

# What ran, a line a suite: rows, or tests for the C++ tables, that passed and failed.
summarize() { # LOG...
    awk 'FNR == 1 { name[++n] = FILENAME; sub(".*/", "", name[n]) }
        /^PASS: / { pass[n]++ } /^FAIL: / { fail[n]++ }
        / tests passed, [0-9]+ tests failed out of / { pass[n] += $NF - $4; fail[n] += $4 }
        /^\[  PASSED  \] [0-9]+ tests?\.$/ { pass[n] += $4 }
        END { for (i = 1; i <= n; i++) { printf "  %-18s %4d passed, %d failed\n", name[i], pass[i], fail[i]
                p += pass[i]; f += fail[i] }
            printf "check: %d passed, %d failed\n", p, f }' "$@"
}

# Formatting, clang-tidy, cppcheck and shellcheck; needs the compile commands of build/.
lint() {
    local sources units scripts
    mapfile -t sources < <(git ls-files '*.cpp' '*.hpp')
    # Every shell script: by its name or by its first line (debian's maintainer scripts).
    mapfile -t scripts < <(git ls-files -z | xargs -0 awk 'FNR == 1 {
        if (FILENAME ~ /\.sh$/ || /^#!\/bin\/(ba)?sh/) print FILENAME
        nextfile }')
    mapfile -t units < <(git ls-files '*.cpp')
    clang-format --dry-run --Werror "${sources[@]}"
    # Every C++ file, headers through the files that include them, one core each.
    printf '%s\0' "${units[@]}" | xargs -0 -n 2 -P "$jobs" clang-tidy --quiet -p build
    cppcheck --error-exitcode=1 --quiet --std=c++20 --enable=warning,style,performance,portability src/
    cppcheck --error-exitcode=1 --quiet --std=c++20 --enable=warning,performance,portability \
        --library=googletest tests/
    shellcheck -x "${scripts[@]}"
    echo "lint: clean"
}

# The tests that mostly wait (a container's boot, chains that end, restart pauses), each
# with its output in $logs.
waiting_tests() { # DEB ARM64_DEB
    tests/systemd_test.sh "$1" >"$logs/systemd" 2>&1 && tests/container_test.sh "$@" >"$logs/container" 2>&1 &&
        build/tests/soak >"$logs/soak" 2>&1
}

# The tables against each named architecture's daemon, one after the other.
arches_tests() { # ARCH...
    local arch
    for arch in "$@"; do
        arch_tests "$arch" || return
    done
}

# Ends the tests in the background (each cleans up on SIGTERM) and drops the logs.
end_background() {
    local pid
    for pid in "${waiting_pid:-}" "${arches_pid:-}"; do
        [ -z "$pid" ] || pkill -TERM -P "$pid" 2>/dev/null || true
    done
    rm -rf "${logs:-}"
}

# Lint, three native builds, four cross builds and every test. The waiting tests and the
# other architectures' tables (which mostly wait too) run in the background beside the
# lint and the builds, which mostly compute, and print when they end; the suites, whose
# rows measure pauses, run beside nothing but the end of them.
check_everything() {
    local debs status=0 arches_status=0 arch
    build build
    cmake --build build -j "$jobs" --target soak front_client
    binfmt_ready "${check_arches[@]}"
    # This machine's package, and arm64's, whose image the container test runs emulated.
    debs=("$(packaging/build-deb.sh . build-package)" "$(packaging/build-deb.sh . build-package arm64)")
    logs=$(mktemp -d)
    waiting_tests "${debs[@]}" &
    waiting_pid=$!
    # Should anything below fail, the tests in the background end too.
    trap end_background EXIT
    for arch in "${check_arches[@]}"; do
        cross_build "$arch"
    done
    arches_tests "${check_arches[@]}" >"$logs/arches" 2>&1 &
    arches_pid=$!
    lint
    CXX=clang++ build build-clang
    CXX=clang++ build build-sanitize -DECHO_DAEMON_SANITIZE=ON
    tests/package_test.sh . build build/tests/daemon_tests | tee "$logs/package"
    wait "$arches_pid" || arches_status=$?
    cat "$logs/arches"
    ((arches_status == 0)) || return 1
    run_tests build g++
    wait "$waiting_pid" || status=$?
    cat "$logs/systemd" "$logs/container" "$logs/soak" 2>/dev/null || true
    ((status == 0)) || { echo "check: the systemd, container or soak test failed" >&2; return 1; }
    tests/front_test.sh build | tee "$logs/front"
    run_tests build-clang clang++
    run_tests build-sanitize sanitizers
    summarize "$logs"/tables-* "$logs"/{package,systemd,container,soak,front}
}

case "${1:-}" in
run)
    need "${build_tools[@]}"
    build build -DBUILD_TESTING=OFF
    exec build/echo-daemon 0 5
    ;;
bench)
    # The peers (openbsd-inetd, socat) are measured when installed, skipped otherwise:
    # installing openbsd-inetd also starts an inetd on the host.
    need "${build_tools[@]}" strace gnuplot-nox netbase
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$jobs" --target loadgen reference
    bench/run.sh build "${@:2}"
    ;;
package)
    arch=${2:-$host_arch}
    [[ " ${all_arches[*]} " == *" $arch "* ]] || { echo "dev.sh: ARCH is one of ${all_arches[*]}" >&2; exit 2; }
    mapfile -t cross < <(cross_tools "$arch")
    need "${build_tools[@]}" "${package_tools[@]}" lintian "${cross[@]}"
    deb=$(packaging/build-deb.sh . build-package "$arch")
    lintian --allow-root --pedantic --display-info "$deb"
    echo "$deb"
    ;;
image)
    mapfile -t cross < <(cross_tools "${image_arches[@]}")
    need "${build_tools[@]}" "${package_tools[@]}" "${image_tools[@]}" "${cross[@]}"
    debs=()
    for arch in "${image_arches[@]}"; do debs+=("$(packaging/build-deb.sh . build-package "$arch")"); done
    packaging/build-image.sh "${debs[@]}" build-image
    ;;
soak)
    need "${build_tools[@]}"
    build build
    cmake --build build -j "$jobs" --target soak
    build/tests/soak
    ;;
check)
    need "${build_tools[@]}" "${package_tools[@]}" "${package_checks[@]}" \
        clang libclang-rt-14-dev clang-format clang-tidy cppcheck shellcheck strace valgrind git iproute2 \
        "${front_tools[@]}" "${container_tools[@]}" "${image_tools[@]}"
    # shellcheck disable=SC2046 # one package name a word
    need $(arch_tools "${check_arches[@]}") $(cross_tools arm64)
    check_everything
    ;;
check-arches)
    # shellcheck disable=SC2046 # one package name a word
    need "${build_tools[@]}" $(arch_tools "${all_arches[@]}")
    build build
    binfmt_ready "${all_arches[@]}"
    for arch in "${all_arches[@]}"; do
        [ "$arch" = "$host_arch" ] || cross_build "$arch"
    done
    arches_tests "${all_arches[@]}"
    ;;
*)
    sed -n '2,/^# Missing/s/^# \{0,1\}//p' "$0"
    exit 2
    ;;
esac
