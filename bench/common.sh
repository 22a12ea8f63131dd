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
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# The smaller of two times, where 0 stands for "none yet".
min_time() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == 0 || (a > 0 && a < b) ? a : b) }'; }
# The smallest of the times given, 0 ignored.
min_of() {
    local m=0 t
    for t in "$@"; do m=$(min_time "$t" "$m"); done
    echo "$m"
}

# Runs COMMAND once, timed from outside; prints the seconds, or 0 when CHECK (a command
# run afterwards) fails. Output of both goes to LOG.
timed_run() {  # LOG CHECK COMMAND...
    local log=$1 check=$2 t0 t1
    shift 2
    t0=$(now)
    "$@" >"$log" 2>&1 || true
    t1=$(now)
    if eval "$check" >>"$log" 2>&1; then elapsed "$t0" "$t1"; else echo 0; fi
}

# Peak resident set (VmHWM) of a process in MiB.
hwm_mib() { awk '/^VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }

# Every failed transfer is counted; a run with any failure ends with status 1.
bench_failures=0
bench_failed() { bench_failures=$((bench_failures + 1)); }
bench_finish() {
    if [ "$bench_failures" -gt 0 ]; then
        echo "$(basename "$0"): $bench_failures measurement(s) had failed transfers" >&2
        exit 1
    fi
}

# How busy the machine is, for the record that goes with the figures.
machine_note() {
    local placing="processes placed by the system"
    [ -n "${PIN:-}" ] && placing="single transfers on CPU $PIN"
    echo "machine: $(nproc) cores, $(uptime | sed 's/.*load average/load average/'), $placing"
}

# PIN=CPU runs each single transfer with server and client on that one CPU (the servers
# are moved there, all their threads, and the client is started there); without it the
# system places them. On a virtual machine a wake-up across CPUs can cost far more than
# the work of a block, so that where the scheduler happens to put the two sides decides
# a lock-step transfer's time; on one CPU the time is the work both sides do.
pinned() {  # COMMAND...: runs it on the PIN CPU when one is set
    if [ -n "${PIN:-}" ]; then taskset -c "$PIN" "$@"; else "$@"; fi
}
pin_servers() {  # on|off PID...: moves every thread of the servers to PIN, or back
    local mode=$1 pid
    shift
    [ -n "${PIN:-}" ] || return 0
    for pid in "$@"; do
        if [ "$mode" = on ]; then
            taskset -a -p -c "$PIN" "$pid" >/dev/null
        else
            taskset -a -p -c "0-$(($(nproc) - 1))" "$pid" >/dev/null
        fi
    done
}

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
