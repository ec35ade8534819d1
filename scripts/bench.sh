#!/bin/sh
# Builds if needed and runs the benchmark; the table goes to bench/results.md.
set -eu
cd "$(dirname "$0")/.."
CMAKE_EXTRA_ARGS=-DUPLOADER_BENCH=ON scripts/setup.sh > /dev/null
BUILD_DIR=build-qt6 CMAKE_EXTRA_ARGS="-DUPLOADER_BENCH=ON -DUPLOADER_QT_MAJOR=6" scripts/setup.sh > /dev/null
python3 bench/run.py "$@"
