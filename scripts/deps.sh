#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the sensor need (as root), when
# any is missing. Safe to run again.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev
          pkg-config valgrind tshark python3 libhiredis-dev redis-server dpkg-dev libssl-dev
          samba-ad-dc samba-ad-provision krb5-user)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
