#!/usr/bin/env bash
# Builds Vornex.exe (32-bit) or Vornex64.exe (64-bit) with mingw-w64, and the test-only Windows
# helpers of the same architecture, then runs the program under Wine in a virtual X server:
#  - alone: the window starts with its caption, "Idle" and the buttons' states, a screenshot is
#    saved, and the window closes with the process ending cleanly;
#  - with an emulated update device, through the program's own HID code: test-only HID.dll and
#    SetupApi.dll beside it (loaded instead of Wine's by WINEDLLOVERRIDES) list a device whose
#    path is a named pipe served by nuv_pipe_device, a separate Windows process. The window is
#    driven through a version query, two refused images, a whole download (the device's memory
#    is then compared with the image), an unplug and replug while idle, Stop while writing, a
#    device that stops answering and one that is unplugged while writing.
# The 64-bit run starts only 64-bit programs (wine64, WINEARCH=win64), so it also runs where every
# 32-bit program is refused. Setting up its prefix, Wine asks once for the 32-bit half of the
# prefix; where that is refused, the prefix simply has none, and nothing here needs it.
# Usage: tests/wine/run-vornex-exe.sh [build-dir] [32|64]   (defaults: build-vornex-exe, 32)
#   A build directory holds one architecture: give each its own.
# Needs: cmake, ninja (or make), xvfb, imagemagick, and for 32: g++-mingw-w64-i686, wine and
#   wine32:i386; for 64: g++-mingw-w64-x86-64 and wine64.
# Exit status: 0 when the build and every check passed. Screenshots: <build-dir>/screenshots/.
# The last line is "run-vornex-exe: N passed, M failed".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build-vornex-exe}
bits=${2:-32}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
case "$bits" in
  32) program=Vornex.exe objdump=i686-w64-mingw32-objdump magic=010b wine_name=wine
      wine_fallback=/usr/lib/wine/wine winearch=win32 ;;
  64) program=Vornex64.exe objdump=x86_64-w64-mingw32-objdump magic=020b wine_name=wine64
      wine_fallback=/usr/lib/wine/wine64 winearch=win64 ;;
  *) echo "run-vornex-exe: the architecture is 32 or 64, not \"$bits\"" >&2; exit 2 ;;
esac
suite_started=$SECONDS
"$here/build-windows.sh" "$build" "$bits"

exe="$build/exe/win/app/$program"
helpers="$build/helpers"
probe="$helpers/vornex_probe.exe"
# The program stands alone: it may import only libraries that every Windows has.
headers=$("$objdump" -p "$exe")
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z')
for dll in $imports; do
  case "$dll" in
    kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | msvcrt.dll) ;;
    *) echo "run-vornex-exe: $program needs $dll" >&2; exit 1 ;;
  esac
done
grep -q 'Subsystem.*Windows GUI' <<<"$headers" && grep -q "Magic.*$magic" <<<"$headers" ||
  { echo "run-vornex-exe: $program is not a $bits-bit GUI program" >&2; exit 1; }
# Resource types: 2 pictures, 14 the icon group, 16 the version record.
for type in 000002 00000e 000010; do
  grep -q "^0[0-9a-f][0-9a-f]   Entry: ID: 0x$type," <<<"$headers" ||
    { echo "run-vornex-exe: $program lacks resources of type 0x$type" >&2; exit 1; }
done

# The test libraries export every name the HID layer binds (it refuses a library that lacks one).
exported() {  # the number of names a library exports, in hexadecimal
  "$objdump" -p "$1" | sed -n 's/^\s*Export Address Table\s*0*\([0-9a-f]*\)$/\1/p' | head -n1
}
for library in HID.dll:25 SetupApi.dll:10f; do
  name=${library%%:*} count=${library##*:}
  [ "$(exported "$helpers/$name")" = "$count" ] ||
    { echo "run-vornex-exe: $name exports $(exported "$helpers/$name"), not 0x$count names" >&2; exit 1; }
done

# The loader of this architecture only: the 64-bit run never starts the 32-bit one.
wine=$(command -v "$wine_name" || true)
[ -z "$wine" ] && [ -x "$wine_fallback" ] && wine=$wine_fallback
for tool in "$wine" Xvfb import; do
  if [ -z "$tool" ] || ! command -v "$tool" >/dev/null; then
    echo "run-vornex-exe: missing ${tool:-$wine_name}" >&2
    exit 1
  fi
done
# The server that belongs to the loader, else the one on the PATH.
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)
# A machine that refuses 32-bit programs refuses the 32-bit loader itself ("Exec format error").
if ! version=$("$wine" --version 2>&1); then
  echo "run-vornex-exe: $wine does not run here ($version); on a machine that refuses 32-bit" \
    "programs, run the 64-bit suite: run-vornex-exe.sh BUILD_DIR 64" >&2
  exit 1
fi
echo "run-vornex-exe: $bits-bit, $program under $wine ($version), WINEARCH=$winearch"

prefix=$(mktemp -d)
xvfb_pid=
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=$winearch WINEDLLOVERRIDES="mscoree,mshtml="
# For a win64 prefix Wine also tries to set up the 32-bit half; where 32-bit programs are
# refused, that part fails (see wineboot.log) and the prefix has none, which nothing here needs.
(unset DISPLAY; "$wine" wineboot -i >"$build/wineboot.log" 2>&1 || true)
# Every program of the prefix in one virtual desktop: Wine then draws the window frames and
# captions itself (the X server has no window manager), and the probe sees the same windows.
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
# The prefix was set up without a display; its desktop process must not outlive that, or the
# window would be created on a desktop that has no display driver.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true

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
    echo "run-vornex-exe: $program did not end" >&2
    return 1
  fi
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || echo "run-vornex-exe: $program ended with status $status" >&2
  [ "$status" -eq 0 ]
}

# --- start-up: no device, no HID test libraries ---
(cd "$run" && exec "$wine" "./$program") >"$build/vornex-start.log" 2>&1 &
vornex=$!
check "start-up window" probe wait-window 60000 caption-ends "   V1.01" \
  title "USB UPDATA FOR NUV" client 560 474 status Idle 2000 \
  enabled "&Download" 0 0 enabled "&Version" 0 0 enabled "&Stop" 1 0
sleep 1  # the last paint
import -window root "$shots/vornex-start.png" || true
check "close" probe close gone 10000
check "process ended" ended_cleanly "$vornex" 20

# --- with an emulated update device on a named pipe ---
device_run="$build/run-device"
rm -rf "$device_run" && mkdir -p "$device_run"
cp "$exe" "$helpers/HID.dll" "$helpers/SetupApi.dll" "$device_run/"
# A firmware of random bytes behind the header Vornex wants, and its image.
{ printf 'V1.01 wine test '; head -c $((0xFC00 - 16)) /dev/urandom; } >"$device_run/firmware.bin"
(cd "$device_run" && "$wine" "$helpers/make_image.exe" firmware.bin image.nuv)
windows_path() { (cd "$device_run" && "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'); }
image_path=$(windows_path "$device_run/image.nuv")
# Two images Vornex refuses before it sends anything: a short file, and one of another version.
head -c 1000 "$device_run/image.nuv" >"$device_run/short.nuv"
{ printf 'V2.00'; tail -c +6 "$device_run/image.nuv"; } >"$device_run/other-version.nuv"

device_pid=
device_log=
devices_started=0
# Starts nuv_pipe_device with its commands coming from a fifo held open on fd 9; its lines go
# to device-N.log.
start_device() {
  devices_started=$((devices_started + 1))
  device_log="$device_run/device-$devices_started.log"
  rm -f "$device_run/control" "$device_run/memory.bin"
  mkfifo "$device_run/control"
  (cd "$device_run" && exec "$wine" "$helpers/nuv_pipe_device.exe" --memory-out memory.bin "$@" \
     <"$device_run/control" >"$device_log" 2>&1) &
  device_pid=$!
  exec 9>"$device_run/control"
  device_said ready 30
}
tell_device() { echo "$1" >&9; }
# Waits (at most $2 seconds) for the device to say a line that starts with $1.
device_said() {
  for _ in $(seq 1 $(($2 * 10))); do
    grep -q "^nuv_pipe_device: $1" "$device_log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run-vornex-exe: the device did not say \"$1\"; its log:" >&2
  cat "$device_log" >&2 || true
  return 1
}
stop_device() {
  tell_device quit
  exec 9>&-
  wait "$device_pid" || true
  device_pid=
}
# The device's memory after the strict flow: the firmware, and above it erased flash.
memory_holds_image() {
  local memory="$device_run/memory.bin"
  [ "$(stat -c %s "$memory")" -eq 65536 ] || { echo "memory.bin is not 64 KiB" >&2; return 1; }
  cmp -n $((0xFC00)) "$device_run/firmware.bin" "$memory" >&2 || return 1
  [ -z "$(tail -c $((0x10000 - 0xFC00)) "$memory" | tr -d '\377')" ] ||
    { echo "addresses above the firmware are not erased" >&2; return 1; }
}

check "device process started" start_device
export WINEDLLOVERRIDES="mscoree,mshtml=;hid,setupapi=n"
(cd "$device_run" && exec "$wine" "./$program") >"$build/vornex-device.log" 2>&1 &
vornex=$!
check "device found" probe wait-window 60000 enabled "&Download" 1 20000 enabled "&Version" 1 0
check "version query" probe click "&Version" status "Version:1.01" 20000
check "short image refused" probe click "&Download" \
  open-dialog "$(windows_path "$device_run/short.nuv")" 20000 \
  box "USB UPDATA FOR NUV" "Filesize is error" 20000
check "image of another version refused" probe click "&Download" \
  open-dialog "$(windows_path "$device_run/other-version.nuv")" 20000 \
  box "USB UPDATA FOR NUV" "Version is error" 20000
started=$(date +%s%3N) failures_before=$failures
check "download" probe click "&Download" open-dialog "$image_path" 20000 \
  status "Writing Data..." 20000
sleep 1
import -window root "$shots/vornex-writing.png" || true
check "download completed" probe status "Update Completed" 600000 \
  enabled "&Download" 1 0 enabled "&Version" 1 0
took=$(($(date +%s%3N) - started))  # ms, from the click to the probe seeing "Update Completed"
if [ "$failures" -eq "$failures_before" ]; then
  echo "run-vornex-exe: the download took $((took / 1000)).$(printf %03d $((took % 1000))) s," \
    "about $((took * 1000 / 16128)) us for each of its 16,128 writes"
fi
import -window root "$shots/vornex-completed.png" || true
tell_device save
check "memory saved" device_said saved 30
check "memory holds the image" memory_holds_image

tell_device unplug
check "unplugged" device_said unplugged 30
check "buttons off after unplug" probe enabled "&Download" 0 10000 enabled "&Version" 0 0
tell_device plug
check "plugged back" device_said plugged 30
check "buttons on after replug" probe enabled "&Download" 1 10000 enabled "&Version" 1 0
check "version query after replug" probe click "&Version" status "Version:1.01" 20000
stop_device
# What the device measured of the program: its reports, and how fast it answered a reply.
echo "run-vornex-exe: the device $(sed -n 's/^nuv_pipe_device: served/served/p' "$device_log")"
# One download and two version queries, each command sent once; nothing for the refused images.
check "commands sent once" grep -q \
  "served [0-9]* reports: Link 3, Version 3, Format 1, Write 16128, Burn 1;" "$device_log"

# Stop in the middle of the writes: the download ends at the next round, without Burn.
check "device for the stop started" start_device
check "stop mid-download" probe enabled "&Download" 1 20000 click "&Download" \
  open-dialog "$image_path" 20000 status "Writing Data..." 20000 shown TGauge 1 10000 \
  click "&Stop" shown TGauge 0 10000
stop_device
check "no Burn after the stop" grep -q "Format 1, Write [0-9]*, Burn 0;" "$device_log"

# A device that stops answering in the middle of the download: the program says so.
check "silent device started" start_device --fault no-reply@0x2000
check "silent device found" probe enabled "&Download" 1 20000
check "time-out reported" probe click "&Download" open-dialog "$image_path" 20000 \
  box Error "Time out  error" 60000 status "Time out  error" 5000
import -window root "$shots/vornex-timeout.png" || true
stop_device

# A device unplugged in the middle of the download: the download ends without Burn and the
# buttons go grey, the device being gone.
check "unplugging device started" start_device --fault unplug@0x2000
check "unplugging device found" probe enabled "&Download" 1 20000
check "unplug mid-download reported" probe click "&Download" open-dialog "$image_path" 20000 \
  box Error "Time out  error" 60000 enabled "&Download" 0 10000 enabled "&Version" 0 0
check "device unplugged itself" device_said "unplugged by a fault" 10
check "close with a device" probe close gone 10000
check "process ended with a device" ended_cleanly "$vornex" 20
stop_device
check "no Burn after the unplug" grep -q "Write 2049, Burn 0;" "$device_log"

echo "run-vornex-exe: the $bits-bit suite took $((SECONDS - suite_started)) s"
echo "run-vornex-exe: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
