#!/bin/bash
# Builds the Debian package twice, from copies at two different paths, and checks it as a
# user would get it: byte for byte the same both times, its files, lintian, its systemd
# unit, and that the packaged binary serves. Also installs the build folder under a prefix
# of its own: its unit must run the daemon from there. One PASS or FAIL line per check.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR DAEMON_TESTS
set -euo pipefail
shopt -s inherit_errexit
# shellcheck source=tests/rows.sh
source "$(dirname "${BASH_SOURCE[0]}")/rows.sh"
source_dir=$1
build_dir=$2
daemon_tests=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT


unit_runs_from_prefix() {
    local prefix=$work/prefix unit
    cmake --install "$build_dir" --prefix "$prefix" >/dev/null || return
    unit=$prefix/lib/systemd/system/echo-daemon.service
    grep -qx "ExecStart=$prefix/sbin/echo-daemon 0 5" "$unit" || { grep ExecStart "$unit"; return 1; }
}
# Both packages: the program and its debugging symbols.
reproducible() { diff <(cd "$work/a" && sha256sum ./*.deb) <(cd "$work/other/path" && sha256sum ./*.deb); }
# What a user finds installed: nothing missing (the example front), nothing extra.
ships_its_files() {
    local expected="./usr/lib/systemd/system/echo-daemon.service
./usr/sbin/echo-daemon
./usr/share/doc/echo-daemon/changelog.gz
./usr/share/doc/echo-daemon/copyright
./usr/share/doc/echo-daemon/examples/haproxy.cfg
./usr/share/doc/echo-daemon/examples/kubernetes.yaml
./usr/share/man/man8/echo-daemon.8.gz"
    diff <(echo "$expected") <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
}
# Two tags stay: hardening-no-fortify-functions, because the one guarded call, read into
# the 64-byte buffer with its own size, is proven safe at compile time and no _chk variant
# is linked; package-supports-alternative-init-but-no-init.d-script, because an init.d
# script would run the daemon as root without the unit's sandbox. Any other finding fails
# (the manual page's groff warnings among them); the .changes file covers both packages.
lintian_clean() {
    local findings
    findings=$(lintian --allow-root --pedantic --display-info --display-experimental \
        --suppress-tags hardening-no-fortify-functions,package-supports-alternative-init-but-no-init.d-script \
        "${deb%.deb}.changes" 2>&1) || { echo "$findings"; echo "lintian failed"; return 1; }
    [ -z "$findings" ] || { echo "$findings"; return 1; }
}
# verify resolves the unit's dependencies, ExecStart and manual page inside the unpacked
# root; it only warns of an unknown key or a value it cannot parse, which the unit then
# silently goes without, so any output fails.
unit_verifies() {
    local root=$work/root output
    mkdir -p "$root/lib/systemd/system"
    cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
    output=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" echo-daemon.service 2>&1) ||
        { echo "$output"; return 1; }
    [ -z "$output" ] || { echo "$output"; return 1; }
}
packaged_binary_serves() { # quiet unless a row fails
    local out
    out=$(ECHO_DAEMON="$work/root/usr/sbin/echo-daemon" "$daemon_tests" --gtest_brief=1 \
        --gtest_filter='Service.EchoesTheFirstChunkOfEachClient:Restart.NextImageGetsTheOwnNumberAsPlainDecimal:Service.NeedsLibcAlone') ||
        { echo "$out"; return 1; }
}

check "a from-source install's unit runs the daemon from its prefix" unit_runs_from_prefix
deb=$("$source_dir/packaging/build-deb.sh" "$source_dir" "$work/a") || { echo "FAIL: the package builds"; exit 1; }
"$source_dir/packaging/build-deb.sh" "$source_dir" "$work/other/path" >/dev/null ||
    { echo "FAIL: the package builds at another path"; exit 1; }
dpkg-deb -x "$deb" "$work/root"
check "two builds at different paths are the same, byte for byte" reproducible
check "ships the program, its unit, manual page, changelog, copyright and example" ships_its_files
check "lintian finds nothing but the two explained tags" lintian_clean
check "systemd-analyze verify: the unit loads without a warning" unit_verifies
# The packaged binary serves, restarts, and needs libc alone.
check "the packaged binary passes the service, restart and libc rows" packaged_binary_serves
((failures == 0))
