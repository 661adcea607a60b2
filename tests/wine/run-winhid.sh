#!/usr/bin/env bash
# Builds the HID layer and its smoke test with mingw-w64, for 32-bit or 64-bit Windows, and runs
# it under the Wine loader of the same architecture (wine, or wine64 with WINEARCH=win64). The
# 64-bit run starts only 64-bit programs, so it also runs where every 32-bit program is refused.
# Usage: tests/wine/run-winhid.sh [build-dir] [32|64]   (defaults: build-winhid, 32)
#   A build directory holds one architecture: give each its own.
# Needs: cmake, ninja (or make), and for 32: g++-mingw-w64-i686, wine and wine32:i386; for 64:
#   g++-mingw-w64-x86-64 and wine64.
# Exit status: 0 when the build and every check of the smoke test passed. The last line is the
# smoke test's own: "PASSED (0 failure(s))" or "FAILED (N failure(s))".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build-winhid}
bits=${2:-32}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
case "$bits" in
  32) toolchain=mingw-i686 wine_name=wine wine_fallback=/usr/lib/wine/wine winearch=win32 ;;
  64) toolchain=mingw-x86_64 wine_name=wine64 wine_fallback=/usr/lib/wine/wine64 winearch=win64 ;;
  *) echo "run-winhid: the architecture is 32 or 64, not \"$bits\"" >&2; exit 2 ;;
esac
toolchain="$root/cmake/$toolchain.cmake"
if [ -f "$build/CMakeCache.txt" ] &&
  ! grep -qx "CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain" "$build/CMakeCache.txt"; then
  echo "run-winhid: $build was configured with another toolchain; use another build-dir" >&2
  exit 2
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The loader of this architecture only: the 64-bit run never starts the 32-bit one.
wine=$(command -v "$wine_name" || true)
[ -z "$wine" ] && [ -x "$wine_fallback" ] && wine=$wine_fallback
if [ -z "$wine" ]; then
  echo "run-winhid: $wine_name is not installed" >&2
  exit 1
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)
# A machine that refuses 32-bit programs refuses the 32-bit loader itself ("Exec format error").
if ! version=$("$wine" --version 2>&1); then
  echo "run-winhid: $wine does not run here ($version); on a machine that refuses 32-bit" \
    "programs, run the 64-bit smoke test: run-winhid.sh BUILD_DIR 64" >&2
  exit 1
fi
echo "run-winhid: $bits-bit winhid_smoke.exe under $wine ($version), WINEARCH=$winearch"

prefix=$(mktemp -d)
trap 'WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=$winearch WINEDLLOVERRIDES="mscoree,mshtml="
# A console program needs no display; without one wineboot skips its dialogs. For a win64 prefix
# Wine also tries to set up the 32-bit half; where 32-bit programs are refused, that part fails
# (see wineboot.log) and the prefix has none, which the 64-bit smoke test does not need.
unset DISPLAY
"$wine" wineboot -i >"$build/wineboot.log" 2>&1 || true
"$wine" "$build/winhid_smoke.exe"
