#!/usr/bin/env bash
# Cross-builds everything for Windows: i686 (the shipped deliverables)
# into build-win32/ and x86_64 into build-win64/, then checks the i686 deliverables: PE32,
# nothing imported beyond Windows itself, exports by their plain names only, and the
# resources (version information; the message table in language 1033; icons and bitmaps).
#   KV_WIN_ARCHS="x86_64"  builds one architecture only (the check needs i686).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
source tests/windows/arch.sh

# The icons and bitmaps become resources through xpm2win, a tool of the build host.
cmake -S . -B build -G Ninja >/dev/null
nice ninja -C build xpm2win
xpm2win=$top/build/tools/xpm2win

for arch in ${KV_WIN_ARCHS:-i686 x86_64}; do
    case "$arch" in
        i686) dir=build-win32 ;;
        x86_64) dir=build-win64 ;;
        *) echo "build.sh: unknown architecture $arch" >&2; exit 2 ;;
    esac
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$arch.cmake" -DKV_XPM2WIN="$xpm2win" >/dev/null
    # The build that runs here is built whole; of the other one the deliverables.
    if [ "$arch" != "$kv_run_arch" ] && [ "${KV_WIN_ALL:-0}" != 1 ]; then
        nice ninja -C "$dir" kvtftptsv kvtftpclidll kvtftpasc kvtftpsvc kvsetup kvprobe \
            kvtftpcli kvtftpcpl
    else
        nice ninja -C "$dir"
    fi
done

# The deliverables of the i686 build, each with the exports it must show.
check() {
    local file=$1
    shift
    local dump
    dump=$(i686-w64-mingw32-objdump -p "$file")
    grep -q 'Magic.*(PE32)$' <<<"$dump" || { echo "build.sh: $file is not PE32" >&2; exit 1; }
    # Beyond the system's own libraries nothing may be needed (no libstdc++, libgcc or
    # winpthread DLLs).
    local foreign
    foreign=$(grep 'DLL Name:' <<<"$dump" | awk '{print toupper($3)}' |
        grep -vxE 'KERNEL32.DLL|USER32.DLL|ADVAPI32.DLL|WSOCK32.DLL|MSVCRT.DLL|GDI32.DLL|COMDLG32.DLL|SHELL32.DLL|OLE32.DLL|COMCTL32.DLL' || true)
    [ -z "$foreign" ] || { echo "build.sh: $file needs $foreign" >&2; exit 1; }
    local exports
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/\[/ && NR > 1 {print $3}' | sort | tr '\n' ' ')
    local want=""
    [ $# -eq 0 ] || want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$exports" = "$want" ] || { echo "build.sh: $file exports '$exports', not '$want'" >&2; exit 1; }
    echo "build.sh: $file: PE32, exports ${want:-nothing}"
}
if [[ " ${KV_WIN_ARCHS:-i686} " == *" i686 "* ]]; then
    bin=build-win32/bin
    check $bin/KVTFTPTSV.DLL StartTFTPServer PauseTFTPServer ResumeTFTPServer StopTFTPServer
    check $bin/KVTFTPCLIDLL.DLL TFTPTransfer TFTPQueryStatus
    check $bin/KVTFTPASC.DLL AddSvcToMachine RemoveSvcFromMachine DoSvcStart DoSvcStop \
        DoSvcPause DoSvcResume DoSvcParamChange GetSvcStatus GetStatusAsString QueryStartupType \
        SetStartupType SetSvcInstallDirectory ReturnSvcInstallDirectory SvcError GenericMessage \
        SpawnThread AddEventSource RemoveEventSource CheckEventSource SendGenericLogMessage \
        SendServerStartedMessage SendServerStoppedMessage SendServerPausedMessage \
        SendServerResumedMessage OpenEventViewer AddCplToMachine RemoveCplFromMachine \
        AddCplToRegistry RemoveCplFromRegistry AddCplToSystemRoot RemoveCplFromSystemRoot \
        GetProductInformation GetProductInformationCopy
    check $bin/KVTFTPSVC.EXE
    check $bin/KVSETUP.EXE
    check $bin/KVPROBE.EXE
    check $bin/KVTFTPCLI.EXE
    check $bin/KVTFTPCPL.CPL CPlApplet
    for f in KVTFTPTSV.DLL KVTFTPCLIDLL.DLL KVTFTPASC.DLL KVTFTPSVC.EXE KVSETUP.EXE KVPROBE.EXE \
        KVTFTPCLI.EXE KVTFTPCPL.CPL; do
        dump=$(i686-w64-mingw32-windres -i $bin/$f -O rc)
        grep -q '^1 VERSIONINFO' <<<"$dump" ||
            { echo "build.sh: $f has no version resource" >&2; exit 1; }
    done
    # The program icons (the first group icon is the one Explorer shows; the Control
    # Panel asks the applet for its icon 101) and the applet's pictures.
    for f in KVTFTPCLI.EXE:102 KVSETUP.EXE:102 KVTFTPCPL.CPL:101 KVTFTPCPL.CPL:111 \
        KVTFTPCPL.CPL:112 KVTFTPCPL.CPL:113 KVTFTPCPL.CPL:114 KVTFTPCPL.CPL:115; do
        # Read whole: the dump is longer than a pipe holds for a reader that stops early.
        dump=$(i686-w64-mingw32-windres -i "$bin/${f%%:*}" -O rc)
        grep -q "^${f##*:} 14 /\* RT_GROUP_ICON" <<<"$dump" ||
            { echo "build.sh: ${f%%:*} has no icon ${f##*:}" >&2; exit 1; }
    done
    grep -q '^104 2 /\* RT_BITMAP' <<<"$dump" ||
        { echo "build.sh: KVTFTPCPL.CPL has no bitmap 104" >&2; exit 1; }
    echo "build.sh: icons present; KVTFTPCPL.CPL carries its bitmap"
    # The event source's texts: a message table of language 1033 (LANGUAGE 9, 1).
    i686-w64-mingw32-windres -i $bin/KVTFTPASC.DLL -O rc |
        grep -B3 'RT_MESSAGETABLE' | grep -q '^LANGUAGE 9, 1$' ||
        { echo "build.sh: KVTFTPASC.DLL has no message table of language 1033" >&2; exit 1; }
    echo "build.sh: version resources present; KVTFTPASC.DLL carries its message table (1033)"
fi
