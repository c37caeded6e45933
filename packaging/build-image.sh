#!/bin/bash
# Builds the OCI image of echo-daemon from our Debian packages, one platform for each
# package's architecture, and prints the path of the OCI archive it wrote: one image index
# (skopeo copy --all reads it; podman pull --arch takes one platform of it). No registry
# is involved: each image starts from nothing and holds its package's daemon, the C
# library files it loads, taken from Debian's libc6 package of that architecture (kept in
# OUT_DIR, from apt's cache or apt-get download), and the two packages' copyright files.
# The daemon runs as user and group 65534 and carries the one capability it needs, binding port 80,
# as a file capability.
# The index's digest depends only on the .debs, the libc6 packages and buildah's version:
# file times and the creation time are the date of the package's changelog entry, and
# buildah runs on a store of its own, made afresh and removed after.
# Usage: packaging/build-image.sh DEB... OUT_DIR   (as root, like buildah)
set -euo pipefail
shopt -s inherit_errexit
[ $# -ge 2 ] || { echo "usage: $0 DEB... OUT_DIR" >&2; exit 2; }
debs=()
for deb in "${@:1:$#-1}"; do debs+=("$(realpath "$deb")"); done
mkdir -p "${!#}"
out=$(cd "${!#}" && pwd)
user=65534
work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
trap 'exit 130' INT TERM
# Debian's architecture names, and the OCI platforms (architecture/variant) they are.
declare -A platforms=([amd64]=amd64 [arm64]=arm64 [armel]=arm/v5 [armhf]=arm/v7 [i386]=386
    [mips64el]=mips64le [mipsel]=mipsle [ppc64el]=ppc64le [s390x]=s390x)

# Runs COMMAND up to three times, half a minute apart (apt gives up on a connection silent
# for a minute): a mirror's bad hour must neither hang the build nor fail it unsaid.
from_archive() { # COMMAND...
    local try
    for try in 1 2 3; do
        "$@" && return 0
        echo "build-image.sh: try $try of 3 failed: $*" >&2
        ((try == 3)) || sleep 30
    done
    echo "build-image.sh: Debian's archive did not serve this: $*" >&2
    return 1
}

version_of_libc6() { "$@" show --no-all-versions libc6 2>/dev/null | sed -n 's/^Version: //p' || true; }
# Lists that name a libc6 serve, whatever else failed (another suite's index mid-sync).
update_lists() { # APT_OPTIONS...
    apt-get "$@" -o APT::Sandbox::User=root update -qq >/dev/null 2>&1 || true
    [ -n "$(version_of_libc6 apt-cache "$@")" ] || { echo "no libc6 in the lists" >&2; return 1; }
}

# The libc6 .deb of apt's candidate version for ARCH: from DIR, or for this machine's
# architecture from apt's cache, so that a second build needs no network; else downloaded
# by apt into DIR, where it stays. Another architecture gets package lists of its own in
# DIR/apt-ARCH, updated only when the .deb they name is not in DIR yet: the machine's dpkg
# gains no architecture, and its apt-get update cannot fail on that one's lists.
libc6_deb() {
    local arch=$1 dir=$2 options=() version name
    if [ "$arch" != "$(dpkg --print-architecture)" ]; then
        mkdir -p "$dir/apt-$arch/lists/partial" "$dir/apt-$arch/cache/archives/partial"
        options=(-o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -o Dir::State::status=/dev/null
            -o "Dir::State::Lists=$dir/apt-$arch/lists" -o "Dir::Cache=$dir/apt-$arch/cache"
            -o Acquire::http::Timeout=60)
        version=$(version_of_libc6 apt-cache "${options[@]}")
        if [ ! -f "$dir/libc6_${version//:/%3a}_$arch.deb" ]; then
            from_archive update_lists "${options[@]}"
            version=$(version_of_libc6 apt-cache "${options[@]}")
        fi
    else
        version=$(version_of_libc6 apt-cache)
    fi
    [ -n "$version" ] || { echo "build-image.sh: apt knows no libc6:$arch" >&2; return 1; }
    name=libc6_${version//:/%3a}_$arch.deb
    if [ ! -f "$dir/$name" ] && [ -f "/var/cache/apt/archives/$name" ]; then
        cp "/var/cache/apt/archives/$name" "$dir/"
    elif [ ! -f "$dir/$name" ]; then
        # As root, apt would otherwise warn that its sandbox user cannot write DIR.
        (cd "$dir" && from_archive apt-get "${options[@]}" -o Acquire::http::Timeout=60 -o APT::Sandbox::User=root \
            download -qq "libc6:$arch=$version")
    fi
    echo "$dir/$name"
}

# Copies PATH of the tree FROM to the tree TO, following symbolic links within FROM
# (the program interpreter is a link), so that the link and its target both land in TO.
copy_from() {
    local from=$1 to=$2 path=$3 target
    [ -e "$from$path" ] || [ -L "$from$path" ] || { echo "build-image.sh: $path is not in the libc6 package" >&2; return 1; }
    mkdir -p "$to$(dirname "$path")"
    cp -a "$from$path" "$to$path"
    if [ -L "$from$path" ]; then
        target=$(readlink "$from$path")
        [[ $target == /* ]] || target=$(dirname "$path")/$target
        copy_from "$from" "$to" "$target"
    fi
}

# Fills ROOT with the daemon of the package tree PKG and what it loads from the libc6
# tree LIBC, both of Debian architecture ARCH: its program interpreter and every library
# it names, each of which must be in libc6.
fill_root() {
    local pkg=$1 libc=$2 root=$3 arch=$4 daemon=/usr/sbin/echo-daemon interp library multiarch
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH -a "$arch" 2>/dev/null)
    install -D -m 0755 "$pkg$daemon" "$root$daemon"
    interp=$(readelf -lW "$pkg$daemon" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
    copy_from "$libc" "$root" "$interp"
    for library in $(readelf -dW "$pkg$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
        copy_from "$libc" "$root" "/lib/$multiarch/$library"
    done
    install -D -m 0644 "$pkg/usr/share/doc/echo-daemon/copyright" "$root/usr/share/doc/echo-daemon/copyright"
    install -D -m 0644 "$libc/usr/share/doc/libc6/copyright" "$root/usr/share/doc/libc6/copyright"
    # Granted at exec where the bounding set holds it (podman's defaults, or --cap-drop all
    # --cap-add net_bind_service), no_new_privs notwithstanding; where the set lacks it,
    # the exec itself fails, and no sysctl can help.
    setcap cap_net_bind_service=ep "$root$daemon"
}

# Builds DEB's image in buildah's store and adds it to the list echo-daemon.
add_platform() { # DEB
    local deb=$1 arch dir platform variant='' libc6 ctr
    arch=$(dpkg-deb -f "$deb" Architecture)
    platform=${platforms[$arch]:-}
    [ -n "$platform" ] || { echo "build-image.sh: no OCI platform for $arch" >&2; return 1; }
    [[ $platform != */* ]] || variant=${platform#*/}
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || { echo "build-image.sh: $deb is not $version" >&2; return 1; }
    dir=$work/$arch && mkdir "$dir"
    dpkg-deb -x "$deb" "$dir/pkg"
    libc6=$(libc6_deb "$arch" "$out")
    dpkg-deb -x "$libc6" "$dir/libc"
    fill_root "$dir/pkg" "$dir/libc" "$dir/root" "$arch"
    # Only the changelog's date may reach the layer; cp and install gave files the time of now.
    find "$dir/root" -exec touch -h -d "@$epoch" {} +
    ctr=$("${buildah[@]}" from --quiet scratch)
    "${buildah[@]}" copy --quiet "$ctr" "$dir/root" / >/dev/null
    "${buildah[@]}" config --os linux --arch "${platform%/*}" --variant "$variant" \
        --entrypoint '["/usr/sbin/echo-daemon"]' --cmd '["0", "5"]' \
        --user "$user:$user" --port 80/tcp --stop-signal SIGTERM \
        --label "org.opencontainers.image.title=echo-daemon" \
        --label "org.opencontainers.image.version=$version" \
        --label "org.opencontainers.image.licenses=MIT AND LGPL-2.1-or-later" \
        --label "org.opencontainers.image.source=${source:-echo-daemon $version, Debian source package}" "$ctr"
    "${buildah[@]}" commit --quiet --timestamp "$epoch" --identity-label=false --omit-history --rm \
        "$ctr" "localhost/echo-daemon-$arch" >/dev/null
    "${buildah[@]}" manifest add echo-daemon "localhost/echo-daemon-$arch" >/dev/null
}

version=$(dpkg-deb -f "${debs[0]}" Version)
dpkg-deb --fsys-tarfile "${debs[0]}" | tar -xOf - ./usr/share/doc/echo-daemon/changelog.gz | gzip -dc >"$work/changelog"
epoch=$(dpkg-parsechangelog -l "$work/changelog" -STimestamp)
# The source's address, once debian/copyright's header names one; until then the package.
source=$(dpkg-deb --fsys-tarfile "${debs[0]}" | tar -xOf - ./usr/share/doc/echo-daemon/copyright | sed -n '/^$/q; s/^Source: //p')
buildah=(buildah --root "$work/store" --runroot "$work/run" --storage-driver vfs)
"${buildah[@]}" manifest create echo-daemon >/dev/null
for deb in "${debs[@]}"; do add_platform "$deb"; done
archive=$out/echo-daemon_$version.oci.tar
rm -f "$archive"
"${buildah[@]}" manifest push --quiet --all --format oci echo-daemon "oci-archive:$archive:echo-daemon:$version"
echo "$archive"
