#!/usr/bin/env bash
# Installs the TFTP programs of other projects that the interop tests and benchmarks
# run as black boxes, and links each into DIR/bin under its usual name:
#   tftp (tftp-hpa), atftp, busybox, curl, dnsmasq       Debian packages, installed
#   in.tftpd (tftpd-hpa), atftpd                          unpacked into DIR/<package>
# tftpd-hpa and atftpd conflict as packages, so both are unpacked, never installed.
# Needs root (apt-get). Usage: prepare-peers.sh DIR
set -euo pipefail
dest=${1:?usage: prepare-peers.sh DIR}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
export DEBIAN_FRONTEND=noninteractive

clients=(tftp-hpa atftp busybox dnsmasq-base curl)
# Libraries the unpacked servers need, since dpkg -x does not bring dependencies.
server_libs=(libwrap0 libpcre2-8-0)
servers=(tftpd-hpa atftpd)

apt_install() {
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
# Only what is missing: asking apt for an installed package moves it to the archive's
# newest version, and with it may go what needs the old one (the i386 twins of the
# libraries that .ci/run's wine32 took from the release's own indexes).
missing=()
for p in "${clients[@]}" "${server_libs[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && ! apt_install "${missing[@]}"; then
    apt-get update -qq
    apt_install "${missing[@]}"
fi

mkdir -p "$dest/debs"
for pkg in "${servers[@]}"; do
    if ! ls "$dest/debs/${pkg}"_*.deb >/dev/null 2>&1; then
        if ! (cd "$dest/debs" && apt-get download -qq "$pkg"); then
            apt-get update -qq
            (cd "$dest/debs" && apt-get download -qq "$pkg")
        fi
    fi
    rm -rf "${dest:?}/$pkg"
    dpkg -x "$(ls "$dest/debs/${pkg}"_*.deb | head -n 1)" "$dest/$pkg"
done

mkdir -p "$dest/bin"
link() {  # link NAME TARGET
    [ -x "$2" ] || { echo "prepare-peers: $2 is missing" >&2; exit 1; }
    ln -sfn "$2" "$dest/bin/$1"
}
link tftp "$(command -v tftp || echo /usr/bin/tftp)"
link atftp "$(command -v atftp || echo /usr/bin/atftp)"
link busybox "$(command -v busybox || echo /bin/busybox)"
link curl "$(command -v curl || echo /usr/bin/curl)"
link dnsmasq "$(command -v dnsmasq || echo /usr/sbin/dnsmasq)"
link in.tftpd "$dest/tftpd-hpa/usr/sbin/in.tftpd"
link atftpd "$dest/atftpd/usr/sbin/atftpd"
echo "prepare-peers: peers ready in $dest/bin"
