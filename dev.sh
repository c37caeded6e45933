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
#                    fatal), run every test with each build, soak the g++ build, and
#                    test the package under systemd in a container and the image
#                    under podman
# Missing Debian packages are installed first (apt-get, as root).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")"

jobs=$(nproc)

# apt-get ARGS... as root, up to three tries half a minute apart; a connection silent for a
# minute fails the try: a mirror's bad hour must neither hang a build nor fail it without
# saying what failed. sudo resets the environment: the variable must be set behind it.
apt_get() {
    local try
    for try in 1 2 3; do
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::http::Timeout=60 "$@" && return 0
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
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "dev.sh: needs these Debian packages: ${missing[*]}" >&2
            echo "dev.sh: run it as root, or install sudo, or install them first (apt-get install ${missing[*]})" >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "dev.sh: installing ${missing[*]}"
    apt_get update -qq --error-on=any || echo "dev.sh: going on with the package lists apt has" >&2
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
# The architectures of the image's platforms, and every one a package is built for.
image_arches=(amd64 arm64 armhf ppc64el s390x)
package_arches=(amd64 arm64 armel armhf i386 mips64el mipsel ppc64el s390x)

# The cross compilers for those of the named architectures that are not this machine's.
cross_tools() { # ARCH...
    local arch
    for arch in "$@"; do
        [ "$arch" = "$(dpkg --print-architecture)" ] || echo "crossbuild-essential-$arch"
    done
}

# build DIR [cmake options...]
build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DECHO_DAEMON_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

run_tests() {
    ctest --test-dir "$1" -j "$jobs" --output-on-failure
}

# Formatting, clang-tidy and cppcheck; needs the compile commands of build/.
lint() {
    local sources units
    mapfile -t sources < <(git ls-files '*.cpp' '*.hpp')
    mapfile -t units < <(git ls-files '*.cpp')
    clang-format --dry-run --Werror "${sources[@]}"
    # Every C++ file, headers through the files that include them, one core each.
    printf '%s\0' "${units[@]}" | xargs -0 -n 2 -P "$jobs" clang-tidy --quiet -p build
    cppcheck --error-exitcode=1 --quiet --std=c++20 --enable=warning,style,performance,portability src/
    cppcheck --error-exitcode=1 --quiet --std=c++20 --enable=warning,performance,portability \
        --library=googletest tests/
    echo "lint: clean"
}

# The tests that mostly wait (a container's boot, chains that end, restart pauses).
waiting_tests() { # DEB
    tests/systemd_test.sh "$1" && tests/container_test.sh "$1" && build/tests/soak
}

# Lint, three builds and every test. The waiting tests run in the background beside the
# lint and the builds, which mostly compute, and print when they end; the suites, whose
# rows measure pauses, run beside nothing but the end of them.
check_everything() {
    local deb status=0
    build build -DECHO_DAEMON_TESTS=ON
    deb=$(packaging/build-deb.sh . build-package)
    waiting_log=$(mktemp)
    waiting_tests "$deb" >"$waiting_log" 2>&1 &
    waiting_pid=$!
    # Should anything below fail, the waiting tests end too (each cleans up on SIGTERM).
    trap 'pkill -TERM -P "$waiting_pid" 2>/dev/null || true; rm -f "$waiting_log"' EXIT
    lint
    CXX=clang++ build build-clang -DECHO_DAEMON_TESTS=ON
    CXX=clang++ build build-sanitize -DECHO_DAEMON_TESTS=ON -DECHO_DAEMON_SANITIZE=ON
    # A 32-bit daemon, where long is 32 bits wide, for the command-line table.
    build build-m32 -DECHO_DAEMON_TESTS=OFF -DCMAKE_CXX_FLAGS=-m32
    readelf -h build-m32/echo-daemon | grep -q 'Class: *ELF32'
    run_tests build
    wait "$waiting_pid" || status=$?
    cat "$waiting_log"
    ((status == 0)) || { echo "check: the systemd, container or soak test failed" >&2; return 1; }
    ECHO_DAEMON=build-m32/echo-daemon build/tests/daemon_tests --gtest_brief=1 --gtest_filter='CommandLine.*'
    tests/front_test.sh build
    run_tests build-clang
    run_tests build-sanitize
}

case "${1:-}" in
run)
    need "${build_tools[@]}"
    build build -DECHO_DAEMON_TESTS=OFF
    exec build/echo-daemon 0 5
    ;;
bench)
    # The peers (openbsd-inetd, socat) are measured when installed, skipped otherwise:
    # installing openbsd-inetd also starts an inetd on the host.
    need "${build_tools[@]}" strace gnuplot-nox netbase
    build build -DECHO_DAEMON_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    bench/run.sh build "${@:2}"
    ;;
package)
    arch=${2:-$(dpkg --print-architecture)}
    [[ " ${package_arches[*]} " == *" $arch "* ]] || { echo "dev.sh: ARCH is one of ${package_arches[*]}" >&2; exit 2; }
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
    build build -DECHO_DAEMON_TESTS=ON
    build/tests/soak
    ;;
check)
    need "${build_tools[@]}" "${package_tools[@]}" "${package_checks[@]}" \
        g++-multilib clang libclang-rt-14-dev clang-format clang-tidy cppcheck strace valgrind git iproute2 \
        "${front_tools[@]}" "${container_tools[@]}" "${image_tools[@]}"
    check_everything
    ;;
*)
    sed -n '2,15s/^# \{0,1\}//p' "$0"
    exit 2
    ;;
esac
