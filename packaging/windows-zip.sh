#!/bin/sh
# The ZIP of the i686 Windows deliverables with INSTALL.TXT, from a Windows build directory
# (tests/windows/build.sh makes build-win32):
#   packaging/windows-zip.sh [BUILD_DIR [ZIP]]   (ninja windows_zip in a Windows build dir)
#   default build-win32 and BUILD_DIR/kvtftp-2.0.0-win32.zip
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build-win32}" && pwd)
zip=${2:-$build/kvtftp-2.0.0-win32.zip}
case $zip in /*) ;; *) zip=$(pwd)/$zip ;; esac
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dir=$stage/KVTFTP
mkdir "$dir"
for f in KVTFTPTSV.DLL KVTFTPCLIDLL.DLL KVTFTPASC.DLL KVTFTPSVC.EXE KVTFTPCPL.CPL KVSETUP.EXE \
    KVPROBE.EXE KVTFTPCLI.EXE; do
    [ -f "$build/bin/$f" ] || { echo "windows-zip.sh: $build/bin/$f is missing" >&2; exit 1; }
    cp "$build/bin/$f" "$dir/"
done
# Windows' Notepad wants CR LF.
sed 's/$/\r/' "$top/packaging/windows/INSTALL.TXT" >"$dir/INSTALL.TXT"
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip KVTFTP)
echo "windows-zip.sh: $zip"
