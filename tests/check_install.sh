#!/bin/sh
# Installs the build into a scratch prefix and builds a C99 host against it,
# once through pkg-config and once through the CMake package.
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(find "$scratch/prefix" -name 'liborv.so.1' -exec dirname {} \; | head -n 1)
[ -n "$libdir" ] || { echo "liborv.so.1 not installed"; exit 1; }
for header in orv.h orv_reader.h brindle.hpp; do
  [ -f "$scratch/prefix/include/$header" ] || { echo "$header not installed"; exit 1; }
done

PKG_CONFIG_PATH="$libdir/pkgconfig" cc -std=c99 -Wall -Wextra -Werror -pedantic \
  "$here/install/host.c" -o "$scratch/host-pc" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs orv)
LD_LIBRARY_PATH="$libdir" "$scratch/host-pc" "$scratch/pc.orv"

cmake -S "$here/install" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/consumer/host" "$scratch/cmake.orv"
cmp "$scratch/pc.orv" "$scratch/cmake.orv"
echo "install ok: pkg-config and find_package(orv) hosts built and ran"
