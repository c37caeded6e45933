#!/bin/bash
# Builds the Debian package from a source tree as Debian would: build type None, so that
# dpkg-buildflags alone sets the code's flags, and every time stamp taken from the
# changelog. The same source then gives the same .deb wherever it is checked out.
# Usage: packaging/build-deb.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR inside SOURCE_DIR)
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$2

SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$source_dir/packaging/changelog" -STimestamp)
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# dpkg-buildflags maps the directory it runs in to "." in debug information, which
# covers the build folder inside it.
cd "$source_dir"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=None -DECHO_DAEMON_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" >/dev/null
(cd "$build_dir" && cpack -G DEB >cpack.log 2>&1) || {
    cat "$build_dir/cpack.log" >&2
    exit 1
}
version=$(dpkg-parsechangelog -l packaging/changelog -SVersion)
echo "$build_dir/echo-daemon_${version}_$(dpkg --print-architecture).deb"
