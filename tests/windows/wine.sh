#!/usr/bin/env bash
# Runs a Windows program under Wine with the loader for its architecture: `wine` for a
# 32-bit program, Debian's wine64 loader (not on PATH) for a 64-bit one. WINEPREFIX,
# WINEDEBUG and the rest come from the caller's environment.
set -euo pipefail
prog=$1
shift
# The machine field of the PE header, found through the offset at 0x3c.
pe=$(od -An -tu4 -j60 -N4 "$prog" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$prog" | tr -d ' ')
case "$machine" in
    8664) loader=${KV_WINE64:-/usr/lib/wine/wine64} ;;
    014c) loader=${KV_WINE32:-/usr/lib/wine/wine} ;;
    *) echo "wine.sh: $prog is not a Windows program for x86 ($machine)" >&2; exit 2 ;;
esac
exec "$loader" "$prog" "$@"
