#!/usr/bin/env bash
# Builds for another machine in build-<arch>/ with Debian's cross compilers,
# and runs the tests there under user-mode emulation (everything but the
# browser tests). Installs what it needs when missing.
# Usage: scripts/cross.sh arm64 [--no-test] [--no-slow]
#   --no-test  build only
#   --no-slow  leave out the exhaustive fault injection (label "slow")
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 arm64 [--no-test] [--no-slow]" >&2; exit 2; }

[ $# -ge 1 ] || usage
arch=$1
shift
case "$arch" in
arm64) toolchain=cmake/arm64-linux-gnu.cmake emulator=qemu-aarch64-static ;;
*) usage ;;
esac
run_tests=1
excluded=browser
for option in "$@"; do
    case "$option" in
    --no-test) run_tests=0 ;;
    --no-slow) excluded="browser|slow" ;;
    *) usage ;;
    esac
done

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "Adding the $arch architecture to dpkg" >&2
    "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
fi
# The native tools and test programs (openssl, python3) come with the usual set.
scripts/install-deps.sh "crossbuild-essential-$arch" "qemu-user-static" \
    "libssl-dev:$arch" "libjsoncpp-dev:$arch" "libp11-kit-dev:$arch" "libgtest-dev:$arch"

build="build-$arch"
jobs=$(nproc)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain"
cmake --build "$build" -j"$jobs"

if [ "$run_tests" = 1 ]; then
    command -v "$emulator" >/dev/null || { echo "$emulator is missing" >&2; exit 1; }
    (cd "$build" && ctest --output-on-failure -j"$jobs" -LE "$excluded")
fi
