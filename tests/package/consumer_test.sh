#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds the consumer project against it, once
# through find_package and once through pkg-config; the prefix is then moved, since both the
# CMake package and smbaudit.pc must follow it. Usage: consumer_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/first" >/dev/null
mv "$tmp/first" "$tmp/opt-x"
prefix=$tmp/opt-x
pc=$(dirname "$(find "$prefix" -name smbaudit.pc)")
for mode in OFF ON; do
    PKG_CONFIG_PATH=$pc cmake -S "$src/tests/package/consumer" -B "$tmp/build-$mode" -DUSE_PKG_CONFIG=$mode -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_BUILD_RPATH="$(dirname "$(find "$prefix" -name 'libsmbaudit.so' | head -1)")" >/dev/null
    PKG_CONFIG_PATH=$pc cmake --build "$tmp/build-$mode" >/dev/null
    "$tmp/build-$mode/consumer" >/dev/null
done
for dir in $(PKG_CONFIG_PATH=$pc pkg-config --cflags-only-I smbaudit); do realpath "${dir#-I}"; done | grep -x "$prefix/include" >/dev/null
