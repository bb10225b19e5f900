#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the
# AddressSanitizer/UndefinedBehaviorSanitizer build (skip it with --no-sanitize).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=1
[ "${1:-}" = "--no-sanitize" ] && sanitize=0

scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

if [ "$sanitize" = 1 ]; then
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTOKEN_HOST_SANITIZE=ON
    cmake --build build-asan -j"$jobs"
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j"$jobs" -LE browser)
fi
