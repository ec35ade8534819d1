#!/bin/sh
# Installs what is needed, builds, and runs every test: the suite, the same
# suite built with AddressSanitizer and UndefinedBehaviorSanitizer, and each
# fuzz target for a bounded time (FUZZ_SECONDS, default 60). A warning in the
# project's own code fails the build.
set -eu
cd "$(dirname "$0")/.."
CMAKE_EXTRA_ARGS=-DUPLOADER_WERROR=ON scripts/setup.sh
ctest --test-dir build --output-on-failure -j 2

BUILD_DIR=build-sanitize BUILD_TYPE=RelWithDebInfo CMAKE_EXTRA_ARGS="-DUPLOADER_SANITIZE=ON -DUPLOADER_WERROR=ON" scripts/setup.sh
ctest --test-dir build-sanitize --output-on-failure -j 2

scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
