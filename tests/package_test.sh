#!/bin/bash
# Builds the Debian package twice, from copies at two different paths, and checks it as
# a user would get it: byte for byte the same both times, its contents, what the daemon
# links, lintian, the systemd unit, and that the packaged binary serves. Also installs
# the build folder under a prefix of its own: its unit must run the daemon from there.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR DAEMON_TESTS
set -euo pipefail
source_dir=$1
build_dir=$2
daemon_tests=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
unit=$prefix/lib/systemd/system/echo-daemon.service
grep -qx "ExecStart=$prefix/sbin/echo-daemon 0 5" "$unit" || { grep ExecStart "$unit"; exit 1; }

deb=$("$source_dir/packaging/build-deb.sh" "$source_dir" "$work/a")
"$source_dir/packaging/build-deb.sh" "$source_dir" "$work/other/path" >/dev/null
# Both packages: the program and its debugging symbols.
diff <(cd "$work/a" && sha256sum ./*.deb) <(cd "$work/other/path" && sha256sum ./*.deb)
[[ "$deb" == */echo-daemon_*_"$(dpkg --print-architecture)".deb ]]

expected="./usr/lib/systemd/system/echo-daemon.service
./usr/sbin/echo-daemon
./usr/share/doc/echo-daemon/changelog.gz
./usr/share/doc/echo-daemon/copyright
./usr/share/doc/echo-daemon/examples/haproxy.cfg
./usr/share/doc/echo-daemon/examples/kubernetes.yaml
./usr/share/man/man8/echo-daemon.8.gz"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
diff <(echo "$expected") <(echo "$actual")
# Fields are read into variables first: grep -q under pipefail could stop the writer.
[ "$(dpkg-deb -f "$deb" Package)" = echo-daemon ]
[ "$(dpkg-deb -f "$deb" Section)" = net ]
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -SVersion)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ]
[[ "$(dpkg-deb -f "$deb" Depends)" == "libc6 (>= "*")" ]]
# debhelper's maintainer scripts, and the prerm that stops the service on removal.
members=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sort | tr '\n' ' ')
[ "$members" = "./ ./control ./md5sums ./postinst ./postrm ./prerm " ] || { echo "control: $members"; exit 1; }

root="$work/root"
dpkg-deb -x "$deb" "$root"

# Each tag that may stay has its reason in the README; any other finding fails, as does
# lintian itself. The .changes file covers both packages.
lintian --allow-root --pedantic --display-info --display-experimental \
    --suppress-tags hardening-no-fortify-functions,package-supports-alternative-init-but-no-init.d-script \
    "${deb%.deb}.changes" >"$work/lintian" 2>&1 || { cat "$work/lintian"; echo "lintian failed"; exit 1; }
[ ! -s "$work/lintian" ] || { cat "$work/lintian"; exit 1; }

# CMake reads the version from the same changelog, for the manual page.
th=$(zcat "$root/usr/share/man/man8/echo-daemon.8.gz" | sed -n '/^\.TH /p')
[[ "$th" == *"echo-daemon $version"* ]] || { echo "manual page: $th"; exit 1; }
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

# The packaged binary serves, restarts, and needs libc alone.
ECHO_DAEMON="$root/usr/sbin/echo-daemon" "$daemon_tests" --gtest_brief=1 \
    --gtest_filter='Service.EchoesTheFirstChunkOfEachClient:Restart.NextImageGetsTheOwnNumberAsPlainDecimal:Service.NeedsLibcAlone'
echo "package: $(basename "$deb") checked"
