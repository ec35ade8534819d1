#!/bin/sh
# Installs what the named groups need (PACKAGE_GROUPS, default "build"), then
# configures and builds. Groups: build (the program and its demo: Qt 5, zlib,
# CMake, Python for the receiver), qt6 (the second build), test (test
# servers, sanitizers, fuzzers, the package checks), bench (the benchmark's
# clients). Without root it builds when nothing is missing. BUILD_TARGETS
# names the targets to build (default: all).
set -eu
cd "$(dirname "$0")/.."

packages=""
for group in ${PACKAGE_GROUPS:-build}; do
    case $group in
        build) packages="$packages cmake make g++ qtbase5-dev qtscript5-dev zlib1g-dev libssl-dev libcurl4-openssl-dev libisal-dev pkg-config python3" ;;
        qt6) packages="$packages qt6-base-dev qt6-declarative-dev" ;;
        test) packages="$packages openssl tzdata ca-certificates tinyproxy squid clang libclang-rt-14-dev dpkg-dev file man-db lintian apt" ;;
        bench) packages="$packages curl iperf3 libssl-dev time openssl" ;;
        *) echo "Unknown package group: $group" >&2; exit 2 ;;
    esac
done
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
    # The package descriptions' translations are a third of the lists and go unread.
    apt-get update -q -o Acquire::Languages=none
    # Without a sync after every file, dpkg unpacks the build group in 21 s instead of 25 to 60 s
    # on a disk that other work shares; a crash during the install means installing again.
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-unsafe-io $missing
fi

build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" ${CMAKE_EXTRA_ARGS:-}
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
