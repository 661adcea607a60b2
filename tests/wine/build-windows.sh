#!/usr/bin/env bash
# Cross-builds the Windows program and the test-only Windows helpers (probe, image maker,
# named-pipe device, test HID.dll and SetupApi.dll) with mingw-w64, for 32-bit (Vornex.exe) or
# 64-bit Windows (Vornex64.exe). Building needs no Wine and runs no Windows program, so it works
# everywhere; running them is the suites' business.
# Usage: tests/wine/build-windows.sh BUILD_DIR [32|64]        (default 32)
#   BUILD_DIR/exe      the program's build tree (BUILD_DIR/exe/win/app/Vornex.exe, or
#                      Vornex64.exe for 64)
#   BUILD_DIR/helpers  the test-only programs and libraries, of the same architecture
# A build directory holds one architecture: give each its own.
# Needs: g++-mingw-w64-i686 (32) or g++-mingw-w64-x86-64 (64), cmake, ninja (or make).
# Exit status: 0 when both built; 2 for a wrong argument.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:?usage: build-windows.sh BUILD_DIR [32|64]}
bits=${2:-32}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
case "$bits" in
  32) toolchain="$root/cmake/mingw-i686.cmake" ;;
  64) toolchain="$root/cmake/mingw-x86_64.cmake" ;;
  *) echo "build-windows: the architecture is 32 or 64, not \"$bits\"" >&2; exit 2 ;;
esac
# A tree configured for the other architecture would keep its compilers: refuse it plainly.
for tree in "$build/exe" "$build/helpers"; do
  if [ -f "$tree/CMakeCache.txt" ] &&
    ! grep -qx "CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain" "$tree/CMakeCache.txt"; then
    echo "build-windows: $tree was configured with another toolchain; use another BUILD_DIR" >&2
    exit 2
  fi
done
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build/exe" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DNUV_BUILD_TESTS=OFF -DNUV_BUILD_BENCH=OFF \
  -DNUV_BUILD_GUI=OFF >/dev/null
cmake --build "$build/exe" -j"$jobs" --target Vornex
cmake -S "$here/vornex" -B "$build/helpers" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build "$build/helpers" -j"$jobs"
