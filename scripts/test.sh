#!/bin/sh
# Installs what is needed, builds and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --test-dir build --output-on-failure -j 2
