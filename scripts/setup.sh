#!/bin/sh
# Installs what the build, the tests, the demo and the benchmark need, then configures and builds.
set -eu
cd "$(dirname "$0")/.."

packages="cmake make g++ qtbase5-dev qtscript5-dev qt6-base-dev qt6-declarative-dev zlib1g-dev python3 openssl tzdata ca-certificates tinyproxy curl iperf3 clang libclang-rt-14-dev libssl-dev time dpkg-dev file man-db lintian"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run as root to install packages." >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi

build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" ${CMAKE_EXTRA_ARGS:-}
cmake --build "$build" -j "$(nproc)"
