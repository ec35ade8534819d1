#!/bin/sh
# Builds the fuzz targets with clang and runs each for a bounded time
# (seconds, default 60) on a copy of the seed corpus in fuzz/corpus.
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPLOADER_FUZZ=ON -DBUILD_TESTING=OFF > /dev/null
cmake --build build-fuzz -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
for target in reply arguments; do
    mkdir -p "$work/$target"
    echo "fuzz_$target for $seconds s"
    build-fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
        -print_final_stats=1 "$work/$target" "fuzz/corpus/$target" 2> "$work/$target.log" || {
        tail -n 60 "$work/$target.log"
        exit 1
    }
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|cov:' "$work/$target.log" | tail -n 3
done
