#!/usr/bin/env bash
# Installs the library into a temporary prefix, then builds and runs a
# consumer through the CMake package and through pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
test -L "$work/prefix/lib/libkorvane++.so"
ls "$work"/prefix/lib/libkorvane++.so.* >/dev/null

# Installed tools find the library through their relative run path alone.
if [ -x "$work/prefix/bin/korvane-perf" ]; then
  env -u LD_LIBRARY_PATH "$work/prefix/bin/korvane-perf" --help >/dev/null
  env -u LD_LIBRARY_PATH "$work/prefix/bin/korvane-cat" --help >/dev/null
  test -f "$work/prefix/share/man/man1/korvane-perf.1"
fi
test -f "$work/prefix/include/korvane/Version.hpp"

cmake -S "$source_dir/tests/package" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake-build/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
c++ -std=c++17 "$source_dir/tests/package/consumer.cpp" -o "$work/pc-consumer" \
    $(pkg-config --cflags korvane) $(pkg-config --libs korvane)
LD_LIBRARY_PATH="$work/prefix/lib" "$work/pc-consumer"
