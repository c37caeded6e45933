#!/bin/bash
# Builds the Debian package twice, from two checkouts at different paths, and checks it
# as a user would get it: byte for byte the same both times, its contents, what the
# daemon links, lintian, the systemd unit, and that the packaged binary serves.
# Usage: package_test.sh SOURCE_DIR DAEMON_TESTS
set -euo pipefail
source_dir=$1
daemon_tests=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Tracked and new files as they are in the working tree, without any build folder.
debs=()
for copy in "$work/a/echo-daemon" "$work/other/path/echo-daemon"; do
    mkdir -p "$copy"
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
        tar -C "$source_dir" --null --ignore-failed-read -T - -cf - | tar -C "$copy" -xf -
    debs+=("$copy/$("$source_dir/packaging/build-deb.sh" "$copy" build-package)")
done
sums=$(cd "$work" && sha256sum "${debs[@]#"$work/"}")
echo "$sums"
[ "$(awk '{print $1}' <<<"$sums" | uniq | wc -l)" = 1 ]
deb=${debs[0]}
[[ "$deb" == */echo-daemon_*_"$(dpkg --print-architecture)".deb ]]

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
[ "$(dpkg-deb -f "$deb" Version)" = "$(dpkg-parsechangelog -l "$source_dir/packaging/changelog" -SVersion)" ]
[[ "$(dpkg-deb -f "$deb" Depends)" == "libc6 (>= "*")" ]]
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sort | tr '\n' ' ')" = "./control ./md5sums ./postinst ./postrm ./prerm " ]

root="$work/root"
dpkg-deb -x "$deb" "$root"
needed=$(readelf -d "$root/usr/sbin/echo-daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = libc.so.6 ] || { echo "needs: $needed"; exit 1; }

# Each tag that may stay has its reason in the README.
allowed='hardening-no-fortify-functions|package-supports-alternative-init-but-no-init.d-script'
findings=$(lintian --allow-root --pedantic --display-info --display-experimental "$deb")
if grep -v -E ": ($allowed) " <<<"$findings"; then
    exit 1
fi

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
