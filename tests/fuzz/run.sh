#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer + UndefinedBehavior-
# Sanitizer) in build-fuzz and runs each one for SECONDS seconds (default 10), niced,
# starting from the seed corpus in tests/fuzz/corpus/<target>/. What a run learns is kept
# in build-fuzz/corpus/<target>/, a crashing input in build-fuzz/artifacts/.
#   tests/fuzz/run.sh [SECONDS] [TARGET...]     targets: packets blocks registry dispatch
# KV_FUZZ_RUNS=N also ends each run after N inputs (a count to reach by hand, e.g.
#   KV_FUZZ_RUNS=10000000 tests/fuzz/run.sh 3600 registry).
# Exits non-zero when a target crashes, leaks or breaks one of its checks.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
secs=${1:-10}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(packets blocks registry dispatch)

if ! command -v clang++ >/dev/null; then
    echo "tests/fuzz/run.sh: clang++ is missing (Debian: clang libclang-rt-14-dev)" >&2
    exit 1
fi
CC=clang CXX=clang++ cmake -S tests/fuzz -B build-fuzz -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Quiet unless the build fails.
nice ninja -C build-fuzz >build-fuzz/build.log 2>&1 || { cat build-fuzz/build.log >&2; exit 1; }
mkdir -p build-fuzz/artifacts build-fuzz/logs

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
    args=(-max_total_time="$secs" -timeout=60 -print_final_stats=1
          -artifact_prefix="build-fuzz/artifacts/$t-")
    [ -n "${KV_FUZZ_RUNS:-}" ] && args+=(-runs="$KV_FUZZ_RUNS")
    case "$t" in
        packets) args+=(-max_len=600) ;;
        blocks) args+=(-max_len=4096) ;;
        registry) args+=(-max_len=2048) ;;
        # Datagrams beyond 516 bytes too; the engine's threads outlive each input, so
        # their allocations are no leaks of it.
        dispatch) args+=(-max_len=1400 -detect_leaks=0) ;;
    esac
    mkdir -p "build-fuzz/corpus/$t"
    log="build-fuzz/logs/$t.log"
    if nice build-fuzz/"fuzz_$t" "${args[@]}" "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" \
        >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        units=$(ls "build-fuzz/corpus/$t" | wc -l)
        extra=$(sed -n 's/^fuzz_[a-z]*: \(.*\)/, \1/p' "$log" | tail -1)
        echo "fuzz_$t: ${runs:-?} inputs${extra} in ${secs} s, no finding (learned corpus: $units inputs)"
    else
        status=1
        echo "fuzz_$t: FAILED (log: $log)"
        grep -v '^#' "$log" | tail -60
    fi
done
exit $status
