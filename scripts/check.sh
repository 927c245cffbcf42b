#!/usr/bin/env bash
# The project's complete check, from a fresh Debian 12 machine to a verdict:
#
#   bash scripts/check.sh              (as root, from anywhere in the repository)
#   bash scripts/check.sh host lint    (only the named stages, in that order)
#
# Stages, in order; the first failure ends the run:
#   packages  install the toolchains, libraries and test tools from Debian
#   lint      include layers, clang-format, clang-tidy, cppcheck: nothing to report
#   host      build/         optimised host build, unit and end-to-end tests
#   asan      build-asan/    AddressSanitizer + UndefinedBehaviorSanitizer
#   mipsel    build-mipsel/  32-bit MIPS cross build, tests under qemu-user
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
    if [[ $status -ne 0 ]]; then
        printf '\ncheck.sh: FAILED in stage %s (exit status %d) after %s\n' \
            "${current_stage:-setup}" "$status" "$(duration $((SECONDS - run_start)))" >&2
    fi
}
trap on_exit EXIT

# Runs every test of a build tree. Tests must run, not just pass: an empty
# test list fails, and so does any GoogleTest or pytest case that reports
# itself skipped (ctest would count those as passed).
run_ctest() {
    local log="$1/Testing/Temporary/LastTest.log"
    # Each end-to-end file is one ctest test with sandboxes of its own; they
    # mostly wait on processes and sockets, so side by side they take about
    # half the time on two cores (more jobs than cores gain nothing).
    ctest --test-dir "$1" -j "$jobs" --output-on-failure --no-tests=error --timeout 2400
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
    # The mipsel OpenSSL packages are unpacked from the same package lists.
    if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
        dpkg --add-architecture mipsel
    fi
    apt-get update
    apt-get install -y --no-install-recommends \
        ca-certificates git procps file xz-utils gzip tar coreutils \
        cmake make g++ libssl-dev libgtest-dev \
        clang-tidy clang-format cppcheck \
        python3 python3-pytest python3-cryptography \
        iproute2 util-linux openssl nginx-light curl \
        crossbuild-essential-mipsel binutils-mipsel-linux-gnu qemu-user \
        </dev/null
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

    echo "-- cppcheck"
    cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
        --std=c++17 --language=c++ -I src -j "$jobs" --quiet src
}

stage_host() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$jobs"
    run_ctest build
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

mipsel_stripped_size=""
mipsel_size_budget=$((96 * 1024))

stage_mipsel() {
    # No sanitizers here: Debian's mipsel cross compilers ship no ASan or
    # UBSan runtime, and the host's asan stage covers the same code. The
    # build is MinSizeRel, as a measurement unit would carry it.
    bash scripts/mipsel-sysroot.sh build-mipsel/sysroot
    cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel
    cmake --build build-mipsel -j "$jobs"
    file build-mipsel/halvorpin
    mipsel-linux-gnu-strip -o build-mipsel/halvorpin.stripped build-mipsel/halvorpin
    mipsel_stripped_size=$(stat -c %s build-mipsel/halvorpin.stripped)
    echo "halvorpin for mipsel, stripped: $mipsel_stripped_size bytes (budget $mipsel_size_budget)"
    if ((mipsel_stripped_size > mipsel_size_budget)); then
        echo "the stripped mipsel binary exceeds its budget of $mipsel_size_budget bytes" >&2
        return 1
    fi
    # A unit carries libc and OpenSSL, nothing else (no C++ runtime).
    local needed unexpected
    needed=$(mipsel-linux-gnu-readelf -d build-mipsel/halvorpin | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    echo "NEEDED: $(echo $needed)"
    unexpected=$(grep -v -x -E 'libc\.so\.6|libssl\.so\.3|libcrypto\.so\.3|ld\.so\.1' <<<"$needed" || true)
    if [[ -n $unexpected ]]; then
        echo "the mipsel binary needs more than libc and OpenSSL: $unexpected" >&2
        return 1
    fi
    run_ctest build-mipsel
}

declare -A titles=(
    [packages]="Debian packages"
    [lint]="include layers, clang-format, clang-tidy, cppcheck"
    [host]="host build and tests (build/)"
    [asan]="AddressSanitizer + UBSan build and tests (build-asan/)"
    [mipsel]="mipsel cross build and tests under qemu-user (build-mipsel/)"
)
selected=("$@")
if [[ ${#selected[@]} -eq 0 ]]; then
    selected=(packages lint host asan mipsel)
fi
for name in "${selected[@]}"; do
    if [[ -z ${titles[$name]+set} ]]; then
        echo "unknown stage '$name'; stages: packages lint host asan mipsel" >&2
        exit 2
    fi
done
for name in "${selected[@]}"; do
    stage "$name" "${titles[$name]}"
done

summary=""
for i in "${!stage_names[@]}"; do
    summary+="${summary:+, }${stage_names[$i]} $(duration "${stage_seconds[$i]}")"
done
size_note=""
if [[ -n $mipsel_stripped_size ]]; then
    size_note="; mipsel halvorpin stripped: $mipsel_stripped_size bytes"
fi
printf '\ncheck.sh: all %d stages passed in %s (%s)%s\n' "${#stage_names[@]}" \
    "$(duration $((SECONDS - run_start)))" "$summary" "$size_note"
