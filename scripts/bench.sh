#!/bin/sh
# Builds if needed and runs the benchmark; the table goes to bench/results.md.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh > /dev/null
python3 bench/run.py "$@"
