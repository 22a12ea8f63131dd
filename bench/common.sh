# Helpers shared by the benchmark scripts (sourced, not run).

# Every process started with start_bg is killed, with the children it forked, on exit.
bench_pids=()
start_bg() {  # LOG COMMAND...
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    bench_pids+=("$!")
}
bench_cleanup() {
    for pid in "${bench_pids[@]}"; do
        pkill -KILL -P "$pid" 2>/dev/null || true
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    [ -n "${work:-}" ] && rm -rf "$work"
}

free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 30000))
        ss -Huln "sport = :$port" | grep -q . || { echo "$port"; return; }
    done
}

# Sends read requests for a missing file with kvprobe until the server at 127.0.0.1:PORT
# answers (kvprobe ends with 1 once it has decoded an answer).
wait_ready() {  # NAME PORT
    local rc
    printf 'tftp\t\t%s/udp\n' "$2" >"$work/services.$2"
    for _ in $(seq 50); do
        rc=0
        KVTFTP_SERVICES="$work/services.$2" timeout 0.3 "$build/bin/kvprobe" r o 127.0.0.1 \
            kv-bench-ready.none >/dev/null 2>&1 || rc=$?
        [ "$rc" -eq 1 ] && return 0
    done
    echo "$(basename "$0"): $1 does not answer on port $2" >&2
    exit 1
}

now() { date +%s.%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
mib_per_s() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.2f", n / (b - a) / 1048576 }'; }
max_of() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b ? a : b) }'; }
md5() { md5sum <"$1" 2>/dev/null | cut -d' ' -f1 || true; }

# LOAD=N keeps N cores busy for the whole run (killed on exit), to see whether transfers
# with a live, loss-free peer survive a loaded machine.
start_load() {
    local n=${LOAD:-0}
    [ "$n" -gt 0 ] || return 0
    echo "(with $n busy loops running beside)"
    for _ in $(seq "$n"); do
        start_bg /dev/null sh -c 'while :; do :; done'
    done
}
