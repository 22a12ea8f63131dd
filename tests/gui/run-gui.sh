#!/usr/bin/env bash
# Opens each window of the suite on a virtual display (Xvfb), drives it with xdotool as a
# user would, and saves a screenshot of each in $KV_GUI_SHOTS (default build/gui-shots).
#
#   bash tests/gui/run-gui.sh [BUILD_DIR]
#
# Skips, with a message and success, when xvfb-run, xdotool or ImageMagick's import is
# missing. A window manager (icewm) is used when present, for the title bars.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
build=$(cd "$build" && pwd)

if [ -z "${KV_GUI_INNER:-}" ]; then
    for tool in xvfb-run xdotool import; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "tests/gui: $tool is not installed; the window tests are skipped."
            exit 0
        fi
    done
    KV_GUI_INNER=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "$build"
fi

bin=$build/bin
shots=${KV_GUI_SHOTS:-$build/gui-shots}
mkdir -p "$shots"
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "tests/gui: FAILED: $*" >&2
    [ -f "$work/dialog.log" ] && { echo "--- dialog log" >&2; cat "$work/dialog.log" >&2; }
    [ -f "$work/msgbox.log" ] && { echo "--- message boxes" >&2; cat "$work/msgbox.log" >&2; }
    exit 1
}

# A window manager with the classic look, when there is one.
if command -v icewm >/dev/null 2>&1; then
    mkdir -p "$work/home/.icewm"
    cat >"$work/home/.icewm/preferences" <<'EOF'
ShowTaskBar=0
DesktopBackgroundColor="rgb:00/80/80"
EOF
    echo 'Theme="win95/default.theme"' >"$work/home/.icewm/theme"
    HOME=$work/home icewm >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
fi

# Waits until the dialog log has the line (template, control, text).
wait_dialog_text() {
    local line=$1 limit=${2:-30}
    for _ in $(seq $((limit * 10))); do
        grep -qxF "$line" "$work/dialog.log" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

wait_window() {
    local name=$1
    for _ in $(seq 100); do
        wid=$(xdotool search --onlyvisible --name "^$name\$" 2>/dev/null | head -1 || true)
        [ -n "$wid" ] && { echo "$wid"; return 0; }
        sleep 0.1
    done
    return 1
}

# Saves the window with its frame and a margin of the desktop around it.
shot() {
    local wid=$1 name=$2
    sleep 0.5
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    import -window root "$work/root.png"
    local x=$((X > 40 ? X - 40 : 0)) y=$((Y > 60 ? Y - 60 : 0))
    convert "$work/root.png" -crop "$((WIDTH + 80))x$((HEIGHT + 100))+$x+$y" +repage \
        "$shots/$name.png"
    echo "tests/gui: $shots/$name.png"
}

# Clicks a point of a window given in dialog units (as the templates give positions).
click_dlu() {
    local wid=$1 x=$2 y=$3
    xdotool mousemove --window "$wid" $((x * 3 / 2 + 4)) $((y * 13 / 8 + 4)) click 1
}

# ---- the desktop client against our server ----------------------------------------------

port=$((20000 + RANDOM % 20000))
printf 'tftp\t\t%d/udp\n' "$port" >"$work/services"
mkdir -p "$work/root" "$work/client" "$work/server-state"
head -c 150000 /dev/urandom >"$work/root/firmware.bin"
"$bin/kvtftpsvc" -f -q -p "$port" -s "$work/server-state" "$work/root" >"$work/server.log" 2>&1 &
pids+=($!)
sleep 0.5

export KVTFTP_STATE_DIR=$work/client-state
export KVTFTP_SERVICES=$work/services
export KVTFTP_MSGBOX_LOG=$work/msgbox.log
export KVTFTP_DIALOG_LOG=$work/dialog.log
(cd "$work/client" && exec "$bin/kvtftpcli") &
client=$!
pids+=($client)
wid=$(wait_window "Korvane TFTP client v2.0") || fail "the client window did not appear"
shot "$wid" client-start

# The server edit has the focus: type the server, choose Binary and Download with their
# letters, name
# the remote file (the local path follows it when the field is left), and press Enter.
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool type --delay 15 "127.0.0.1"
xdotool key alt+b
wait_dialog_text $'103\t1016\tBinary (octet) transfer mode selected.' 5 || fail "Alt+B did not choose Binary"
xdotool key alt+d
wait_dialog_text $'103\t1016\tPlease select the remote file.' 5 || fail "Alt+D did not choose Download"
xdotool key ctrl+a
xdotool type --delay 15 "firmware.bin"
click_dlu "$wid" 60 115
xdotool key ctrl+a
xdotool type --delay 15 "$work/client/old.bin"
click_dlu "$wid" 60 146
xdotool key ctrl+a
xdotool type --delay 15 "firmware.bin"
xdotool key Tab
wait_dialog_text $'103\t1006\t'"$work/client/firmware.bin" 5 || fail "the local path did not follow the remote name"
xdotool key Return
wait_dialog_text $'103\t1016\tTransfer complete.' 30 || fail "the transfer did not complete"
cmp "$work/root/firmware.bin" "$work/client/firmware.bin" || fail "the downloaded file differs"
shot "$wid" client-after-transfer

# An upload of a file that does not exist: the worker's error box over the dialog.
click_dlu "$wid" 40 53
click_dlu "$wid" 60 115
xdotool key ctrl+a
xdotool type --delay 15 "$work/client/missing.bin"
xdotool key Return
box=$(wait_window "TFTP client error") || fail "no error box"
shot "$box" client-error-box
xdotool windowfocus "$box" 2>/dev/null || true
xdotool key Return
wait_dialog_text $'103\t1016\tTransfer complete.' 10 || fail "the failed upload did not end"
grep -q "Failed to open local file for reading" "$work/msgbox.log" || fail "the box was not logged"

# The worker's box has no owner: the dialog stays usable, and Go stops the worker that
# waits for its box, which goes away with it.
xdotool key Return
box=$(wait_window "TFTP client error") || fail "no second error box"
click_dlu "$wid" 60 167
wait_dialog_text $'103\t1016\tTransfer aborted.' 10 || fail "Go did not stop the worker"
for _ in $(seq 50); do
    xdotool search --onlyvisible --name "^TFTP client error\$" >/dev/null 2>&1 || break
    sleep 0.1
done
xdotool search --onlyvisible --name "^TFTP client error\$" >/dev/null 2>&1 &&
    fail "the stopped worker's box stayed"

# Close ends the program with status 1.
xdotool key alt+c
wait "$client" && status=0 || status=$?
[ "$status" = 1 ] || fail "kvtftpcli exited with $status"

# ---- the control panel applet with a running service --------------------------------------

# The service of a machine of its own: installed by the setup tool, started by the
# service manager, serving on a port of its own.
port=$((20000 + RANDOM % 20000))
printf 'tftp\t\t%d/udp\n' "$port" >"$work/services-cpl"
export KVTFTP_STATE_DIR=$work/cpl-state
export KVTFTP_SERVICES=$work/services-cpl
: >"$work/dialog.log"
"$bin/kvsetup" -i || fail "kvsetup -i failed"
stop_service() { "$bin/kvsc" stop KVTFTP >/dev/null 2>&1 || true; }
trap 'stop_service; cleanup' EXIT
"$bin/kvsc" start KVTFTP >/dev/null || fail "the service did not start"
"$bin/kvcontrol" >"$work/kvcontrol.out" || fail "kvcontrol could not list the applets"
grep -qx "TFTP Server" "$work/kvcontrol.out" || fail "kvcontrol did not list the applet"
"$bin/kvcontrol" kvtftpcpl.cpl >"$work/kvcontrol-open.out" 2>&1 &
applet=$!
pids+=($applet)
wid=$(wait_window "TFTP server configuration") || fail "the configuration dialog did not appear"
wait_dialog_text $'102\t1017\tThe service is running.' 15 || fail "the dialog did not see the service run"
# The start type poller comes every two seconds.
sleep 2.5
shot "$wid" cpl-running

# The product information over it, from the About button; Enter is its OK.
click_dlu "$wid" 167 69
box=$(wait_window "Product information") || fail "no product information"
shot "$box" product-information
xdotool windowfocus --sync "$box" 2>/dev/null || true
xdotool key Return
for _ in $(seq 50); do
    xdotool search --onlyvisible --name "^Product information\$" >/dev/null 2>&1 || break
    sleep 0.1
done

# Pause from the dialog, then Cancel: kvcontrol ends its conversation and exits.
click_dlu "$wid" 55 31
wait_dialog_text $'102\t1017\tThe service is paused.' 15 || fail "the pause button did not pause"
"$bin/kvsc" query KVTFTP | grep -q PAUSED || fail "kvsc does not see the service paused"
shot "$wid" cpl-paused
click_dlu "$wid" 73 287
wait "$applet" && status=0 || status=$?
[ "$status" = 0 ] || fail "kvcontrol exited with $status"
stop_service

# ---- the setup tool's dialog --------------------------------------------------------------

export KVTFTP_STATE_DIR=$work/setup-state
"$bin/kvsetup" &
setup=$!
pids+=($setup)
wid=$(wait_window "TFTP service setup tool") || fail "the setup dialog did not appear"
shot "$wid" setup
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key alt+c
wait_dialog_text $'101\t1004\tCreation done. Please exit.' 15 || fail "Create did not finish"
"$bin/kvsc" qc KVTFTP >/dev/null || fail "Create did not create the service"
shot "$wid" setup-created
# Create keeps the focus (Enter would create again): Exit by its letter.
xdotool key alt+e
wait "$setup" && status=0 || status=$?
[ "$status" = 0 ] || fail "kvsetup exited with $status"
echo "tests/gui: passed"
