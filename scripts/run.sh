#!/usr/bin/env bash
# Installs what is missing, builds the daemon and runs it in the foreground
# on the shipped configuration, logging to build-run/logs/. Extra arguments
# are passed to the daemon (for example -d 134217727 for debug lines).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh run

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_TESTS=OFF >/dev/null
cmake --build build-run -j "$jobs" --target quillmere

top=$(pwd)
mkdir -p build-run/logs
exec build-run/quillmere -f \
    -c "$top/etc/quillmere.xml" -s "$top/etc/section.xml" \
    -l "$top/build-run/logs/quillmere.log" \
    -a "$top/build-run/logs/access.log" -e "$top/build-run/logs/extended.log" \
    -r "$top/build-run/logs/performance.log" "$@"
