#!/usr/bin/env bash
# Builds Vornex.exe (32-bit, mingw-w64) and the test-only Windows helpers, then runs the program
# under Wine in a virtual X server: the window starts with its caption, "Idle" and the buttons'
# states, a screenshot is saved, and the window closes with the process ending cleanly.
# Usage: tests/wine/run-vornex-exe.sh [build-dir]        (default: build-vornex-exe)
# Needs: g++-mingw-w64-i686, cmake, ninja (or make), wine and wine32:i386, xvfb, imagemagick.
# Exit status: 0 when the build and every check passed. Screenshots: <build-dir>/screenshots/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build-vornex-exe}
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

exe="$build/exe/win/app/Vornex.exe"
probe="$build/helpers/vornex_probe.exe"
# The program stands alone: it may import only libraries that every Windows has.
headers=$(i686-w64-mingw32-objdump -p "$exe")
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z')
for dll in $imports; do
  case "$dll" in
    kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | msvcrt.dll) ;;
    *) echo "run-vornex-exe: Vornex.exe needs $dll" >&2; exit 1 ;;
  esac
done
grep -q 'Subsystem.*Windows GUI' <<<"$headers" && grep -q 'Magic.*010b' <<<"$headers" ||
  { echo "run-vornex-exe: Vornex.exe is not a 32-bit GUI program" >&2; exit 1; }
# Resource types: 2 pictures, 14 the icon group, 16 the version record.
for type in 000002 00000e 000010; do
  grep -q "^0[0-9a-f][0-9a-f]   Entry: ID: 0x$type," <<<"$headers" ||
    { echo "run-vornex-exe: Vornex.exe lacks resources of type 0x$type" >&2; exit 1; }
done

wine=$(command -v wine || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine ] && wine=/usr/lib/wine/wine
for tool in "$wine" Xvfb import; do
  if [ -z "$tool" ] || ! command -v "$tool" >/dev/null; then
    echo "run-vornex-exe: missing ${tool:-wine}" >&2
    exit 1
  fi
done

prefix=$(mktemp -d)
xvfb_pid=
cleanup() {
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
(unset DISPLAY; "$wine" wineboot -i >/dev/null 2>&1 || true)
# Every program of the prefix in one virtual desktop: Wine then draws the window frames and
# captions itself (the X server has no window manager), and the probe sees the same windows.
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
# The prefix was set up without a display; its desktop process must not outlive that, or the
# window would be created on a desktop that has no display driver.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

shots="$build/screenshots"
mkdir -p "$shots"
run="$build/run"
rm -rf "$run" && mkdir -p "$run" && cp "$exe" "$run/"

failures=0
passes=0
check() {  # check NAME COMMAND...: runs a check and counts it
  local name=$1
  shift
  if "$@"; then
    echo "PASS $name"
    passes=$((passes + 1))
  else
    echo "FAIL $name"
    failures=$((failures + 1))
  fi
}
probe() { timeout 120 "$wine" "$probe" "$@"; }
# Waits (at most $2 seconds) for the program started as pid $1 and checks its exit status.
ended_cleanly() {
  local pid=$1 limit=$2 status=0
  for _ in $(seq 1 $((limit * 4))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.25; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "run-vornex-exe: Vornex.exe did not end" >&2
    return 1
  fi
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || echo "run-vornex-exe: Vornex.exe ended with status $status" >&2
  [ "$status" -eq 0 ]
}

# --- start-up: no device, no HID test libraries ---
(cd "$run" && exec "$wine" ./Vornex.exe) >"$build/vornex-start.log" 2>&1 &
vornex=$!
check "start-up window" probe wait-window 60000 caption-ends "   V1.01" \
  title "USB UPDATA FOR NUV" client 560 474 status Idle 2000 \
  enabled "&Download" 0 0 enabled "&Version" 0 0 enabled "&Stop" 1 0
sleep 1  # the last paint
import -window root "$shots/vornex-start.png" || true
check "close" probe close gone 10000
check "process ended" ended_cleanly "$vornex" 20

echo "run-vornex-exe: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
