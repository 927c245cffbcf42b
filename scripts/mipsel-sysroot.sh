#!/usr/bin/env bash
# Unpack OpenSSL (headers and libraries) for 32-bit little-endian MIPS into
# a private folder, for the cross build (cmake/mipsel-linux-gnu.cmake).
#
# Usage: bash scripts/mipsel-sysroot.sh <sysroot-dir>
#
# The packages are unpacked with dpkg -x rather than installed: a multiarch
# "apt-get install libssl-dev:mipsel" conflicts whenever the host's libssl
# comes from a newer security update than the mipsel one, and unpacking
# leaves the host's package state alone. Running it again does nothing once
# the folder is complete.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 <sysroot-dir>" >&2
    exit 2
fi
sysroot=$1
packages=(libssl-dev:mipsel libssl3:mipsel)
stamp="$sysroot/.unpacked"

if [[ -f "$stamp" && -d "$sysroot/DEBIAN" ]]; then
    echo "mipsel sysroot already unpacked in $sysroot ($(tr '\n' ' ' <"$stamp"))"
    exit 0
fi

# apt only knows the mipsel package lists once the architecture is enabled
# and the lists are fetched again; that needs root.
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    dpkg --add-architecture mipsel
    apt-get update
elif ! apt-cache show libssl-dev:mipsel >/dev/null 2>&1; then
    apt-get update
fi

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
# apt-get download writes into the current directory; as root it drops to
# the _apt user, who must be able to write there.
chmod 0777 "$download"
(cd "$download" && apt-get download "${packages[@]}")

rm -rf "$sysroot"
mkdir -p "$sysroot/DEBIAN"
for deb in "$download"/*.deb; do
    dpkg -x "$deb" "$sysroot"
    # The control files too: a Debian package built against this sysroot
    # takes its library dependencies from their shlibs (debian/rules).
    dpkg-deb --control "$deb" "$sysroot/DEBIAN/$(dpkg-deb -f "$deb" Package)"
done

# Debian keeps the architecture-specific OpenSSL headers in a multiarch
# folder; check that both halves and the libraries arrived.
for f in usr/include/openssl/ssl.h \
         usr/include/mipsel-linux-gnu/openssl/configuration.h \
         usr/lib/mipsel-linux-gnu/libssl.so \
         usr/lib/mipsel-linux-gnu/libcrypto.so.3 \
         DEBIAN/libssl3/shlibs; do
    if [[ ! -e "$sysroot/$f" ]]; then
        echo "mipsel sysroot incomplete: $sysroot/$f missing" >&2
        exit 1
    fi
done

for deb in "$download"/*.deb; do
    echo "$(dpkg-deb -f "$deb" Package)=$(dpkg-deb -f "$deb" Version)"
done >"$stamp"
echo "mipsel sysroot unpacked in $sysroot: $(tr '\n' ' ' <"$stamp")"
