#!/bin/bash
# Builds the Debian package from a build folder and checks it as a user would get it:
# its contents, lintian, the systemd unit, and that the packaged binary serves.
# Usage: package_test.sh BUILD_DIR DAEMON_TESTS
set -euo pipefail
build=$1
daemon_tests=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    exit 1
}
deb=$(ls "$work"/echo-daemon_*_amd64.deb)

expected="./usr/lib/systemd/system/echo-daemon.service
./usr/sbin/echo-daemon
./usr/share/doc/echo-daemon/changelog.gz
./usr/share/doc/echo-daemon/copyright
./usr/share/man/man8/echo-daemon.8.gz"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
diff <(echo "$expected") <(echo "$actual")
# Fields are read into variables first: grep -q under pipefail could stop the writer.
[ "$(dpkg-deb -f "$deb" Package)" = echo-daemon ]
[ "$(dpkg-deb -f "$deb" Section)" = net ]
[[ "$(dpkg-deb -f "$deb" Depends)" == libc6* ]]

# Errors and warnings fail; informational tags do not.
findings=$(lintian --allow-root "$deb")
if grep -E '^[EW]:' <<<"$findings"; then
    exit 1
fi

root="$work/root"
dpkg-deb -x "$deb" "$root"
warnings=$(man --warnings -l "$root/usr/share/man/man8/echo-daemon.8.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }

# verify resolves the unit's dependencies and ExecStart inside the unpacked root.
mkdir -p "$root/lib/systemd/system"
cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" echo-daemon.service
exposure=$(systemd-analyze security --offline=true "$root/usr/lib/systemd/system/echo-daemon.service" |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
echo "exposure: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }'

ECHO_DAEMON="$root/usr/sbin/echo-daemon" "$daemon_tests" --gtest_brief=1 \
    --gtest_filter='Service.EchoesTheFirstChunkOfEachClient:Restart.NextImageGetsTheOwnNumberAsPlainDecimal'
echo "package: $(basename "$deb") checked"
