#!/usr/bin/env bash
# The Windows stage: builds the suite for Windows (build.sh), then, under Wine in a fresh
# prefix without a display, runs the Windows test programs and the smoke runs against
# Linux: KVPROBE.EXE and KVTFTPCLIDLL.DLL (through KVCLIBENCH.EXE) with our Linux server
# kvserve, and the engine KVTFTPTSV.DLL (in KVSERVE.EXE) with the Linux tftp client.
# The i686 build runs where this machine runs 32-bit code, else the x86_64 build under
# Debian's wine64. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"

bash tests/windows/build.sh

# `wine` is the 32-bit loader; where 32-bit code cannot run it fails at once.
if wine --version >/dev/null 2>&1; then
    arch=i686
    dir=build-win32
    loader=wine
else
    arch=x86_64
    dir=build-win64
    loader=${KV_WINE64:-/usr/lib/wine/wine64}
    [ -x "$loader" ] || { echo "run.sh: no 32-bit Wine here and no $loader (package wine64)" >&2; exit 1; }
fi
echo "=== Windows stage: the $arch build ($dir) under $loader"
wineserver=/usr/lib/wine/wineserver64
[ -x $wineserver ] || wineserver=/usr/lib/wine/wineserver32

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
# One wine server, started first, for every program of the stage.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$loader" wineboot -i >/dev/null 2>&1
# Wine's service manager gives a starting service 10 s to connect (Windows 30 s), which a
# loaded machine exceeds; it reads a longer time (as text) when it starts again.
"$loader" reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ \
    /d 60000 /f >/dev/null 2>&1
"$wineserver" -k
"$wineserver" -p

# A Linux path as Wine's drive Z: shows it.
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
# A Windows program of the stage: its boxes are logged, never shown (there is no
# display), and the services file (once written) names the Linux server's port.
wine_run() {
    KVTFTP_MSGBOX_LOG=$(winpath "$work/msgbox.log") KVTFTP_SERVICES=$(winpath "$work/services") \
        tests/windows/wine.sh "$@"
}
# Starts a server (its command line ends with -p) on a random port; a port found taken
# shows in its reports ("Failed to bind"), and the next one is tried. Sets $port.
start_server() {
    local log=$1
    shift
    for _ in 1 2 3 4 5; do
        port=$(shuf -i 20000-60000 -n 1)
        : >"$log"
        "$@" "$port" >"$log" 2>&1 &
        pids+=($!)
        sleep 2
        grep -q 'Failed to bind' "$log" "$work/msgbox.log" 2>/dev/null || return 0
        kill "${pids[-1]}" 2>/dev/null || true
        : >"$work/msgbox.log"
    done
    echo "run.sh: no free port for $*" >&2
    return 1
}

echo "=== unit tests ($arch)"
ctest --test-dir "$dir" --output-on-failure

echo "=== smoke: KVPROBE.EXE and KVTFTPCLIDLL.DLL against the Linux kvserve"
if [ ! -x build/bin/kvserve ] || [ ! -e build/bin/kvtftptsv.so ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    nice ninja -C build kvserve kvtftptsv
fi
mkdir -p "$work/root" "$work/state" "$work/out"
head -c 300000 /dev/urandom >"$work/root/data.bin"
start_server "$work/kvserve.log" build/bin/kvserve -s "$work/state" "$work/root" -p
printf 'tftp\t\t%s/udp\n' "$port" >"$work/services"
# The probe's exit status is 1 after a complete exchange; its lines tell what happened.
{ wine_run "$dir/bin/KVPROBE.EXE" r o 127.0.0.1 data.bin || true; } | tee "$work/probe.txt"
grep -q '^DATA packet received. Block is 01.' "$work/probe.txt"
grep -q '^Connected to the remote server port successfully.' "$work/probe.txt"
wine_run "$dir/bin/KVCLIBENCH.EXE" -l "$(winpath "$work/out/client.log")" 127.0.0.1 data.bin \
    "$(winpath "$work/out/data.bin")"
cmp "$work/root/data.bin" "$work/out/data.bin" || { cat "$work/out/client.log"; exit 1; }
echo "client library: 300000 bytes downloaded and equal"

echo "=== smoke: KVTFTPTSV.DLL under Wine serving the Linux tftp client"
tftp=${KV_PEERS_DIR:+$KV_PEERS_DIR/bin/tftp}
[ -n "$tftp" ] && [ -x "$tftp" ] || tftp=$(command -v tftp || true)
if [ -z "$tftp" ]; then
    echo "no tftp client (tftp-hpa): skipped"
else
    start_server "$work/kvserve-win.log" wine_run "$dir/bin/KVSERVE.EXE" \
        -s "$(winpath "$work/wstate")" "$(winpath "$work/root")" -p
    (cd "$work/out" && timeout 60 "$tftp" 127.0.0.1 "$port" -m binary -c get data.bin from-wine.bin)
    cmp "$work/root/data.bin" "$work/out/from-wine.bin"
    echo "server engine: 300000 bytes served and equal"
fi
echo "=== Windows stage passed ($arch)"
