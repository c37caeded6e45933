#!/bin/bash
# One entry point for building, running and testing echo-daemon on Debian 12.
#   ./dev.sh run     build, then run the daemon in the foreground (echo-daemon 0 5)
#   ./dev.sh soak    build, then soak the daemon for up to two minutes
#   ./dev.sh bench   build, then benchmark against the reference server and the peers
#   ./dev.sh package build the Debian package (dpkg-buildpackage) and print its path
#   ./dev.sh image   build the OCI image from that package and print its archive's path
#   ./dev.sh check   lint, then build with g++, clang++ and the sanitizers (warnings
#                    fatal), run every test with each build, soak the g++ build, and
#                    test the package under systemd in a container and the image
#                    under podman
# Missing Debian packages are installed first (apt-get, as root).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")"

jobs=$(nproc)

# Installs whichever of the named Debian packages are missing.
need() {
    local missing=() package
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "dev.sh: needs these Debian packages: ${missing[*]}" >&2
            echo "dev.sh: run it as root, or install sudo, or install them first (apt-get install ${missing[*]})" >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "dev.sh: installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    # sudo resets the environment: the variable must be set behind it.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
# python3-yaml.
image_tools=(podman buildah runc skopeo libcap2-bin catatonit python3-yaml)

# build DIR [cmake options...]; with the tests unless the options say otherwise, whatever
# the folder's cache holds.
build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DECHO_DAEMON_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBUILD_TESTING=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

run_tests() {
    ctest --test-dir "$1" -j "$jobs" --output-on-failure
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

# The tests that mostly wait (a container's boot, chains that end, restart pauses).
waiting_tests() { # DEB
    tests/systemd_test.sh "$1" && tests/container_test.sh "$1" && build/tests/soak
}

# Lint, three builds and every test. The waiting tests run in the background beside the
# lint and the builds, which mostly compute, and print when they end; the suites, whose
# rows measure pauses, run beside nothing but the end of them.
check_everything() {
    local deb status=0
    build build
    deb=$(packaging/build-deb.sh . build-package)
    waiting_log=$(mktemp)
    waiting_tests "$deb" >"$waiting_log" 2>&1 &
    waiting_pid=$!
    # Should anything below fail, the waiting tests end too (each cleans up on SIGTERM).
    trap 'pkill -TERM -P "$waiting_pid" 2>/dev/null || true; rm -f "$waiting_log"' EXIT
    lint
    CXX=clang++ build build-clang
    CXX=clang++ build build-sanitize -DECHO_DAEMON_SANITIZE=ON
    # A 32-bit daemon, where long is 32 bits wide, for the command-line table.
    build build-m32 -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS=-m32
    readelf -h build-m32/echo-daemon | grep -q 'Class: *ELF32'
    tests/package_test.sh . build build/tests/daemon_tests
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
    build build -DBUILD_TESTING=OFF
    exec build/echo-daemon 0 5
    ;;
bench)
    # The peers (openbsd-inetd, socat) are measured when installed, skipped otherwise:
    # installing openbsd-inetd also starts an inetd on the host.
    need "${build_tools[@]}" strace gnuplot-nox netbase
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    bench/run.sh build "${@:2}"
    ;;
package)
    need "${build_tools[@]}" "${package_tools[@]}" lintian
    deb=$(packaging/build-deb.sh . build-package)
    lintian --allow-root --pedantic --display-info "$deb"
    echo "$deb"
    ;;
image)
    need "${build_tools[@]}" "${package_tools[@]}" "${image_tools[@]}"
    deb=$(packaging/build-deb.sh . build-package)
    packaging/build-image.sh "$deb" build-image
    ;;
soak)
    need "${build_tools[@]}"
    build build
    build/tests/soak
    ;;
check)
    need "${build_tools[@]}" "${package_tools[@]}" "${package_checks[@]}" \
        g++-multilib clang libclang-rt-14-dev clang-format clang-tidy cppcheck shellcheck strace valgrind git iproute2 \
        "${front_tools[@]}" "${container_tools[@]}" "${image_tools[@]}"
    check_everything
    ;;
*)
    sed -n '2,12s/^# \{0,1\}//p' "$0"
    exit 2
    ;;
esac
