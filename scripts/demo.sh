#!/usr/bin/env bash
# The client's main job in one command, on a fresh Debian 12 machine:
#
#   bash scripts/demo.sh        (as root, from anywhere in the repository)
#
# Installs what the build and the demo need from Debian, builds the client
# (build/halvorpin) and runs scripts/demo.py: the real client enrolls a
# simulated unit with the reference collection server, installs and updates
# its measurement package and uploads results and a log, each step shown with
# what it changed. Everything runs in a namespace sandbox; the host's /tmp
# and /etc stay untouched. The exit status is that of the demo: 0 when every
# step turned out as expected.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

if [[ $EUID -ne 0 ]]; then
    echo "scripts/demo.sh installs packages and runs namespace sandboxes: run it as root" >&2
    exit 1
fi

echo "== demo.sh: installing packages from Debian"
export DEBIAN_FRONTEND=noninteractive
apt-get -qq update
# libgtest-dev: the build's configure step also sets up the unit tests;
# python3-pytest: the same sandbox serves the end-to-end tests.
apt-get -qq install -y --no-install-recommends \
    ca-certificates coreutils gzip tar \
    cmake make g++ libssl-dev libgtest-dev \
    python3 python3-cryptography python3-pytest \
    iproute2 util-linux openssl \
    </dev/null >/dev/null

echo "== demo.sh: building the client (build/halvorpin)"
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target halvorpin

echo "== demo.sh: running the demo"
exec /usr/bin/python3 scripts/demo.py "$@"
