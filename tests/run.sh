#!/usr/bin/env bash
# Builds the suite twice (release, and with AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test in both builds. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc 2>/dev/null || echo 2)

# TFTP servers and clients of other projects that the interop tests run.
export KV_PEERS_DIR="${KV_PEERS_DIR:-$top/build/peers}"
if [ -x tests/interop/prepare-peers.sh ]; then
    tests/interop/prepare-peers.sh "$KV_PEERS_DIR"
fi

for variant in build build-asan; do
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    [ "$variant" = build-asan ] && flags+=(-DKV_SANITIZE=ON)
    cmake -S . -B "$variant" -G Ninja "${flags[@]}"
    ninja -C "$variant"
    echo "=== tests in $variant ==="
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$variant" -j"$jobs" --output-on-failure
done

# The windows themselves, on a virtual display (skipped where xvfb-run is missing).
bash tests/gui/run-gui.sh build
