#!/usr/bin/env bash
# Builds the Debian packages of a build directory with CPack, unpacks them
# into a scratch root (dpkg -x, no installation), checks their names and
# declared dependencies, runs the packaged tools and builds and runs the
# consumer project against the unpacked library.
# Usage: deb.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build_dir" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
for package in libkorvane0 libkorvane-dev korvane-tools; do
  deb=$(ls "$work"/packages/${package}_*.deb)
  [ "$(dpkg-deb -f "$deb" Package)" = "$package" ]
  dpkg-deb -f "$deb" Depends | grep -q . || { echo "$package declares no dependencies"; exit 1; }
  dpkg -x "$deb" "$work/root"
done
dpkg-deb -f "$work"/packages/libkorvane0_*.deb Depends | grep -q libsodium23
dpkg-deb -f "$work"/packages/libkorvane-dev_*.deb Depends | grep -q 'libkorvane0 (='

root=$work/root/usr
env -u LD_LIBRARY_PATH "$root/bin/korvane-perf" --count 200 --size 100 >/dev/null
test -f "$root/share/man/man1/korvane-cat.1"

cmake -S "$source_dir/tests/package" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$(dirname "$(find "$root" -name 'libkorvane++.so.0' | head -1)")" "$work/consumer/consumer"
