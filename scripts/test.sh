#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: once in a
# normal build and once under AddressSanitizer and UndefinedBehaviorSanitizer.
# Last, the unit tests of the shared state that request threads change at
# once (the cache with its store, the statistics counters, the logs, the
# section locks, the limits' counters and the connection pools) run once
# more under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for variant in normal sanitize; do
    dir=build-test-$variant
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    # The sanitizer build uses clang, whose libFuzzer also gives the parser
    # fuzz targets their deterministic runs.
    [ "$variant" = sanitize ] && flags+=(-DQUILL_SANITIZE=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    cmake -S . -B "$dir" "${flags[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== tests: $variant build =="
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    if ! (cd "$dir" && ctest --output-on-failure -j "$jobs"); then
        status=1
    fi
done

dir=build-test-tsan
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_TSAN=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j "$jobs" --target unit_cache unit_cache_store unit_stats unit_log \
    unit_section_lock unit_limit unit_pools
echo "== tests: ThreadSanitizer build (cache, cache store, statistics, logs, section locks, limits, pools) =="
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
if ! (cd "$dir" && ctest --output-on-failure -j "$jobs" -R '^unit\.(cache|cache_store|stats|log|section_lock|limit|pools)$'); then
    status=1
fi
exit $status
