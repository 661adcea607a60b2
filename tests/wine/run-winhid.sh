#!/usr/bin/env bash
# Builds the HID layer and its smoke test with mingw-w64 (32-bit) and runs it under Wine.
# Usage: tests/wine/run-winhid.sh [build-dir]        (default: build-winhid)
# Needs: g++-mingw-w64-i686, cmake, ninja (or make), wine and wine32:i386.
# Exit status: 0 when the build and every check of the smoke test passed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build-winhid}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"

wine=$(command -v wine || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine ] && wine=/usr/lib/wine/wine
if [ -z "$wine" ]; then
  echo "run-winhid: wine is not installed" >&2
  exit 1
fi

prefix=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
# A console program needs no display; without one wineboot skips its dialogs.
unset DISPLAY
"$wine" wineboot -i >/dev/null 2>&1 || true
"$wine" "$build/winhid_smoke.exe"
