#!/usr/bin/env bash
# Builds the sensor and prints the audit records of the bundled sample capture: one smbclient
# session against Samba over port 445 with a logon, tree connects, a directory and two files
# created, written, read back, renamed and deleted, their closes, and the logoff
# (tests/data/captures/README.md tells the whole sequence). Extra arguments are smbaudit
# options, for example --stats. SMBAUDIT_BUILD_DIR chooses another build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
jobs=$(nproc)

build=${SMBAUDIT_BUILD_DIR:-build}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMBAUDIT_TOOLS=ON >/dev/null
cmake --build "$build" -j"$jobs" --target smbaudit_tool >/dev/null
exec "$build"/tools/smbaudit --no-progress "$@" tests/data/captures/smb445-files.pcap
