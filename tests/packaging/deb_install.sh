#!/bin/sh
# The Debian package on this machine, as an administrator meets it: built by CPack,
# installed with dpkg, its programs on the PATH, the unit's ExecStart run as systemd
# would run it (the package's user, only CAP_NET_BIND_SERVICE) serving /srv/tftp on port
# 69 to tftp-hpa's client, uploads refused until allowed, a parameter change, a stop, then
# removed and purged. Leaves the machine as it found it. Exit 77 (skipped) when not root,
# without dpkg, setpriv or tftp, or when kvtftp is installed already or port 69 is taken.
set -u
build=${1:?usage: deb_install.sh BUILD_DIR}
skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root"
for p in dpkg dpkg-deb cpack setpriv runuser; do
    command -v $p >/dev/null 2>&1 || skip "$p is missing"
done
tftp=${KV_PEERS_DIR:+$KV_PEERS_DIR/bin/tftp}
[ -n "$tftp" ] && [ -x "$tftp" ] || tftp=/usr/bin/tftp
[ -x "$tftp" ] || skip "tftp of tftp-hpa is missing"
dpkg-query -W -f '${Status}' kvtftp 2>/dev/null | grep -q installed &&
    skip "kvtftp is installed on this machine"
# Port 69 (0045) bound by anyone on UDP.
grep -qi '^ *[0-9]*: [0-9A-F]*:0045 ' /proc/net/udp && skip "UDP port 69 is taken"

work=$(mktemp -d)
failed=0
server=
key='HKLM\SOFTWARE\Korvane\TFTP Server'
user_before=$(getent passwd kvtftp >/dev/null && echo yes)
srv_before=$([ -d /srv/tftp ] && echo yes)
srv_mode=
[ -n "$srv_before" ] && srv_mode=$(stat -c '%u:%g %a' /srv/tftp)

fail() { echo "FAIL: $*"; failed=1; }
check() { # description, command...
    what=$1; shift
    if "$@" >"$work/out" 2>&1; then echo "ok: $what"; else fail "$what"; cat "$work/out"; fi
}
cleanup() {
    [ -n "$server" ] && kill -9 "$server" 2>/dev/null
    dpkg --purge kvtftp >/dev/null 2>&1
    rm -f /srv/tftp/kv-deb-test.txt /srv/tftp/kv-deb-up.txt
    if [ -z "$srv_before" ]; then
        rmdir /srv/tftp 2>/dev/null
    elif [ -n "$srv_mode" ]; then
        chown "${srv_mode% *}" /srv/tftp && chmod "${srv_mode#* }" /srv/tftp
    fi
    # The package leaves its user (locked); one this test made goes with the test.
    [ -z "$user_before" ] && getent passwd kvtftp >/dev/null && userdel kvtftp
    rm -rf "$work"
}
trap cleanup EXIT

as_kvtftp() { runuser -u kvtftp -- env KVTFTP_STATE_DIR=/var/lib/kvtftp "$@"; }
get() { # name, port: downloaded into $work/got within a few tries
    rm -f "$work/got"
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        (cd "$work" && timeout 5 "$tftp" 127.0.0.1 69 -m binary -c get "$1" got) >/dev/null 2>&1
        [ -s "$work/got" ] && return 0
        sleep 0.3
    done
    return 1
}

# The package.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/pkg/kvtftp_*.deb)
dpkg-deb -c "$deb" >"$work/contents"
for f in ./usr/lib/kvtftp/kvtftpsvc ./usr/lib/kvtftp/kvtftptsv.so ./usr/bin/kvreg \
    ./usr/bin/kvtftpsvc ./lib/systemd/system/kvtftp.service ./usr/share/doc/kvtftp/copyright \
    ./usr/share/doc/kvtftp/changelog.gz; do
    grep -q " $f\( ->.*\)\?$" "$work/contents" || fail "$f is not in the package"
done
grep -q ' \./srv/' "$work/contents" && fail "the package ships /srv"
if command -v lintian >/dev/null 2>&1; then
    lintian --no-tag-display-limit "$deb" >"$work/lintian" 2>&1
    grep '^[EW]:' "$work/lintian" | sed 's/^/lintian: /'
    grep -q '^E:' "$work/lintian" && fail "lintian reports errors"
fi

check "dpkg -i" dpkg -i "$deb"
check "programs on the PATH" sh -c 'command -v kvreg && command -v kvsc && kvtftpsvc -h'
check "state directory the user's, owner-only" \
    test "$(stat -c '%U %a' /var/lib/kvtftp)" = "kvtftp 700"
check "root recorded on the first install" \
    sh -c "runuser -u kvtftp -- env KVTFTP_STATE_DIR=/var/lib/kvtftp kvreg query '$key' \
        /v TFTPHome | grep -q /srv/tftp"

# ExecStart as the unit runs it.
unit=/lib/systemd/system/kvtftp.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
state=$(sed -n 's/^Environment=KVTFTP_STATE_DIR=//p' "$unit")
(umask 022 && echo "served from /srv/tftp" >/srv/tftp/kv-deb-test.txt)
(
    umask 077
    cd /
    # shellcheck disable=SC2086 # ExecStart is split into words as systemd splits it
    # Standard error is the journal's stream, as systemd would connect it.
    journal=$(stat -c %d:%i "$work/server.log")
    exec env -i PATH=/usr/bin:/bin KVTFTP_STATE_DIR="$state" JOURNAL_STREAM="$journal" \
        setpriv --reuid=kvtftp --regid=kvtftp --init-groups --inh-caps=-all,+net_bind_service \
        --ambient-caps=-all,+net_bind_service --bounding-set=-all,+net_bind_service \
        --no-new-privs $exec_start
) >"$work/server.log" 2>&1 &
server=$!
check "download on port 69" get kv-deb-test.txt
check "the file served" cmp -s "$work/got" /srv/tftp/kv-deb-test.txt
check "only CAP_NET_BIND_SERVICE" grep -q '^CapEff:.*0000000000000400$' "/proc/$server/status"
check "journal lines with their priority" grep -q '^<6>' "$work/server.log"

echo "uploaded" >"$work/up.txt"
(cd "$work" && timeout 5 "$tftp" 127.0.0.1 69 -m binary -c put up.txt kv-deb-up.txt) \
    >"$work/put.out" 2>&1
check "upload refused while uploads are off" test ! -e /srv/tftp/kv-deb-up.txt
check "the refusal told to the client" grep -q "Error code" "$work/put.out"

# Uploads allowed: the value, the directory writable for the user, a parameter change.
as_kvtftp kvreg add "$key" /v AllowUploads /t REG_BINARY /d 01 /f >/dev/null
chgrp kvtftp /srv/tftp && chmod g+w /srv/tftp
kill -HUP "$server"
for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    grep -q "Parameter change received" "$work/server.log" 2>/dev/null && break
    as_kvtftp kveventvwr 2>/dev/null | grep -q "Parameter change received" && break
    sleep 0.3
done
for _ in 1 2 3 4 5 6 7 8 9 10; do
    (cd "$work" && timeout 5 "$tftp" 127.0.0.1 69 -m binary -c put up.txt kv-deb-up.txt) \
        >"$work/put.out" 2>&1
    [ -s /srv/tftp/kv-deb-up.txt ] && break
    sleep 0.3
done
check "upload once allowed, after the parameter change" cmp -s "$work/up.txt" /srv/tftp/kv-deb-up.txt
check "download on port 69 after the parameter change" get kv-deb-test.txt

kill -TERM "$server"
status=0
wait "$server" || status=$?
server=
check "SIGTERM stops it cleanly" test "$status" = 0

# An upgrade (here the same version again) keeps what the administrator set.
as_kvtftp kvreg add "$key" /v TFTPHome /d /srv/tftp/elsewhere /f >/dev/null
check "dpkg -i over the installed package" dpkg -i "$deb"
check "settings kept on upgrade" sh -c "runuser -u kvtftp -- env KVTFTP_STATE_DIR=/var/lib/kvtftp \
    kvreg query '$key' /v TFTPHome | grep -q /srv/tftp/elsewhere"

check "dpkg -r" dpkg -r kvtftp
check "removed: programs and unit gone, settings kept" sh -c \
    '! test -e /usr/lib/kvtftp && ! test -e /usr/bin/kvreg && ! test -e /lib/systemd/system/kvtftp.service && test -d /var/lib/kvtftp'
check "dpkg --purge" dpkg --purge kvtftp
check "purged: state gone, root and its files kept" sh -c \
    '! test -e /var/lib/kvtftp && test -f /srv/tftp/kv-deb-test.txt'
check "purged: the user stays, locked" sh -c \
    'test "$(getent shadow kvtftp | cut -d: -f8)" = 1'
[ "$failed" = 0 ] || { echo "--- server log"; cat "$work/server.log"; }
exit "$failed"
