#!/usr/bin/env bash
# A Debian root file system with what the client's build and tests need, for
# building and testing against another Debian release's OpenSSL:
#
#   bash scripts/debian-root.sh <suite> <root-dir>      (as root)
#
# The root is made with debootstrap once, from the Debian archive this
# machine's apt sources name (scripts/apt-sources.sh), and kept as a
# tarball under .cache/debian-root/ (git-ignored); later runs unpack that
# tarball, so every run starts from the same pristine root. The tarball's
# name carries a digest of the suite and package list: changing either makes
# a new one. Remove .cache/debian-root/ to fetch everything anew.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 <suite> <root-dir>" >&2
    exit 2
fi
suite=$1
root=$2
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/apt-sources.sh
. "$repo/scripts/apt-sources.sh"
mirror=$(debian_mirror)

# Build: cmake, g++, OpenSSL and GoogleTest. End-to-end tests: pytest,
# cryptography, the sandbox's unshare, nsenter, mount and ip, what the lab
# kit's modes use (seccomp bindings, BusyBox), whose self-checks run too, and
# the stock web servers the package host cases run (lab/webservers.py) with curl.
packages=(
    cmake make g++ libssl-dev libgtest-dev openssl
    python3 python3-pytest python3-cryptography
    iproute2 util-linux mount procps
    python3-seccomp busybox faketime
    nginx apache2 lighttpd lighttpd-mod-openssl perl curl
)
digest=$(printf '%s\n' "$suite" "${packages[@]}" | sha256sum | cut -c1-12)
cache="$repo/.cache/debian-root"
tarball="$cache/$suite-amd64-$digest.tar.zst"

if [[ $EUID -ne 0 ]]; then
    echo "$0: debootstrap and unpacking a root need root" >&2
    exit 1
fi

if [[ ! -f $tarball ]]; then
    echo "debian-root: no cached $suite root; debootstrap from $mirror"
    mkdir -p "$cache"
    work=$(mktemp -d "$cache/new.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    # debootstrap lays the base; apt inside the new root then resolves the
    # rest (debootstrap's own resolver trips over virtual packages).
    debootstrap --variant=minbase "$suite" "$work/root" "$mirror" \
        >"$work/debootstrap.log" 2>&1 || {
        tail -n 40 "$work/debootstrap.log" >&2
        echo "debian-root: debootstrap of $suite failed (log above)" >&2
        exit 1
    }
    # A mount namespace of its own: /proc and /dev in the root vanish with it.
    unshare --mount --propagation private -- /bin/sh -eu -c '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        cp /etc/resolv.conf "$root/etc/resolv.conf"
        # Installed services must not start (they would run on this machine).
        printf "#!/bin/sh\nexit 101\n" >"$root/usr/sbin/policy-rc.d"
        chmod 755 "$root/usr/sbin/policy-rc.d"
        chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive apt-get -q update
        chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive \
            apt-get -q install -y --no-install-recommends "$@" </dev/null
        chroot "$root" apt-get clean
        rm -f "$root/usr/sbin/policy-rc.d"
    ' debian-root "$work/root" "${packages[@]}" >"$work/apt.log" 2>&1 || {
        tail -n 40 "$work/apt.log" >&2
        echo "debian-root: installing the packages into the $suite root failed (log above)" >&2
        exit 1
    }
    # Package lists are not needed again.
    rm -rf "$work/root/var/lib/apt/lists/"*
    tar --create --zstd --numeric-owner --xattrs --acls -C "$work/root" \
        -f "$work/root.tar.zst" .
    mv "$work/root.tar.zst" "$tarball"
    rm -rf "$work"
    trap - EXIT
    echo "debian-root: cached as $tarball ($(du -h "$tarball" | cut -f1))"
fi

rm -rf "$root"
mkdir -p "$root"
tar --extract --zstd --numeric-owner --xattrs --acls -C "$root" -f "$tarball"
echo "debian-root: $suite root unpacked in $root from $(basename "$tarball")"
