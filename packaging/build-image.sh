#!/bin/bash
# Builds the OCI image of echo-daemon from our Debian package and prints the path of the
# OCI archive it wrote (podman load -i and skopeo read it). No registry is involved: the
# image starts from nothing and holds the package's daemon, the C library files it loads,
# taken from Debian's libc6 package (kept in OUT_DIR, from apt's cache or apt-get
# download), and the two packages' copyright files. The daemon runs as user 65534 and
# carries the one capability it needs, binding port 80, as a file capability.
# The image ID depends only on the .deb, the libc6 package and buildah's version: file
# times and the creation time are the date of the package's changelog entry, and buildah
# runs on a store of its own, made afresh and removed after.
# Usage: packaging/build-image.sh DEB OUT_DIR   (as root, like buildah)
set -euo pipefail
shopt -s inherit_errexit
[ $# -eq 2 ] || { echo "usage: $0 DEB OUT_DIR" >&2; exit 2; }
deb=$(realpath "$1")
mkdir -p "$2"
out=$(cd "$2" && pwd)
user=65534
work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
trap 'exit 130' INT TERM

# The libc6 .deb of apt's candidate version for ARCH: from DIR or apt's cache if either
# holds it, so that a second build needs no network; else downloaded by apt into DIR,
# where it stays. Prints its path.
libc6_deb() {
    local arch=$1 dir=$2 version name
    version=$(apt-cache show --no-all-versions "libc6:$arch" | sed -n 's/^Version: //p')
    [ -n "$version" ] || { echo "build-image.sh: apt knows no libc6:$arch" >&2; return 1; }
    name=libc6_${version//:/%3a}_$arch.deb
    if [ ! -f "$dir/$name" ] && [ -f "/var/cache/apt/archives/$name" ]; then
        cp "/var/cache/apt/archives/$name" "$dir/"
    elif [ ! -f "$dir/$name" ]; then
        # As root, apt would otherwise warn that its sandbox user cannot write DIR.
        (cd "$dir" && apt-get download -qq -o APT::Sandbox::User=root "libc6:$arch=$version")
    fi
    echo "$dir/$name"
}

# Copies PATH of the tree FROM to the tree TO, following symbolic links within FROM
# (the program interpreter is a link), so that the link and its target both land in TO.
copy_from() {
    local from=$1 to=$2 path=$3 target
    [ -e "$from$path" ] || { echo "build-image.sh: $path is not in the libc6 package" >&2; return 1; }
    mkdir -p "$to$(dirname "$path")"
    cp -a "$from$path" "$to$path"
    if [ -L "$from$path" ]; then
        target=$(readlink "$from$path")
        [[ $target == /* ]] || target=$(dirname "$path")/$target
        copy_from "$from" "$to" "$target"
    fi
}

# Fills ROOT with the daemon of the package tree PKG and what it loads from the libc6
# tree LIBC: its program interpreter and every library it names, each of which must be
# in libc6.
fill_root() {
    local pkg=$1 libc=$2 root=$3 daemon=/usr/sbin/echo-daemon interp library multiarch
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH -a "$(dpkg-deb -f "$deb" Architecture)" 2>/dev/null)
    install -D -m 0755 "$pkg$daemon" "$root$daemon"
    interp=$(readelf -lW "$pkg$daemon" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
    copy_from "$libc" "$root" "$interp"
    for library in $(readelf -dW "$pkg$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
        copy_from "$libc" "$root" "/lib/$multiarch/$library"
    done
    install -D -m 0644 "$pkg/usr/share/doc/echo-daemon/copyright" "$root/usr/share/doc/echo-daemon/copyright"
    install -D -m 0644 "$libc/usr/share/doc/libc6/copyright" "$root/usr/share/doc/libc6/copyright"
    # Granted at exec to a user whose bounding set allows it (podman's and Docker's
    # defaults), never under no_new_privs: there the port needs the namespace's
    # net.ipv4.ip_unprivileged_port_start instead.
    setcap cap_net_bind_service=ep "$root$daemon"
}

dpkg-deb -x "$deb" "$work/pkg"
arch=$(dpkg-deb -f "$deb" Architecture)
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -x "$(libc6_deb "$arch" "$out")" "$work/libc"
fill_root "$work/pkg" "$work/libc" "$work/root"
gzip -dc "$work/pkg/usr/share/doc/echo-daemon/changelog.gz" >"$work/changelog"
epoch=$(dpkg-parsechangelog -l "$work/changelog" -STimestamp)
# The source's address, once debian/copyright's header names one; until then the package.
source=$(sed -n '/^$/q; s/^Source: //p' "$work/pkg/usr/share/doc/echo-daemon/copyright")
# Only the changelog's date may reach the layer; cp and install gave files the time of now.
find "$work/root" -exec touch -h -d "@$epoch" {} +

buildah=(buildah --root "$work/store" --runroot "$work/run" --storage-driver vfs)
ctr=$("${buildah[@]}" from --quiet scratch)
"${buildah[@]}" copy --quiet "$ctr" "$work/root" / >/dev/null
"${buildah[@]}" config --entrypoint '["/usr/sbin/echo-daemon"]' --cmd '["0", "5"]' \
    --user "$user:$user" --port 80/tcp --stop-signal SIGTERM \
    --label "org.opencontainers.image.title=echo-daemon" \
    --label "org.opencontainers.image.version=$version" \
    --label "org.opencontainers.image.licenses=MIT AND LGPL-2.1-or-later" \
    --label "org.opencontainers.image.source=${source:-echo-daemon $version, Debian source package}" "$ctr"
archive=$out/echo-daemon_${version}_$arch.oci.tar
rm -f "$archive"
"${buildah[@]}" commit --quiet --timestamp "$epoch" --identity-label=false --omit-history --rm \
    "$ctr" "oci-archive:$archive:echo-daemon:$version" >/dev/null
echo "$archive"
