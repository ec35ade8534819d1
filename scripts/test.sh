#!/bin/sh
# Installs what is needed, builds, and runs every test: the suite on Qt 5 and
# on Qt 6, the Qt 5 suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and each fuzz target for a bounded time
# (FUZZ_SECONDS, default 60). A warning in the project's own code fails the build.
set -eu
cd "$(dirname "$0")/.."
export PACKAGE_GROUPS="build qt6 test"
CMAKE_EXTRA_ARGS=-DUPLOADER_WERROR=ON scripts/setup.sh
ctest --test-dir build --output-on-failure -j 2

BUILD_DIR=build-qt6 CMAKE_EXTRA_ARGS="-DUPLOADER_QT_MAJOR=6 -DUPLOADER_WERROR=ON" scripts/setup.sh
ctest --test-dir build-qt6 --output-on-failure -j 2

BUILD_DIR=build-sanitize BUILD_TYPE=RelWithDebInfo CMAKE_EXTRA_ARGS="-DUPLOADER_SANITIZE=ON -DUPLOADER_WERROR=ON" scripts/setup.sh
ctest --test-dir build-sanitize --output-on-failure -j 2

scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
