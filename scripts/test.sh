#!/usr/bin/env bash
# Builds everything and runs every test: the normal build (with the real-browser
# and packaging tests), the AddressSanitizer/UndefinedBehaviorSanitizer build,
# a short run of every fuzz target, then the arm64 cross build and its tests
# under emulation (scripts/cross.sh).
# Options: --no-sanitize, --no-fuzz, --no-arm64 skip those steps.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=1
fuzz=1
arm64=1
for option in "$@"; do
    case "$option" in
    --no-sanitize) sanitize=0 ;;
    --no-fuzz) fuzz=0 ;;
    --no-arm64) arm64=0 ;;
    *) echo "usage: $0 [--no-sanitize] [--no-fuzz] [--no-arm64]" >&2; exit 2 ;;
    esac
done

extra=()
[ "$fuzz" = 1 ] && extra=(clang libclang-rt-14-dev)
scripts/install-deps.sh "${extra[@]}"
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

if [ "$fuzz" = 1 ]; then
    scripts/fuzz.sh -t 30
fi

if [ "$arm64" = 1 ]; then
    scripts/cross.sh arm64
fi
