# Sourced by the Windows stage's scripts: the build that runs here under Wine. Sets arch,
# dir (its build directory), loader and wineserver: the i686 build where this machine
# runs 32-bit code (`wine` is the 32-bit loader and fails at once elsewhere), else the
# x86_64 build under Debian's wine64 loader.
if wine --version >/dev/null 2>&1; then
    arch=i686
    dir=build-win32
    loader=wine
else
    arch=x86_64
    dir=build-win64
    loader=${KV_WINE64:-/usr/lib/wine/wine64}
    [ -x "$loader" ] || { echo "no 32-bit Wine here and no $loader (package wine64)" >&2; exit 1; }
fi
wineserver=/usr/lib/wine/wineserver64
[ -x $wineserver ] || wineserver=/usr/lib/wine/wineserver32
