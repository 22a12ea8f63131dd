# Sourced by the Windows stage's scripts: which build runs here under Wine. Wine's 32-bit
# loader (package wine32:i386) fails at once where 32-bit code cannot run; Debian's `wine`
# command falls back to the 64-bit loader, so it is not asked. Sets kv_run_arch and arch
# (i686 or x86_64), dir (its build directory), loader and wineserver; the caller checks
# that the loader exists.
kv_wine32=${KV_WINE32:-/usr/lib/wine/wine}
if [ -x "$kv_wine32" ] && "$kv_wine32" --version >/dev/null 2>&1; then
    kv_run_arch=i686
    dir=build-win32
    loader=$kv_wine32
else
    kv_run_arch=x86_64
    dir=build-win64
    loader=${KV_WINE64:-/usr/lib/wine/wine64}
fi
arch=$kv_run_arch
wineserver=/usr/lib/wine/wineserver64
[ -x $wineserver ] || wineserver=/usr/lib/wine/wineserver32

# Ends the prefix's wine server (and every program in it) and starts it again, with
# Wine's own services (services.exe, winedevice.exe, ...) started by a program whose output
# goes to the file $1: they live on and would otherwise start beside the first program of
# a test run and keep its output pipe open (ctest would wait for them forever). After
# wineboot it also leaves one service manager: the one wineboot started can still answer
# beside a new one for a while, and a service created through one is missing in the other.
kv_restart_wineserver() {
    "$wineserver" -k || true
    for _ in $(seq 40); do
        pgrep -f "^$wineserver" >/dev/null || break
        sleep 0.25
    done
    "$wineserver" -p
    "$loader" cmd /c exit >"$1" 2>&1 || true
}
