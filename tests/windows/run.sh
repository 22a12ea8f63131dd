#!/usr/bin/env bash
# The Windows stage: builds the suite for Windows (build.sh), then, under Wine in a fresh
# prefix without a display, runs
#   - the Windows test programs (ctest of the Windows build);
#   - KVPROBE.EXE and KVTFTPCLIDLL.DLL (through KVCLIBENCH.EXE) against our Linux server
#     (kvtftpsvc -f);
#   - KVTFTPSVC.EXE -f serving the Linux tftp client;
#   - the service: KVSETUP.EXE -i installs it, Wine's service manager starts it, the Linux
#     tftp client downloads from it, the registry, the service record and the event log
#     entry are read back, KVSETUP.EXE -r removes it all;
#   - the dialogs on a virtual screen (gui.sh).
# The i686 build runs where this machine runs 32-bit code, else the x86_64 build under
# Debian's wine64. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
started=$(date +%s)

bash tests/windows/build.sh

. tests/windows/arch.sh
[ -x "$loader" ] || { echo "run.sh: no 32-bit Wine here and no $loader (package wine64)" >&2; exit 1; }
echo "=== Windows stage: the $arch build ($dir) under $loader"
if [ "$arch" = x86_64 ]; then
    echo "=== (no 32-bit Wine runs here: $kv_wine32 is missing or fails; the shipped i686" \
        "build is built and checked, not run)"
fi

tftp=${KV_PEERS_DIR:+$KV_PEERS_DIR/bin/tftp}
[ -n "$tftp" ] && [ -x "$tftp" ] || tftp=$(command -v tftp || true)
[ -n "$tftp" ] || { echo "run.sh: no tftp client (tftp-hpa); set KV_PEERS_DIR" >&2; exit 1; }

work=$(mktemp -d /tmp/kvwine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM

restart_wineserver() { kv_restart_wineserver "$work/cmd.out"; }
# A Linux path as Wine's drive Z: shows it.
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
# Wine's reg and sc, their CR LF line ends made plain; the status is theirs. Their output
# goes through a file: a pipe would stay open in the programs Wine starts beside them.
wine_cmd() {
    local rc=0
    "$loader" "$@" >"$work/cmd.out" 2>&1 || rc=$?
    tr -d '\r' <"$work/cmd.out"
    return $rc
}
wreg() { wine_cmd reg "$@"; }
wsc() { wine_cmd sc "$@"; }

mkdir -p "$WINEPREFIX" "$work/root" "$work/out" "$work/eventlog"
: >"$work/msgbox.log"
head -c 300000 /dev/urandom >"$work/root/data.bin"
"$wineserver" -p
"$loader" wineboot -i >/dev/null 2>&1
# Wine's service manager gives a starting service 10 s to connect (Windows 30 s), which a
# loaded machine exceeds; it reads a longer time (as text) when it starts again.
wreg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 60000 /f >/dev/null
restart_wineserver

# Waits until something answers TFTP on 127.0.0.1:$1 (an error for a missing file will
# do), at most 30 s.
wait_tftp() {
    for _ in $(seq 60); do
        if (cd "$work/out" && timeout 2 "$tftp" -m binary 127.0.0.1 "$1" -c get kv-no-such-file probe.tmp 2>&1) |
            grep -q 'Error code'; then
            return 0
        fi
        sleep 0.5
    done
    echo "run.sh: nothing answers on port $1" >&2
    return 1
}
# Starts a server (its command line ends with -p) on a random free port and waits until
# it answers; a port found taken meanwhile ("Failed to bind") makes it try another. Sets
# $port.
start_server() {
    local log=$1
    shift
    for _ in 1 2 3 4 5; do
        port=$(shuf -i 20000-32767 -n 1)  # below the ephemeral ports, which any socket may get
        ss -Hlun "sport = :$port" 2>/dev/null | grep -q . && continue
        : >"$log"
        : >"$work/msgbox.log"
        "$@" "$port" >"$log" 2>&1 &
        pids+=($!)
        if wait_tftp "$port" 2>/dev/null; then return 0; fi
        grep -q 'Failed to bind' "$log" "$work/msgbox.log" || { cat "$log" >&2; return 1; }
        kill "${pids[-1]}" 2>/dev/null || true
    done
    echo "run.sh: no free port for $*" >&2
    return 1
}
# A port for the service, whose engine reads it from the services file.
free_port() {
    for _ in $(seq 20); do
        port=$(shuf -i 20000-32767 -n 1)  # below the ephemeral ports, which any socket may get
        ss -Hlun "sport = :$port" 2>/dev/null | grep -q . || return 0
    done
    return 1
}
get_and_compare() {
    local port=$1 name=$2
    rm -f "$work/out/$name"
    (cd "$work/out" && timeout 60 "$tftp" -m binary 127.0.0.1 "$port" -c get data.bin "$name")
    cmp "$work/root/data.bin" "$work/out/$name"
}

echo "=== unit tests ($arch)"
ctest --test-dir "$dir" --output-on-failure -j2

# From here on every Windows program of the stage logs its boxes and reads the services
# file (written once a server's port is known). Wine's service manager gives its
# services the environment of the registry, read when the wine server starts; Wine keeps
# no event log, so the service writes its records to the store in eventlog/ instead.
export KVTFTP_MSGBOX_LOG=$(winpath "$work/msgbox.log") KVTFTP_SERVICES=$(winpath "$work/services")
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
wreg add "$env_key" /v KVTFTP_MSGBOX_LOG /t REG_SZ /d "$KVTFTP_MSGBOX_LOG" /f >/dev/null
wreg add "$env_key" /v KVTFTP_SERVICES /t REG_SZ /d "$KVTFTP_SERVICES" /f >/dev/null
wreg add "$env_key" /v KVTFTP_EVENTLOG_DIR /t REG_SZ /d "$(winpath "$work/eventlog")" /f >/dev/null
restart_wineserver

echo "=== KVPROBE.EXE and KVTFTPCLIDLL.DLL against the Linux kvtftpsvc -f"
if [ ! -x build/bin/kvtftpsvc ] || [ ! -e build/bin/kvtftptsv.so ] || [ ! -e build/bin/kvtftpasc.so ]; then
    cmake -S . -B build -G Ninja >/dev/null
    nice ninja -C build kvtftpsvc kvtftptsv kvtftpasc
fi
# The Linux server logs its boxes into the same file by its Linux path.
start_server "$work/linux-server.log" env KVTFTP_MSGBOX_LOG="$work/msgbox.log" \
    build/bin/kvtftpsvc -f -q -s "$work/state" "$work/root" -p
printf 'tftp\t\t%s/udp\n' "$port" >"$work/services"
# The probe's exit status is 1 after a complete exchange; its lines tell what happened.
{ tests/windows/wine.sh "$dir/bin/KVPROBE.EXE" r o 127.0.0.1 data.bin || true; } | tee "$work/probe.txt"
grep -q '^DATA packet received. Block is 01.' "$work/probe.txt"
grep -q '^Connected to the remote server port successfully.' "$work/probe.txt"
tests/windows/wine.sh "$dir/bin/KVCLIBENCH.EXE" -l "$(winpath "$work/out/client.log")" 127.0.0.1 \
    data.bin "$(winpath "$work/out/data.bin")"
cmp "$work/root/data.bin" "$work/out/data.bin" || { cat "$work/out/client.log"; exit 1; }
echo "client library: 300000 bytes downloaded and equal"
kill "${pids[-1]}"

echo "=== KVTFTPSVC.EXE -f under Wine serving the Linux tftp client"
start_server "$work/wine-foreground.log" tests/windows/wine.sh "$dir/bin/KVTFTPSVC.EXE" -f -q \
    -s "$(winpath "$work/wstate")" "$(winpath "$work/root")" -p
get_and_compare "$port" from-foreground.bin
echo "service host in the foreground: 300000 bytes served and equal"
kill "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true

echo "=== KVTFTPSVC.EXE -f -o under Wine serving atftp asking blksize and windowsize"
atftp=${KV_PEERS_DIR:+$KV_PEERS_DIR/bin/atftp}
[ -n "$atftp" ] && [ -x "$atftp" ] || atftp=$(command -v atftp || true)
[ -n "$atftp" ] || { echo "run.sh: no atftp client; set KV_PEERS_DIR" >&2; exit 1; }
start_server "$work/wine-options.log" tests/windows/wine.sh "$dir/bin/KVTFTPSVC.EXE" -f -q -o \
    -s "$(winpath "$work/wstate")" "$(winpath "$work/root")" -p
rm -f "$work/out/windowed.bin"
timeout 60 "$atftp" --trace --option "blksize 1428" --option "windowsize 16" -g -r data.bin \
    -l "$work/out/windowed.bin" 127.0.0.1 "$port" >"$work/atftp.txt" 2>&1 || true
grep -m1 'received OACK' "$work/atftp.txt"
cmp "$work/root/data.bin" "$work/out/windowed.bin"
grep -qE 'received OACK <.*windowsize: 16' "$work/atftp.txt"
grep -qE 'received OACK <.*blksize: 1428' "$work/atftp.txt"
get_and_compare "$port" unasked.bin
echo "options: 300000 bytes served in windows of 1428-byte blocks and equal; unasked, as before"
kill "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true

echo "=== the service under Wine's service manager"
svc='HKLM\System\CurrentControlSet\Services\KVTFTP'
server_key='HKLM\SOFTWARE\Korvane\TFTP Server'
tests/windows/wine.sh "$dir/bin/KVSETUP.EXE" -i
wreg query "$svc" | tee "$work/svc.txt"
grep -qE 'ImagePath +REG_SZ +.*\\KVTFTPSVC\.EXE$' "$work/svc.txt"
grep -qE 'Start +REG_DWORD +0x3$' "$work/svc.txt"
grep -qE 'Type +REG_DWORD +0x10$' "$work/svc.txt"
wreg query "$server_key" | tee "$work/key.txt"
grep -qE "RootDirectory +REG_SZ +$(winpath "$top/$dir/bin" | sed 's/\\/\\\\/g')\\\\$" "$work/key.txt"
# The served directory, and a port of its own through the services file.
wreg add "$server_key" /v TFTPHome /t REG_SZ /d "$(winpath "$work/root")" /f >/dev/null
free_port
printf 'tftp\t\t%s/udp\n' "$port" >"$work/services"
: >"$work/msgbox.log"
wsc start KVTFTP
wait_tftp "$port" || { cat "$work/msgbox.log"; exit 1; }
wsc query KVTFTP | tee "$work/sc.txt"
grep -qE 'STATE +: 4 +RUNNING' "$work/sc.txt"
get_and_compare "$port" from-service.bin
echo "service: 300000 bytes served and equal"
cat "$work/eventlog/Application.log"
grep -qP '\tKVTFTP\t0\t0x40000001\t1\tTFTP service added, starts on demand\.$' "$work/eventlog/Application.log"
grep -qP '\tKVTFTP\t0\t0x40000002\t0$' "$work/eventlog/Application.log"
tests/windows/wine.sh "$dir/bin/KVSETUP.EXE" -r
# Gone: the service record, the event source; the stop was logged.
for _ in $(seq 20); do
    wsc query KVTFTP >/dev/null 2>&1 || break
    sleep 0.5
done
if wsc query KVTFTP >/dev/null 2>&1; then echo "run.sh: the service is still there" >&2; exit 1; fi
if wreg query "$svc" >/dev/null; then echo "run.sh: the service key is still there" >&2; exit 1; fi
if wreg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\KVTFTP' >/dev/null; then
    echo "run.sh: the event source is still registered" >&2
    exit 1
fi
grep -q 'TFTP service stopped and removed\.$' "$work/eventlog/Application.log"
echo "service: installed, started, served, removed"
if [ -s "$work/msgbox.log" ]; then
    echo "message boxes shown:"
    cat "$work/msgbox.log"
fi

echo "=== the dialogs on a screen (Xvfb)"
bash tests/windows/gui.sh

echo "=== Windows stage passed ($arch) in $(($(date +%s) - started)) s"
