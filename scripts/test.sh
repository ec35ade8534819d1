#!/bin/sh
# Installs what is needed, builds, and runs every test: the suite on Qt 5 and
# on Qt 6, the Qt 5 suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and each fuzz target for a bounded time
# (FUZZ_SECONDS, default 60), then the demo. A warning in the project's own code
# fails the build.
#
# The suites mostly wait on sockets and timers, so the next builds go on
# beside them, one at a time, each suite starting once its build is done.
set -eu
cd "$(dirname "$0")/.."
# The other builds, one after another, in a session of their own so that
# stopping the suite stops them too.
if [ "${1:-}" = --builds ]; then
    build() {
        name=$1
        shift
        status=0
        "$@" > "$logs/$name.log" 2>&1 || status=$?
        echo "$status" > "$logs/$name.status"
        [ "$status" -eq 0 ]
    }
    logs=$2
    build qt6 env BUILD_DIR=build-qt6 CMAKE_EXTRA_ARGS="-DUPLOADER_QT_MAJOR=6 -DUPLOADER_WERROR=ON" scripts/setup.sh &&
        build sanitize env BUILD_DIR=build-sanitize BUILD_TYPE=RelWithDebInfo \
            CMAKE_EXTRA_ARGS="-DUPLOADER_SANITIZE=ON -DUPLOADER_WERROR=ON" scripts/setup.sh &&
        build fuzz scripts/fuzz.sh 0
    exit
fi

export PACKAGE_GROUPS="build qt6 test"
CMAKE_EXTRA_ARGS=-DUPLOADER_WERROR=ON scripts/setup.sh

logs=$(mktemp -d)
setsid scripts/test.sh --builds "$logs" &
builds=$!
trap 'kill -- -"$builds" 2>/dev/null || true; rm -rf "$logs"' EXIT

built() {
    while [ ! -f "$logs/$1.status" ]; do
        sleep 1
    done
    if [ "$(cat "$logs/$1.status")" -ne 0 ]; then
        tail -n 80 "$logs/$1.log"
        echo "The $1 build failed." >&2
        exit 1
    fi
    echo "The $1 build is done."
}

ctest --test-dir build --output-on-failure -j 2
built qt6
ctest --test-dir build-qt6 --output-on-failure -j 2
built sanitize
ctest --test-dir build-sanitize --output-on-failure -j 2
built fuzz
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

# The demo last: it proves the README's first command from this tree.
scripts/demo.sh
