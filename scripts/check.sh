#!/usr/bin/env bash
# The project's complete check, from a fresh Debian 12 machine to a verdict:
#
#   bash scripts/check.sh              (as root, from anywhere in the repository)
#   bash scripts/check.sh host lint    (only the named stages, in that order)
#
# Stages, in order; the first failure ends the run:
#   packages  install the toolchains, libraries and test tools from Debian
#   lint      include layers, clang-format, clang-tidy, pyflakes, cppcheck: nothing to report
#   man       build/         the manual page, made from the README's sections, lints clean
#   host      build/         optimised host build, unit and end-to-end tests
#   lab       the lab kit's own tests (lab/tests/), once: they run no client
#   faults    build/         every fallible call of the client failing in turn
#                            (tests/faults/, the lab's preload lab/faults.py)
#   asan      build-asan/    AddressSanitizer + UndefinedBehaviorSanitizer
#   musl      build-musl/    built against musl instead of glibc (OpenSSL from
#                            Debian's source package, linked in), end-to-end tests
#   mipsel    build-mipsel/  32-bit little-endian MIPS cross build, tests under qemu-user
#   mips      build-mips/    the same big-endian (OpenSSL from Debian's source package)
#   deb       build-deb/     Debian packages for the host and mipsel, lintian, and
#                            the demo against the package installed in a sandbox
#   trixie    build-trixie/  build and all tests on Debian 13 (OpenSSL 3.5), in an
#                            mmdebstrap root cached under .cache/ (made in the
#                            background while the stages before it run)
#   oldkernel build/         end-to-end tests again with the client under a seccomp
#                            filter: renameat2 missing (ENOSYS), then without flags (EINVAL)
#   busybox   build/         end-to-end tests again in worlds with BusyBox's sh, tar,
#                            gzip and gunzip, then with a tar that has no long options
#   valgrind  build/         end-to-end tests again with the client under valgrind
# faults and the last three rebuild build/ if it is missing or stale (a no-op
# after host).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
jobs=$(nproc)

stage_names=()
stage_seconds=()
current_stage=""
run_start=$SECONDS

duration() {
    printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

# Runs one stage (a shell function) with a header and records its time.
stage() {
    local name=$1 start=$SECONDS
    current_stage=$name
    printf '\n==== %s: %s ====\n' "$name" "$2"
    "stage_$name"
    stage_names+=("$name")
    stage_seconds+=($((SECONDS - start)))
    printf '==== %s passed in %s ====\n' "$name" "$(duration $((SECONDS - start)))"
}

on_exit() {
    local status=$?
    # A background fetch of the Debian 13 root does not outlive the check.
    if [[ -n ${trixie_root_job:-} ]]; then
        kill "$trixie_root_job" 2>/dev/null || true
    fi
    if [[ -n ${openssl_job:-} ]]; then
        kill -- "-$openssl_job" 2>/dev/null || true
    fi
    if [[ $status -ne 0 ]]; then
        printf '\ncheck.sh: FAILED in stage %s (exit status %d) after %s\n' \
            "${current_stage:-setup}" "$status" "$(duration $((SECONDS - run_start)))" >&2
    fi
}
trap on_exit EXIT

# Runs every test of a build tree. Tests must run, not just pass: an empty
# test list fails, and so does any GoogleTest or pytest case that reports
# itself skipped (ctest would count those as passed).
# Further arguments are a command prefix that ctest runs under (in_debian_root).
run_ctest() {
    local log="$1/Testing/Temporary/LastTest.log"
    # Each end-to-end file is one ctest test with sandboxes of its own; they
    # mostly wait on processes and sockets, so side by side they take about
    # half the time on two cores (more jobs than cores gain nothing).
    "${@:2}" ctest --test-dir "$1" -j "$jobs" --output-on-failure --no-tests=error --timeout 2400
    # pytest -q ends each run with "N passed in T s"; add them up.
    grep -E '^[0-9]+ passed' "$log" |
        awk '{ n += $1; runs++ } END { printf "pytest: %d cases passed in %d runs\n", n, runs }'
    if grep -E '\[  SKIPPED \]|[0-9]+ (skipped|deselected|xfailed|xpassed)' "$log"; then
        echo "tests in $1 were skipped (see $log); every test must run" >&2
        return 1
    fi
}

stage_packages() {
    if [[ $EUID -ne 0 ]]; then
        echo "scripts/check.sh installs packages and runs namespace sandboxes: run it as root" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # A check in another clone on this machine may be installing too; apt
    # gives up at once on a lock another apt holds, so they take turns here.
    local packages_lock
    mkdir -p /run/lock
    exec {packages_lock}>/run/lock/halvorpin-check-packages.lock
    flock "$packages_lock"
    # The mipsel OpenSSL packages are unpacked from the same package lists;
    # OpenSSL for musl and big-endian MIPS is built from Debian's source
    # package (scripts/openssl-from-source.sh: perl, dpkg-source).
    if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
        dpkg --add-architecture mipsel
    fi
    apt-get update
    # The web servers are the tests' package hosts and run only inside their
    # worlds: their packages must not start them on this machine. Where
    # nothing forbids it yet (a machine with an init system), a policy does
    # for the install.
    local policy=/usr/sbin/policy-rc.d own_policy=""
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        own_policy=1
    fi
    apt-get install -y --no-install-recommends \
        ca-certificates git procps file xz-utils gzip tar coreutils \
        cmake make g++ libssl-dev libgtest-dev \
        clang-tidy clang-format cppcheck \
        python3 python3-pytest python3-cryptography python3-pyflakes \
        iproute2 util-linux openssl nginx-light curl \
        nginx apache2 lighttpd lighttpd-mod-openssl haproxy perl \
        crossbuild-essential-mipsel binutils-mipsel-linux-gnu qemu-user \
        crossbuild-essential-mips binutils-mips-linux-gnu musl musl-dev musl-tools \
        pandoc mandoc man-db dpkg-dev debhelper lintian \
        mmdebstrap debian-archive-keyring zstd \
        python3-seccomp busybox valgrind faketime \
        </dev/null
    if [[ -n $own_policy ]]; then
        rm -f "$policy"
    fi
    exec {packages_lock}>&-
}

stage_lint() {
    # Includes point down the layers only (scripts/check-layers.sh).
    echo "-- include layers"
    bash scripts/check-layers.sh

    local cxx_files
    mapfile -t cxx_files < <(find src tests fuzz bench -type f \
        \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) 2>/dev/null | sort)
    echo "-- clang-format (${#cxx_files[@]} files)"
    clang-format --dry-run --Werror "${cxx_files[@]}"

    # clang-tidy reads the compile commands of the host build.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    local sources
    mapfile -t sources < <(find src -type f -name '*.cpp' | sort)
    echo "-- clang-tidy (${#sources[@]} files)"
    # clang-tidy prints a count of the warnings it suppressed in system
    # headers even when quiet; only real findings are shown. A finding makes
    # clang-tidy, hence xargs, fail, and pipefail fails the stage.
    printf '%s\0' "${sources[@]}" |
        xargs -0 -n 2 -P "$jobs" clang-tidy -p build --quiet 2>&1 |
        { grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' || true; }

    local python_files
    mapfile -t python_files < <(git ls-files '*.py')
    echo "-- pyflakes (${#python_files[@]} files)"
    /usr/bin/python3 -m pyflakes "${python_files[@]}"

    echo "-- cppcheck"
    cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
        --std=c++17 --language=c++ -I src -j "$jobs" --quiet src
}

stage_host() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$jobs"
    run_ctest build
}

# The kit's own tests: its worlds, PKI, reference server, web servers and
# peers, platform modes and the demo's verdict. They run no client, so once
# per check rather than in every build tree.
stage_lab() {
    run_pytest -- lab/tests
}

# Every command's rows with each fallible call of the client failing in turn
# (allocations and reads sampled), each faulted run followed by one without
# faults, and the rows of single faults that once ended dishonestly
# (tests/faults/). The preload is glibc's: the host build alone.
stage_faults() {
    host_build_tree
    local start=$SECONDS summary=build/faults-summary.txt
    rm -f "$summary"
    run_pytest HALVORPIN_FAULT_SUMMARY="$repo/$summary" -- tests/faults
    cat "$summary"
    echo "-- tests/faults passed in $(duration $((SECONDS - start)))"
}

stage_asan() {
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORPIN_SANITIZE=ON
    cmake --build build-asan -j "$jobs"
    # LeakSanitizer works here also inside the end-to-end tests' namespace
    # sandboxes (root keeps the ptrace rights it needs), so leaks stay fatal.
    ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest build-asan
}

mips_size_budget=$((96 * 1024))
declare -A stripped_size=()

# Builds, checks and tests one 32-bit MIPS cross build in build-$1 ($1: mips
# or mipsel, with its toolchain file cmake/$1-linux-gnu.cmake), once the
# target's OpenSSL is in place. $2 is the byte order `file` must report.
mips_build() {
    local arch=$1 byte_order=$2 dir=build-$1 size
    # No sanitizers here: Debian's MIPS cross compilers ship no ASan or
    # UBSan runtime, and the host's asan stage covers the same code. The
    # build is MinSizeRel, as a measurement unit would carry it.
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$arch-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel
    cmake --build "$dir" -j "$jobs"
    file "$dir/halvorpin"
    if ! file "$dir/halvorpin" | grep -q -E "ELF 32-bit $byte_order (pie )?executable, MIPS"; then
        echo "$dir/halvorpin is not a 32-bit $byte_order MIPS executable" >&2
        return 1
    fi
    "$arch-linux-gnu-strip" -o "$dir/halvorpin.stripped" "$dir/halvorpin"
    size=$(stat -c %s "$dir/halvorpin.stripped")
    stripped_size[$arch]=$size
    echo "halvorpin for $arch, stripped: $size bytes (budget $mips_size_budget)"
    if ((size > mips_size_budget)); then
        echo "the stripped $arch binary exceeds its budget of $mips_size_budget bytes" >&2
        return 1
    fi
    # A unit carries libc and OpenSSL, nothing else (no C++ runtime).
    local needed unexpected
    needed=$("$arch-linux-gnu-readelf" -d "$dir/halvorpin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    echo "NEEDED: $(echo $needed)"
    unexpected=$(grep -v -x -E 'libc\.so\.6|libssl\.so\.3|libcrypto\.so\.3|ld\.so\.1' <<<"$needed" || true)
    if [[ -n $unexpected ]]; then
        echo "the $arch binary needs more than libc and OpenSSL: $unexpected" >&2
        return 1
    fi
    run_ctest "$dir"
}

stage_mipsel() {
    bash scripts/mipsel-sysroot.sh build-mipsel/sysroot
    mips_build mipsel LSB
}

# OpenSSL from Debian's source package, for musl and big-endian MIPS, is
# built in the background (niced, one target after the other) while the
# stages before theirs run, which mostly wait on tests and leave a core idle.
openssl_job=""

start_openssl_builds() {
    mkdir -p build-musl build-mips
    # A process group of its own, so that a failed check can end it whole.
    setsid bash -c 'bash scripts/openssl-from-source.sh x86_64-linux-musl build-musl/openssl \
        >build-musl/openssl.log 2>&1 &&
        bash scripts/openssl-from-source.sh mips-linux-gnu build-mips/openssl \
            >build-mips/openssl.log 2>&1' &
    openssl_job=$!
}

# OpenSSL for `target` in `dir`: the background build's (waited for once),
# or built now (a run of selected stages, or after a failed background one).
openssl_for() {
    local target=$1 dir=$2
    if [[ -n $openssl_job ]]; then
        wait "$openssl_job" || true
        openssl_job=""
    fi
    local log=${dir%/openssl}/openssl.log
    if [[ -f $log ]]; then
        cat "$log"
        rm -f "$log"
    fi
    bash scripts/openssl-from-source.sh "$target" "$dir"
}

stage_mips() {
    # Debian ships no big-endian MIPS packages: OpenSSL comes from its source
    # package, built for the target (shared libraries, as on a unit).
    openssl_for mips-linux-gnu build-mips/openssl
    mips_build mips MSB
}

stage_musl() {
    # OpenSSL from Debian's source package, built for musl and linked in:
    # the binary then needs only musl's libc, which is its dynamic loader too.
    openssl_for x86_64-linux-musl build-musl/openssl
    cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel
    cmake --build build-musl -j "$jobs"
    file build-musl/halvorpin
    local interpreter needed
    interpreter=$(readelf -p .interp build-musl/halvorpin | sed -n 's/.*\] *//p')
    needed=$(readelf -d build-musl/halvorpin | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    strip -o build-musl/halvorpin.stripped build-musl/halvorpin
    echo "interpreter: $interpreter; NEEDED: $(echo $needed);" \
        "stripped with OpenSSL: $(stat -c %s build-musl/halvorpin.stripped) bytes"
    # The client links no C++ library (the toolchain file links none, so a
    # need for one fails the link above). GoogleTest needs one: this tree
    # holds the end-to-end tests alone, run against the musl client.
    if [[ $interpreter != /lib/ld-musl-x86_64.so.1 || $needed != libc.so ]]; then
        echo "build-musl/halvorpin must need musl's libc.so alone, through its loader" >&2
        return 1
    fi
    run_ctest build-musl
}

stage_man() {
    # The build makes the page with pandoc from doc/halvorpin.1.md, which
    # pulls in README.md's sections; the linters read what it made.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build --target manpage
    local page=build/halvorpin.1 warnings
    echo "-- mandoc -T lint $page"
    mandoc -T lint -W style "$page"
    echo "-- man --warnings $page"
    # man and groff report warnings on standard error but still exit 0.
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [[ -n $warnings ]]; then
        printf '%s\n' "$warnings" >&2
        return 1
    fi
}

# Copies the working tree's files (tracked and new, not ignored) to $1, the
# source tree of one package build: dpkg-buildpackage writes its results
# beside the source tree, which must not be the repository's parent.
copy_source_tree() {
    rm -rf "$1"
    mkdir -p "$1"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
        tar --null -T - -cf - | tar -xf - -C "$1"
}

# Builds the package for one architecture in build-deb/<arch>/; the
# remaining arguments go to dpkg-buildpackage.
build_deb() {
    local arch=$1 dir="build-deb/$1" log
    shift
    copy_source_tree "$dir/halvorpin"
    log="$dir/dpkg-buildpackage.log"
    echo "-- dpkg-buildpackage -b -us -uc $* (log: $log)"
    if ! (cd "$dir/halvorpin" && dpkg-buildpackage -b -us -uc -j"$jobs" "$@") >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        return 1
    fi
    rm -rf "$dir/halvorpin"
}

stage_deb() {
    local host_arch version
    host_arch=$(dpkg --print-architecture)
    version=$(dpkg-parsechangelog -S Version)
    build_deb "$host_arch"
    # The mipsel OpenSSL is unpacked, not installed (see
    # scripts/mipsel-sysroot.sh); the pkg.halvorpin.sysroot build profile
    # makes debian/rules take it from there.
    bash scripts/mipsel-sysroot.sh build-mipsel/sysroot
    HALVORPIN_MIPSEL_SYSROOT="$repo/build-mipsel/sysroot" \
        build_deb mipsel -a mipsel -Ppkg.halvorpin.sysroot
    local deb
    for arch in "$host_arch" mipsel; do
        deb="build-deb/$arch/halvorpin_${version}_$arch.deb"
        echo "-- $deb"
        dpkg-deb --field "$deb" Package Version Architecture Depends
        dpkg-deb --contents "$deb" | awk '{ print "   ", $6 }'
        echo "-- lintian build-deb/$arch/halvorpin_${version}_$arch.changes"
        # lintian notes that it runs as root; errors fail the stage.
        lintian --fail-on error --info "build-deb/$arch/halvorpin_${version}_$arch.changes" 2>&1 |
            { grep -v '^running with root privileges is not recommended!$' || true; }
    done
    echo "-- demo against the package installed in the unit's world"
    /usr/bin/python3 scripts/demo.py --install-deb "build-deb/$host_arch/halvorpin_${version}_$host_arch.deb"
}

# Runs a command in the Debian root $1 (from make_trixie_root), in the
# repository at its own path, with mount and PID namespaces of its own: the
# mounts it needs (/proc, /dev, the repository) and every process it starts
# end with it. The root becomes the mount namespace's root (pivot_root), not
# just the process's (chroot): the sandbox's nsenter, which joins a world's
# mount namespace, then lands in it as well.
in_debian_root() {
    local root
    root=$(realpath "$1")
    shift
    unshare --mount --pid --fork --kill-child --propagation private -- /bin/sh -euc '
        root=$1 repo=$2; shift 2
        mount --bind "$root" "$root"
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mkdir -p "$root$repo" "$root/.host"
        mount --bind "$repo" "$root$repo"
        cd "$root"
        pivot_root . .host
        umount -l /.host
        rmdir /.host
        cd "$repo"
        exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
    ' in-debian-root "$root" "$repo" "$@"
}

# What the Debian 13 root holds: the build (cmake, g++, OpenSSL, GoogleTest)
# and the end-to-end tests (pytest, cryptography, seccomp for the syscall filter,
# the sandbox's unshare, nsenter, mount and ip, libfaketime, and the stock web
# servers and proxies with the perl of their enabling tools).
trixie_packages=(
    cmake make g++ libssl-dev libgtest-dev openssl
    python3 python3-pytest python3-cryptography python3-seccomp
    iproute2 util-linux mount procps faketime
    nginx apache2 lighttpd lighttpd-mod-openssl haproxy perl
)

# Unpacks a pristine Debian 13 root in build-trixie/root. mmdebstrap makes
# it once, as a tarball under .cache/debian-root/ named by a digest of the
# package list, from the Debian archive this machine's apt sources name
# (apt-get indextargets), with the suites of this release renamed.
make_trixie_root() {
    local digest tarball work host_release sources
    digest=$(printf '%s\n' trixie "${trixie_packages[@]}" | sha256sum | cut -c1-12)
    tarball=.cache/debian-root/trixie-amd64-$digest.tar.zst
    if [[ ! -f $tarball ]]; then
        host_release=$(. /etc/os-release && echo "$VERSION_CODENAME")
        mapfile -t sources < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
            'Identifier: Packages' 'Origin: Debian' | sort -u |
            awk -v from="$host_release" '{ sub("^" from, "trixie", $2); print "deb", $0 }')
        if ((${#sources[@]} == 0)); then
            echo "no Debian archive in this machine's apt sources" >&2
            return 1
        fi
        echo "trixie root: none cached; mmdebstrap from"
        printf '  %s\n' "${sources[@]}"
        mkdir -p .cache/debian-root
        work=$(mktemp -d .cache/debian-root/new.XXXXXX)
        # unshare mode: as root, mmdebstrap's mounts and the services the
        # packages would start stay in namespaces of its own.
        mmdebstrap --mode=unshare --variant=minbase --quiet \
            --include="$(IFS=,; echo "${trixie_packages[*]}")" \
            trixie "$work/root.tar.zst" "${sources[@]}"
        mv "$work/root.tar.zst" "$tarball"
        rm -rf "$work"
        echo "trixie root: cached as $tarball ($(du -h "$tarball" | cut -f1))"
    fi
    rm -rf build-trixie/root
    mkdir -p build-trixie/root
    tar --extract --zstd --numeric-owner -C build-trixie/root -f "$tarball"
    echo "trixie root: unpacked in build-trixie/root from $tarball"
}

# The Debian 13 root is made or unpacked (mostly waiting on the archive and
# the disk) in the background while the stages before its own run.
trixie_root_job=""

start_trixie_root() {
    mkdir -p build-trixie
    make_trixie_root >build-trixie/root.log 2>&1 &
    trixie_root_job=$!
}

stage_trixie() {
    # Debian 13 carries OpenSSL 3.5, the newest release the client supports.
    if [[ -n $trixie_root_job ]]; then
        if ! wait "$trixie_root_job"; then
            cat build-trixie/root.log >&2
            return 1
        fi
        cat build-trixie/root.log
    else
        make_trixie_root
    fi
    local openssl_version
    openssl_version=$(in_debian_root build-trixie/root openssl version)
    echo "trixie root: $openssl_version, $(in_debian_root build-trixie/root g++ --version | head -n 1)"
    if [[ $openssl_version != "OpenSSL 3.5."* ]]; then
        echo "expected OpenSSL 3.5 in the trixie root, found: $openssl_version" >&2
        return 1
    fi
    in_debian_root build-trixie/root \
        cmake -S . -B build-trixie/build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    in_debian_root build-trixie/root cmake --build build-trixie/build -j "$jobs"
    run_ctest build-trixie/build in_debian_root build-trixie/root
}

# The host build tree that the mode stages test again; up to date after the
# host stage, when configuring and building it again does nothing. Without a
# target runner in its cache, its tests take HALVORPIN_RUNNER from the mode.
host_build_tree() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORPIN_TARGET_RUNNER= >/dev/null
    cmake --build build -j "$jobs"
}

# Runs the end-to-end files of build/ that match the ctest expression $1 with
# the environment settings that follow (VAR=value: the mode), and fails as
# run_ctest does on a skipped case.
run_e2e_mode() {
    local files=$1 log=build/Testing/Temporary/LastTest.log start=$SECONDS
    shift
    echo "-- $* ($files)"
    env "$@" ctest --test-dir build -j "$jobs" -R "$files" --output-on-failure \
        --no-tests=error --timeout 2400
    grep -E '^[0-9]+ passed' "$log" |
        awk '{ n += $1; runs++ } END { printf "pytest: %d cases passed in %d runs\n", n, runs }'
    if grep -E '[0-9]+ (skipped|deselected|xfailed|xpassed)' "$log"; then
        echo "tests in build/ were skipped (see $log); every test must run" >&2
        return 1
    fi
    echo "-- $* passed in $(duration $((SECONDS - start)))"
}

# A kernel older than the client may assume (renameat2 is from Linux 3.15, its
# flags need file system support): lab/syscall_filter.py, as the client's
# runner, takes the call, or its flags, from the client and what it starts.
# Renames happen in installation (enrollment -a, -v, the demo, hostile
# packages, kills) and in the uploads' hand-back (uploads, kills, hostile
# inputs) and the package's place; every file that runs them runs here. command_line and transport
# add nothing a rename could change.
oldkernel_files='^e2e\.(update|enrollment|uploads|kills|hostile|place|demo)$'

stage_oldkernel() {
    host_build_tree
    local mode
    for mode in enosys einval; do
        run_e2e_mode "$oldkernel_files" \
            HALVORPIN_RUNNER="/usr/bin/python3 $repo/lab/syscall_filter.py --renameat2 $mode --" \
            HALVORPIN_SLOW=1
    done
}

# Runs pytest on its arguments (files or node ids, after --) with build/'s
# client and the environment settings before the --, and fails as
# run_e2e_mode does on a skipped case.
run_pytest() {
    local settings=() out
    while [[ $1 != -- ]]; do settings+=("$1"); shift; done
    shift
    echo "-- ${settings[*]} ($*)"
    out=$(env "${settings[@]}" HALVORPIN_BIN="$repo/build/halvorpin" \
        HALVORPIN_SANDBOX_TESTS="$repo/build/tests/halvorpin_sandbox_tests" \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" 2>&1) || {
        printf '%s\n' "$out"
        return 1
    }
    printf '%s\n' "$out" | tail -n 1
    if grep -E '[0-9]+ (skipped|deselected|xfailed|xpassed)' <<<"$out"; then
        echo "cases were skipped; every case must run" >&2
        return 1
    fi
}

# A unit's sh, tar, gzip and gunzip are BusyBox's: each world of the run has
# Debian's full BusyBox bound over them (lab/userland.py), then BusyBox tar as
# built without long options. The tools work in installation (the package
# unpacked, its start script run by sh; update, enrollment, kills, hostile
# packages, the package's place and the tools' path, the start script's
# environment, the demo's cycle); the files
# without installs, and the demo's cases that install the client's Debian
# package with dpkg (which needs GNU tar and is no part of a unit), are left
# out. Without long options only tar's arguments change: the update and
# enrollment tables install every kind of package.
stage_busybox() {
    host_build_tree
    run_e2e_mode '^e2e\.(update|enrollment|kills|hostile|place)$' HALVORPIN_USERLAND=busybox
    run_pytest HALVORPIN_USERLAND=busybox -- \
        tests/e2e/test_demo.py::test_demo_runs_every_step_as_expected
    run_e2e_mode '^e2e\.(update|enrollment)$' HALVORPIN_USERLAND=busybox-short
}

# Memcheck over the client's own runs, which end by themselves: any error or
# leak (the client gives back everything through owners before it ends) makes
# the run exit 99, and valgrind's report on standard error fails the case.
# No gdbserver FIFOs in the world's /tmp. The tables of every command run
# here (command line, enrollment, update and package request, uploads) and
# the sandbox's C++ cases; the other files run the same commands again in
# other worlds (transport, hostile, package hosts, the operator's cases), or
# kill them (a killed run leaves nothing to check): under valgrind they would
# triple the stage.
valgrind_runner="valgrind --tool=memcheck --error-exitcode=99 --quiet --vgdb=no \
--leak-check=full --show-leak-kinds=definite,indirect,possible \
--errors-for-leak-kinds=definite,indirect,possible"

stage_valgrind() {
    host_build_tree
    # Runs take several times longer: HALVORPIN_SLOW widens the cases' waits.
    run_e2e_mode '^e2e\.(command_line|enrollment|update|uploads|unit_sandbox)$' \
        HALVORPIN_RUNNER="$valgrind_runner" HALVORPIN_SLOW=10
}

# Every stage in the order a whole check runs them, with its title.
all_stages=()
declare -A titles=()
while read -r name title; do
    all_stages+=("$name")
    titles[$name]=$title
done <<'END'
packages  Debian packages
lint      include layers, clang-format, clang-tidy, pyflakes, cppcheck
man       manual page made from the README, lint
host      host build and tests (build/)
lab       the lab kit's own tests (lab/tests/)
faults    every fallible call failing in turn, with the lab's preload (build/)
asan      AddressSanitizer + UBSan build and tests (build-asan/)
musl      musl build and end-to-end tests, OpenSSL from source (build-musl/)
mipsel    mipsel cross build and tests under qemu-user (build-mipsel/)
mips      big-endian mips cross build and tests under qemu-user, OpenSSL from source (build-mips/)
deb       Debian packages, lintian, demo against the installed package (build-deb/)
trixie    build and tests on Debian 13 with OpenSSL 3.5 (build-trixie/)
oldkernel end-to-end tests without renameat2, then without its flags (build/)
busybox   end-to-end tests with a BusyBox userland, then with tar without long options (build/)
valgrind  end-to-end tests with the client under valgrind (build/)
END
selected=("$@")
if [[ ${#selected[@]} -eq 0 ]]; then
    selected=("${all_stages[@]}")
fi
for name in "${selected[@]}"; do
    if [[ -z ${titles[$name]+set} ]]; then
        echo "unknown stage '$name'; stages: ${all_stages[*]}" >&2
        exit 2
    fi
done
for name in "${selected[@]}"; do
    stage "$name" "${titles[$name]}"
    # Once the packages are in (mmdebstrap among them), with stages to go
    # before Debian 13's.
    if [[ -z $trixie_root_job && " ${selected[*]} " == *" trixie "* && $name != trixie &&
        " ${stage_names[*]} " != *" trixie "* ]]; then
        start_trixie_root
    fi
    if [[ -z $openssl_job && $name == packages && " ${selected[*]} " == *" musl "* &&
        " ${selected[*]} " == *" mips "* ]]; then
        start_openssl_builds
    fi
done

summary=""
for i in "${!stage_names[@]}"; do
    summary+="${summary:+, }${stage_names[$i]} $(duration "${stage_seconds[$i]}")"
done
size_note=""
for arch in mipsel mips; do
    if [[ -n ${stripped_size[$arch]:-} ]]; then
        size_note+="; $arch halvorpin stripped: ${stripped_size[$arch]} bytes"
    fi
done
printf '\ncheck.sh: all %d stages passed in %s (%s)%s\n' "${#stage_names[@]}" \
    "$(duration $((SECONDS - run_start)))" "$summary" "$size_note"
