#!/usr/bin/env bash
# Makes the Windows download: one zip with Vornex.exe (32-bit), Vornex64.exe, a short read-me
# and the licence, named with the project's version: Vornex-VERSION-windows.zip.
# Usage: scripts/windows-zip.sh [build-dir] [out-dir]     (default: build, the build dir)
# Builds both programs with mingw-w64 in BUILD/windows-32 and BUILD/windows-64 (Release).
# Needs: g++-mingw-w64-i686, g++-mingw-w64-x86-64, cmake, ninja (scripts/install-deps.sh wine).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
out=${2:-$build}

declare -A exe
for bits in 32 64; do
  case $bits in 32) toolchain=mingw-i686 ;; 64) toolchain=mingw-x86_64 ;; esac
  tree="$build/windows-$bits"
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
    -DNUV_BUILD_TESTS=OFF -DNUV_BUILD_BENCH=OFF -DNUV_BUILD_GUI=OFF >/dev/null
  cmake --build "$tree" -j"$(nproc)" --target Vornex
  exe[$bits]=$(find "$tree/win/app" -maxdepth 1 -name 'Vornex*.exe' | head -n 1)
  [ -f "${exe[$bits]}" ] || { echo "windows-zip: no Vornex exe in $tree" >&2; exit 1; }
done
# The version the build used: the top CMakeLists.txt's, as the exes' version records have it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/windows-64/CMakeCache.txt")
[ -n "$version" ] || { echo "windows-zip: no project version in the build" >&2; exit 1; }

name="Vornex-$version-windows"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
# Without their symbol tables: a download, not a debugging build.
i686-w64-mingw32-strip -o "$stage/$name/Vornex.exe" "${exe[32]}"
x86_64-w64-mingw32-strip -o "$stage/$name/Vornex64.exe" "${exe[64]}"
# Text files with Windows line ends, for Notepad.
sed "s/@VERSION@/$version/; s/\$/\r/" packaging/windows/README.txt >"$stage/$name/README.txt"
sed 's/$/\r/' LICENSE >"$stage/$name/LICENSE.txt"
mkdir -p "$out"
zip="$(cd "$out" && pwd)/$name.zip"
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")
echo "windows-zip: $zip"
