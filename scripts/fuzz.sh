#!/bin/sh
# Builds the fuzz targets with clang and runs them side by side for a bounded
# time (seconds, default 60; 0 only builds) from the seeds in fuzz/corpus and a working corpus that
# grows from run to run outside the repository (UPLOADER_FUZZ_CORPUS, default
# in the user's cache). A crash leaves its input in build-fuzz/crashes.
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPLOADER_FUZZ=ON -DUPLOADER_WERROR=ON \
    -DBUILD_TESTING=OFF > /dev/null
cmake --build build-fuzz -j "$(nproc)"
[ "$seconds" -gt 0 ] || exit 0

corpus="${UPLOADER_FUZZ_CORPUS:-${XDG_CACHE_HOME:-$HOME/.cache}/uploader-fuzz}"
crashes="$PWD/build-fuzz/crashes"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
run() {
    target=$1
    mkdir -p "$corpus/$target" "$crashes"
    if [ "$target" = reply ]; then
        # Leak checks scan the heap at every new input, which the script engine keeps
        # large; leaks have the sanitizer run of the suite. Long inputs from the start,
        # so that nesting reaches the depth guard.
        options="-dict=fuzz/reply.dict -len_control=0"
        sanitizer="detect_leaks=0"
    else
        # The checks print their refusals; libFuzzer keeps its own output.
        options="-close_fd_mask=2"
        sanitizer=""
    fi
    # shellcheck disable=SC2086
    ASAN_OPTIONS="$sanitizer" build-fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$crashes/$target-" $options \
        "$corpus/$target" "fuzz/corpus/$target" 2> "$logs/$target.log"
}
echo "fuzz_reply and fuzz_arguments for $seconds s"
run reply &
reply=$!
run arguments &
arguments=$!
failed=""
wait "$reply" || failed="$failed reply"
wait "$arguments" || failed="$failed arguments"
for target in reply arguments; do
    case " $failed " in
        *" $target "*) echo "fuzz_$target failed:"; tail -n 60 "$logs/$target.log" ;;
        *) echo "fuzz_$target:"; grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|cov:' "$logs/$target.log" | tail -n 3 ;;
    esac
done
[ -z "$failed" ]
