#!/usr/bin/env bash
# Builds OpenSSL's libcrypto and libssl for a target Debian ships no OpenSSL
# binaries for, from Debian's own OpenSSL source package:
#
#   bash scripts/openssl-from-source.sh <target> <dir>       (as root)
#
# Targets: x86_64-linux-musl (static libraries, for the musl build) and
# mips-linux-gnu / mipsel-linux-gnu (shared libraries, for the MIPS cross
# builds). The result is <dir>/include and <dir>/lib.
#
# The source comes through apt from the Debian archive this machine already
# uses: its apt sources (as apt-get indextargets lists them), turned into
# deb-src entries, in a private apt state under .cache/openssl-source/ (the
# machine's own apt configuration and lists stay as they are). Only the
# libraries are built (no programs, tests or manual pages; for shared
# libraries no static ones), with what the client cannot use switched off. Running it again does nothing when <dir> holds a
# build of the same source version, target, options and script.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 x86_64-linux-musl|mips-linux-gnu|mipsel-linux-gnu <dir>" >&2
    exit 2
fi
target=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What the client needs: TLS 1.2 and 1.3 as a client (RSA and ECDHE key
# exchange, AES-GCM and ChaCha20-Poly1305), X.509 verification, RSA with
# PKCS #1 v1.5, SHA-1 and SHA-2, Base64 and PEM/DER for RSA keys. The test
# servers use the system's own OpenSSL, not this one. Everything below is
# either not needed at all or a legacy algorithm; leaving it out saves build
# time and keeps the client from ever offering it.
options=(
    no-tests no-deprecated no-legacy no-module no-engine
    no-afalgeng no-async no-autoload-config no-dso no-secure-memory
    no-ssl3 no-tls1 no-tls1_1 no-dtls no-srp no-psk no-srtp no-nextprotoneg no-ct no-ocsp
    no-cms no-cmp no-ts no-dgram no-rfc3779 no-ssl-trace no-comp no-ui-console
    no-aria no-bf no-camellia no-cast no-des no-idea no-rc2 no-rc4 no-seed no-sm2 no-sm3 no-sm4
    no-md4 no-mdc2 no-rmd160 no-whirlpool no-blake2 no-siphash no-siv no-ocb no-scrypt
    no-gost no-ec2m no-dsa
)
case $target in
    x86_64-linux-musl)
        # Static: the musl build links OpenSSL in, so the binary needs nothing
        # on the machine but musl's C library (its own dynamic loader).
        configure_target=linux-x86_64
        cc=(x86_64-linux-gnu-gcc -specs /usr/lib/x86_64-linux-musl/musl-gcc.specs)
        options+=(no-shared)
        libraries=(libcrypto.a libssl.a)
        ;;
    mips-linux-gnu | mipsel-linux-gnu)
        configure_target=linux-mips32
        cc=("$target-gcc")
        options+=(shared)
        # A shared build also compiles every object a second time for the
        # static libraries; only the shared ones are made.
        libraries=(libcrypto.so libssl.so)
        ;;
    *)
        echo "$0: unknown target $target" >&2
        exit 2
        ;;
esac

state="$repo/.cache/openssl-source"
mkdir -p "$state/lists/partial"
# The Debian archive entries of the machine's apt sources (apt-get
# indextargets: the suites and components whose package lists apt holds,
# the Release file's origin Debian) as deb-src entries, signed by Debian's keys.
apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
    'Identifier: Packages' 'Origin: Debian' | sort -u |
    awk '{ print "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]", $0 }' \
        >"$state/sources.list.new"
if [[ ! -s "$state/sources.list.new" ]]; then
    echo "$0: no Debian archive entries in this machine's apt sources" >&2
    exit 1
fi
mv "$state/sources.list.new" "$state/sources.list"
apt_private=(
    -o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$state/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
    -o Acquire::Languages=none -o APT::Get::Only-Source=true
)
apt-get "${apt_private[@]}" -q update >"$state/update.log" 2>&1 || {
    cat "$state/update.log" >&2
    exit 1
}
# Every version the archive lists, newest first: a mirror may lack a file of
# the newest one (a security archive's pool, say), and then the next serves.
mapfile -t versions < <(apt-cache "${apt_private[@]}" showsrc openssl |
    awk '/^Package: / { p = $2 } /^Version: / && p == "openssl" { print $2 }' |
    sort -V -r -u)
if ((${#versions[@]} == 0)); then
    echo "$0: no openssl source package in $(tr '\n' ' ' <"$state/sources.list")" >&2
    exit 1
fi

# The unpacked source of the newest version that downloads whole; one serves
# every target (the builds are out of tree). Returns 1 if none does.
fetch_source() {
    local v upstream
    for v in "${versions[@]}"; do
        upstream=${v#*:}
        upstream=${upstream%-*}
        source="$state/openssl-$upstream"
        version=$v
        [[ -f "$source/.unpacked-$v" ]] && return 0
        rm -rf "$state/download" "$source"
        mkdir -p "$state/download"
        # apt drops to the _apt user to download, who must be able to write here.
        chmod 0777 "$state/download"
        if (cd "$state/download" &&
            apt-get "${apt_private[@]}" -q source --download-only "openssl=$v") \
            >"$state/download.log" 2>&1; then
            dpkg-source --no-check -x "$state/download"/openssl_*.dsc "$source" >/dev/null
            rm -rf "$state/download"
            touch "$source/.unpacked-$v"
            return 0
        fi
        echo "openssl-from-source: openssl $v not served whole:" \
            "$(grep -m1 -E '^E: ' "$state/download.log" || tail -n 1 "$state/download.log")"
    done
    return 1
}

fetch_source || {
    echo "$0: no openssl source version could be downloaded" >&2
    exit 1
}

# The build is keyed on the source version, the target, the options and
# this script.
key="openssl $version $target ${options[*]} $(sha256sum "${BASH_SOURCE[0]}" | cut -c1-12)"
stamp="$dir/.built"
if [[ -f $stamp && $(cat "$stamp") == "$key" ]]; then
    echo "openssl-from-source: $target already built in $dir (openssl $version)"
    exit 0
fi

rm -rf "$dir"
mkdir -p "$dir/build"
start=$SECONDS
echo "openssl-from-source: building openssl $version for $target in $dir"
(
    cd "$dir/build"
    # OpenSSL's Configure takes CC from the environment.
    CC="${cc[*]}" perl "$source/Configure" "$configure_target" --prefix="$dir" \
        --libdir=lib --openssldir=/etc/ssl "${options[@]}" >configure.log 2>&1 || {
        cat configure.log >&2
        exit 1
    }
    # The generated headers first, as OpenSSL's own build_libs does.
    { nice -n 10 make -j "$(nproc)" build_generated &&
        nice -n 10 make -j "$(nproc)" "${libraries[@]}"; } >make.log 2>&1 || {
        grep -E -B2 -A8 "error|Error" make.log | tail -n 40 >&2
        exit 1
    }
    # What OpenSSL's install_dev puts in place, for these libraries only.
    mkdir -p "$dir/include/openssl" "$dir/lib"
    cp "$source"/include/openssl/*.h include/openssl/*.h "$dir/include/openssl/"
    cp -P "${libraries[@]}" "$dir/lib/"
    if [[ ${libraries[0]} == *.so ]]; then
        cp -P ./*.so.[0-9]* "$dir/lib/"
    fi
)
rm -rf "$dir/build"
echo "$key" >"$stamp"
echo "openssl-from-source: openssl $version for $target built in $((SECONDS - start)) s"
