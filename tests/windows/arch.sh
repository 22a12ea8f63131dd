# Sourced by the Windows stage's scripts: which build runs here. Wine's 32-bit loader
# (package wine32:i386) fails at once where 32-bit code cannot run; Debian's `wine`
# command falls back to the 64-bit loader, so it is not asked. Sets kv_run_arch (i686 or
# x86_64) and kv_wine32.
kv_wine32=${KV_WINE32:-/usr/lib/wine/wine}
if [ -x "$kv_wine32" ] && "$kv_wine32" --version >/dev/null 2>&1; then
    kv_run_arch=i686
else
    kv_run_arch=x86_64
fi
