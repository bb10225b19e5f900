#!/usr/bin/env bash
# Builds the libFuzzer targets (build-fuzz/, clang) and runs each one for a
# while, starting from its seed corpus in fuzz/corpus/. Fails on any finding:
# a crash, a sanitizer report, a leak, a time-out or an out-of-memory.
#
# Usage: scripts/fuzz.sh [-t SECONDS] [-j JOBS] [TARGET...]
#   -t SECONDS  time per target (default 30)
#   -j JOBS     build jobs (default: nproc)
#   TARGET      run only these targets (default: all)
# Environment: FUZZ_WORK_DIR keeps the grown corpora and findings (default: a
# fresh temporary directory, removed at the end unless something was found).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
jobs=$(nproc)
while getopts "t:j:" option; do
    case "$option" in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) sed -n '2,12p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

all_targets=(fuzz_frames fuzz_base64 fuzz_dn_matching fuzz_cert_bundle fuzz_pkcs10_params fuzz_signfile_prefix
    fuzz_module_answers fuzz_frames_softtoken)
targets=("${@:-${all_targets[@]}}")

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOKEN_HOST_FUZZ=ON \
    -DTOKEN_HOST_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"

work=${FUZZ_WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/token-host-fuzz.XXXXXX")}
mkdir -p "$work"
work=$(cd "$work" && pwd)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
    corpus="$work/$target/corpus"
    artifacts="$work/$target/findings/"
    mkdir -p "$corpus" "$artifacts"
    [ -d "fuzz/corpus/$target" ] && cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
    dict=()
    # Absolute paths: some targets change their working directory.
    case "$target" in fuzz_frames*) dict=(-dict="$PWD/fuzz/frames.dict") ;; esac
    log="$work/$target/log"
    echo "== $target: ${seconds}s" >&2
    if build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts" "${dict[@]}" "$corpus" >"$log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | sed 's/^/   /' >&2
    else
        failed+=("$target")
        tail -n 60 "$log" >&2
        echo "   finding kept in $artifacts" >&2
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found problems in: ${failed[*]} (see $work)" >&2
    exit 1
fi
[ -z "${FUZZ_WORK_DIR:-}" ] && rm -rf "$work"
echo "fuzzing: ${#targets[@]} targets, no findings" >&2
