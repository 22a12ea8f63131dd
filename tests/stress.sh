#!/usr/bin/env bash
# A run by hand, not in CI: the whole ctest of the release and the sanitizer builds,
# ROUNDS times each, JOBS at once, while LOAD busy loops take the processors. A test that
# fails here by chance would fail some CI run by chance.
#
#   tests/stress.sh                  # ROUNDS=3 JOBS=4 LOAD=2
#   ROUNDS=1 BUILDS=build tests/stress.sh
#   CTEST_ARGS="-LE packaging" tests/stress.sh   # beside another run of the suite
#
# Builds what is missing (build, build-asan), prints each run's result and time, and
# exits non-zero when any run failed; the failed tests' output is kept in
# build-stress/round-N-BUILD.log.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
rounds=${ROUNDS:-3}
jobs=${JOBS:-4}
load=${LOAD:-2}
builds=${BUILDS:-build build-asan}
export KV_PEERS_DIR="${KV_PEERS_DIR:-$top/build/peers}"
[ -x tests/interop/prepare-peers.sh ] && tests/interop/prepare-peers.sh "$KV_PEERS_DIR"

for b in $builds; do
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    [ "$b" = build-asan ] && flags+=(-DKV_SANITIZE=ON)
    if [ ! -f "$b/build.ninja" ]; then cmake -S . -B "$b" -G Ninja "${flags[@]}" || exit 1; fi
    ninja -C "$b" || exit 1
done

loaders=()
stop_load() {
    [ ${#loaders[@]} -gt 0 ] && kill "${loaders[@]}" 2>/dev/null
    wait 2>/dev/null
}
trap stop_load EXIT
for _ in $(seq "$load"); do
    (while :; do :; done) &
    loaders+=($!)
done

logs=build-stress
mkdir -p "$logs"
failed=0
start=$(date +%s)
for round in $(seq "$rounds"); do
    for b in $builds; do
        t0=$(date +%s)
        log="$logs/round-$round-$b.log"
        if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
            ctest --test-dir "$b" -j"$jobs" --output-on-failure ${CTEST_ARGS:-} >"$log" 2>&1; then
            result=green
        else
            result="FAILED: $(grep -E '^\s+[0-9]+ - ' "$log" | tr -s ' ' | tr '\n' ';')"
            failed=$((failed + 1))
        fi
        summary=$(grep -E 'tests passed|tests failed' "$log" | tail -1)
        echo "round $round, $b: $result ($summary; $(($(date +%s) - t0)) s)"
    done
done
echo "stress: $rounds rounds of {$builds}, -j$jobs, $load busy loops: $failed failed runs," \
    "$(($(date +%s) - start)) s in all"
[ "$failed" -eq 0 ]
