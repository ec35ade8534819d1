#!/bin/sh
# Builds if needed and runs the benchmarks; the tables go to bench/results*.md,
# the waits are printed.
set -eu
cd "$(dirname "$0")/.."
export PACKAGE_GROUPS="build qt6 bench"
CMAKE_EXTRA_ARGS=-DUPLOADER_BENCH=ON scripts/setup.sh > /dev/null
BUILD_DIR=build-qt6 CMAKE_EXTRA_ARGS="-DUPLOADER_BENCH=ON -DUPLOADER_QT_MAJOR=6" scripts/setup.sh > /dev/null
python3 bench/run.py "$@"
python3 bench/wholefile.py
python3 bench/throughput.py
python3 bench/streams.py build build/bench/sink --runs 15
python3 bench/files.py build build/bench/sink
python3 bench/waits.py
