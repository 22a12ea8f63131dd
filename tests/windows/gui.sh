#!/usr/bin/env bash
# The dialogs of the Windows build on a screen: under Xvfb, in a fresh Wine prefix,
# KVTFTPCLI.EXE downloads a file from the Linux kvtftpsvc -f, driven by the mouse and
# keyboard (xdotool), shows a box of its transfer thread and the file chooser; the
# control panel applet (KVTFTPCPL.CPL through Wine's control.exe) opens its folder
# chooser and product information; KVSETUP.EXE shows its setup dialog. Every window is
# photographed into $KV_SCREENSHOT_DIR (default: shots/ in the work directory, kept).
# Builds what it needs of the Windows build and of build/ when missing. Run standalone
# or from run.sh; exits non-zero when a window does not appear or close, or the download
# is not byte for byte the served file.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"

if [ -z "${KV_GUI_UNDER_XVFB:-}" ]; then
    export KV_GUI_UNDER_XVFB=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

. tests/windows/arch.sh
if [ ! -e $dir/bin/KVTFTPCLI.EXE ] || [ ! -e $dir/bin/KVTFTPCPL.CPL ] || [ ! -e $dir/bin/KVSETUP.EXE ]; then
    cmake -S . -B $dir -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$arch.cmake" >/dev/null
    nice ninja -C $dir kvtftpcli kvtftpcpl kvsetup kvtftpsvc kvtftptsv kvtftpasc
fi
if [ ! -x build/bin/kvtftpsvc ] || [ ! -e build/bin/kvtftptsv.so ] || [ ! -e build/bin/kvtftpasc.so ]; then
    cmake -S . -B build -G Ninja >/dev/null
    nice ninja -C build kvtftpsvc kvtftptsv kvtftpasc
fi

work=$(mktemp -d /tmp/kvgui.XXXXXX)
shots=${KV_SCREENSHOT_DIR:-$work/shots}
mkdir -p "$shots" "$work/root" "$work/out"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    "$wineserver" -k 2>/dev/null || true
    # The pictures stay; the rest goes.
    rm -rf "$WINEPREFIX" "$work/root" "$work/out"
}
trap cleanup EXIT
trap "exit 1" INT TERM

winpath() { local p=$1; echo "Z:${p//\//\\}"; }
wreg() { "$loader" reg "$@" >/dev/null 2>&1; }
fail() {
    echo "gui.sh: $*" >&2
    import -window root "$shots/failure.png" 2>/dev/null || true
    [ -s "$work/msgbox.log" ] && cat "$work/msgbox.log" >&2
    exit 1
}
# Waits at most 60 s for a top-level window of that exact title; prints its id.
wait_window() {
    local id
    for _ in $(seq 120); do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.5
    done
    return 1
}
# Waits at most 10 s for the window of that title to go.
gone() {
    for _ in $(seq 40); do
        xdotool search --name "^$1\$" >/dev/null 2>&1 || return 0
        sleep 0.25
    done
    return 1
}
shoot() {
    sleep 1  # the first paint
    import -window root "$shots/$1.png"
    echo "gui.sh: $shots/$1.png"
}
# The pixel scale of dialog units and the frame of a window drawn by Wine itself, from
# a window of known size: pixels per dialog unit horizontally and vertically.
geometry() { xdotool getwindowgeometry --shell "$1" | sed -n 's/^\(WIDTH\|HEIGHT\)=//p' | tr '\n' ' '; }
# Clicks the middle of a control given in dialog units (x y cx cy) of window $1 whose
# client area starts at ($ox, $oy) pixels.
click_du() {
    local wid=$1 x=$2 y=$3 cx=$4 cy=$5
    local px py
    px=$(awk -v a="$x" -v b="$cx" -v s="$sx" -v o="$ox" 'BEGIN{printf "%d", o + (a + b / 2) * s}')
    py=$(awk -v a="$y" -v b="$cy" -v s="$sy" -v o="$oy" 'BEGIN{printf "%d", o + (a + b / 2) * s}')
    xdotool mousemove --window "$wid" "$px" "$py" click 1
    sleep 0.3
}
# Waits for the window of that title, photographs it as $2, clicks into it at ($4, $5)
# and presses the key $3; fails unless the window then goes.
answer_window() {
    local title=$1 shot=$2 key=$3 x=$4 y=$5 id
    id=$(wait_window "$title") || fail "\"$title\" did not appear"
    shoot "$shot"
    xdotool mousemove --window "$id" "$x" "$y" click 1
    sleep 0.3
    xdotool key "$key"
    gone "$title" || fail "$key did not close \"$title\""
}
# Presses the desktop client's Close; fails unless the program ends.
close_client() {
    click_du "$wid" 104 161 48 14
    for _ in $(seq 40); do kill -0 "$client" 2>/dev/null || return 0; sleep 0.25; done
    fail "Close did not end the desktop client"
}
type_text() {
    # Replaces the edit's text: the whole line selected, then typed over.
    xdotool key End shift+Home
    xdotool type --delay 20 "$1"
    sleep 0.3
}

: >"$work/msgbox.log"
head -c 200000 /dev/urandom >"$work/root/data.bin"
"$loader" wineboot -i >/dev/null 2>&1
kv_restart_wineserver "$work/cmd.out"
# Debian's wine64 loader, started from /usr/lib/wine, does not find Wine's own fonts
# (MS Sans Serif, Marlett for the caption buttons) and draws every dialog in a wider
# substitute; in the prefix's font folder it does.
if [ -d /usr/share/wine/fonts ]; then
    cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
# Boxes are recorded, not shown: nothing waits for a press that never comes.
export KVTFTP_MSGBOX_LOG=$(winpath "$work/msgbox.log") KVTFTP_SERVICES=$(winpath "$work/services")

# ---- the desktop client against the Linux server ----------------------------------------
for _ in 1 2 3 4 5; do
    port=$(shuf -i 20000-60000 -n 1)
    ss -Hlun "sport = :$port" 2>/dev/null | grep -q . || break
done
# The Linux server logs its boxes by a Linux path.
KVTFTP_MSGBOX_LOG="$work/server-msgbox.log" \
    build/bin/kvtftpsvc -f -q -s "$work/state" "$work/root" -p "$port" >"$work/server.log" 2>&1 &
pids+=($!)
printf 'tftp\t\t%s/udp\n' "$port" >"$work/services"

# Without a window manager Wine leaves the frame to nobody: the X window is the client
# area, which makes dialog units easy to find.
(cd "$work" && exec "$loader" "$top/$dir/bin/KVTFTPCLI.EXE") >"$work/client.out" 2>&1 &
client=$!
pids+=($client)
wid=$(wait_window "Korvane TFTP client v2.0") || fail "the desktop client's window did not appear"
shoot client-start
read -r w h <<<"$(geometry "$wid")"
# The template is 190 by 194 dialog units.
sx=$(awk -v w="$w" 'BEGIN{print w / 190}')
sy=$(awk -v h="$h" 'BEGIN{print h / 194}')
ox=0
oy=0
echo "gui.sh: client area ${w}x${h}: $sx x $sy pixels a dialog unit"
click_du "$wid" 42 18 136 14      # server
type_text 127.0.0.1
# Download and Binary by their mnemonics, the dialog manager's keys.
xdotool key alt+d
sleep 0.3
xdotool key alt+b
sleep 0.3
click_du "$wid" 13 139 163 14     # remote path
type_text data.bin
click_du "$wid" 13 108 147 14     # local path
type_text "$(winpath "$work/out/got.bin")"
shoot client-filled
# Enter in the edit presses the default button, Go.
xdotool key Return
for _ in $(seq 60); do
    [ -e "$work/out/got.bin" ] && cmp -s "$work/root/data.bin" "$work/out/got.bin" && break
    sleep 0.5
done
shoot client-done
cmp "$work/root/data.bin" "$work/out/got.bin" || fail "the download differs from the served file"
echo "gui.sh: desktop client: 200000 bytes downloaded through the dialog and equal"
close_client
echo "gui.sh: Close ended the desktop client"

# A box from the transfer thread, shown for real while the dialog stays open: a download
# into a folder that does not exist.
# The local path is reached by the keyboard (Shift+Tab twice from the remote path), which
# selects its whole text, so what is typed replaces it: the dialog's trace shows that.
(cd "$work" && unset KVTFTP_MSGBOX_LOG && export KVTFTP_DIALOG_LOG="$(winpath "$work/dialog.log")" &&
    exec "$loader" "$top/$dir/bin/KVTFTPCLI.EXE") >"$work/client2.out" 2>&1 &
client=$!
pids+=($client)
wid=$(wait_window "Korvane TFTP client v2.0") || fail "the desktop client's window did not come back"
click_du "$wid" 13 139 163 14     # remote path
xdotool key shift+Tab shift+Tab
sleep 0.3
bad='Z:\kv-no-such-folder\got.bin'
xdotool type --delay 20 "$bad"
sleep 0.3
typed=$(awk -F'\t' '$1 == 103 && $2 == 1006 {t = $3} END {print t}' "$work/dialog.log" | tr -d '\r')
[ "$typed" = "$bad" ] || fail "the local path reads '$typed' after Shift+Tab and typing, not '$bad'"
echo "gui.sh: Shift+Tab reached the local path with its text selected"
xdotool key Return
answer_window "TFTP client error" client-worker-box Return 5 5
echo "gui.sh: a box of the transfer thread was shown over the open dialog and closed"
# The system's file chooser, cancelled.
click_du "$wid" 165 108 11 14     # ... beside the local path
answer_window "Select the local file..." client-file-chooser Escape 5 5
close_client
echo "gui.sh: the file chooser opened and was cancelled; Close ended the client"

# ---- the applet and the setup dialog, framed by Wine --------------------------------------
wreg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f
"$loader" "$top/$dir/bin/KVSETUP.EXE" -i >/dev/null 2>&1 || fail "KVSETUP.EXE -i failed"
: >"$work/msgbox.log"
"$loader" control.exe "$(winpath "$top/$dir/bin/KVTFTPCPL.CPL")" >"$work/cpl.out" 2>&1 &
pids+=($!)
wid=$(wait_window "TFTP server configuration") || fail "the applet's window did not appear"
shoot applet
# Wine's frame: the 187 by 301 template in the middle, the caption above.
read -r w h <<<"$(geometry "$wid")"
ox=$(awk -v w="$w" -v s="$sx" 'BEGIN{printf "%d", (w - 187 * s) / 2}')
oy=$(awk -v h="$h" -v s="$sy" -v o="$ox" 'BEGIN{printf "%d", h - 301 * s - o}')
click_du "$wid" 157 99 16 15      # ... beside the root directory
answer_window "Browse for Folder" applet-folder-chooser Escape 5 40
click_du "$wid" 155 58 25 22      # About...
# Enter closes the product information (its OK is the default button), Escape the applet.
answer_window "Product information" applet-product Return 5 40
xdotool mousemove --window "$wid" 5 40 click 1
sleep 0.3
xdotool key Escape
gone "TFTP server configuration" || fail "Escape did not close the applet"
echo "gui.sh: Enter closed the product information, Escape the applet"
# With the service installed and stopped, the applet has nothing to complain about.
[ ! -s "$work/msgbox.log" ] || fail "the applet showed boxes"

"$loader" "$top/$dir/bin/KVSETUP.EXE" >"$work/setup.out" 2>&1 &
pids+=($!)
wait_window "TFTP service setup tool" >/dev/null || fail "the setup dialog did not appear"
shoot setup

echo "gui.sh: all windows appeared; pictures in $shots"
