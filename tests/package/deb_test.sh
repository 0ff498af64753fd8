#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB), installs it with dpkg and runs a committed
# capture through the installed /usr/bin/smbaudit: the same records as the build's program.
# Root only (exit 77: skipped otherwise); the package is purged again at the end.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
if [ "$(id -u)" != 0 ]; then echo "not root: the package is not installed"; exit 77; fi
if dpkg-query -W -f='${Status}' smbaudit 2>/dev/null | grep -q "ok installed"; then
    echo "a smbaudit package is already installed"; exit 77
fi
tmp=$(mktemp -d)
trap 'dpkg -P smbaudit >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$tmp"/smbaudit_*.deb)
dpkg-deb -c "$deb" | grep -q '/usr/share/man/man1/smbaudit.1'
dpkg -i "$deb" >/dev/null
capture=$src/tests/data/captures/smb445-files.pcap
diff <(/usr/bin/smbaudit --no-progress "$capture") <("$build/tools/smbaudit" --no-progress "$capture")
test -f /lib/systemd/system/smbaudit@.service && test -f /usr/share/doc/smbaudit/examples/smbaudit.logrotate
pkg-config --exists smbaudit && test -f /usr/include/smbaudit/context/smb_context.h
