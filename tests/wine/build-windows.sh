#!/usr/bin/env bash
# Cross-builds Vornex.exe and the test-only Windows helpers (probe, image maker, named-pipe
# device, test HID.dll and SetupApi.dll) with mingw-w64. Building needs no Wine and no 32-bit
# support on this machine, so it works everywhere; running them is the suites' business.
# Usage: tests/wine/build-windows.sh BUILD_DIR
#   BUILD_DIR/exe      the program's build tree (BUILD_DIR/exe/win/app/Vornex.exe)
#   BUILD_DIR/helpers  the test-only programs and libraries
# Needs: g++-mingw-w64-i686, cmake, ninja (or make).
# Exit status: 0 when both built.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:?usage: build-windows.sh BUILD_DIR}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
toolchain="$root/cmake/mingw-i686.cmake"
cmake -S "$root" -B "$build/exe" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DNUV_BUILD_TESTS=OFF -DNUV_BUILD_BENCH=OFF \
  -DNUV_BUILD_GUI=OFF >/dev/null
cmake --build "$build/exe" -j"$jobs" --target Vornex
cmake -S "$here/vornex" -B "$build/helpers" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build "$build/helpers" -j"$jobs"
