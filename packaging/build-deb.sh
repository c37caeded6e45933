#!/bin/bash
# Builds the Debian package with dpkg-buildpackage from the tracked and new files of
# SOURCE_DIR as they are in the working tree, and prints the path of the .deb.
# dpkg-buildpackage writes its packages next to the source tree, so the files are
# copied to OUT_DIR/echo-daemon, afresh each time, and the packages land in OUT_DIR.
# ARCH, another Debian architecture than this machine's, cross-builds with
# crossbuild-essential-ARCH; the default is this machine's.
# Usage: packaging/build-deb.sh SOURCE_DIR OUT_DIR [ARCH]
set -euo pipefail
shopt -s inherit_errexit
mkdir -p "$2"
out=$(cd "$2" && pwd)
arch=${3:-$(dpkg --print-architecture)}
case "$(cd "$1" && pwd)/" in "$out/echo-daemon/"*)
    echo "build-deb.sh: $out/echo-daemon would be the source itself" >&2
    exit 2
    ;;
esac
cross=()
[ "$arch" = "$(dpkg --print-architecture)" ] || cross=(--host-arch "$arch" "-Pcross,nocheck")
rm -rf "$out/echo-daemon" "$out"/echo-daemon{,-dbgsym}_*_"$arch".{deb,buildinfo,changes}
mkdir "$out/echo-daemon"
git -C "$1" ls-files -z --cached --others --exclude-standard |
    tar -C "$1" --null --ignore-failed-read --warning=no-failed-read -T - -cf - | tar -C "$out/echo-daemon" -xf -
(cd "$out/echo-daemon" && dpkg-buildpackage -us -uc -b "${cross[@]}") >"$out/build-$arch.log" 2>&1 || {
    cat "$out/build-$arch.log" >&2
    exit 1
}
version=$(dpkg-parsechangelog -l "$out/echo-daemon/debian/changelog" -SVersion)
echo "$out/echo-daemon_${version}_$arch.deb"
