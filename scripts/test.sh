#!/bin/sh
# Installs what is needed, builds, and runs every test: the suite, the same
# suite built with AddressSanitizer and UndefinedBehaviorSanitizer, and each
# fuzz target for a bounded time (FUZZ_SECONDS, default 60).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --test-dir build --output-on-failure -j 2

BUILD_DIR=build-sanitize BUILD_TYPE=RelWithDebInfo CMAKE_EXTRA_ARGS=-DUPLOADER_SANITIZE=ON scripts/setup.sh
ctest --test-dir build-sanitize --output-on-failure -j 2

scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
