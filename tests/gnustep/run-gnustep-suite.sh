#!/usr/bin/env bash
# QuenlorHID's AppKit shell on GNUstep, driven as a user drives it: builds QuenlorHID-gnustep
# in BUILD_DIR, runs it under its own Xvfb against the emulated update device and clicks
# through a version query, a full download (the device's memory compared with the image), the
# alert on a wrong data echo, Stop while writing, an unplug while writing, and Quit by the
# window's close button; first it runs the AppKit
# backend's own tests (test_cocoa_appkit) on the same display. Screenshots go to
# BUILD_DIR/screenshots/gnustep-*.png, logs to BUILD_DIR/gnustep-suite/.
#
# usage: tests/gnustep/run-gnustep-suite.sh BUILD_DIR
# Needs: cmake, ninja, g++, GoogleTest, gobjc++, gnustep-make, libgnustep-gui-dev, gnustep-back0.29(-cairo),
# gnustep-gui-runtime, xvfb, xdotool, imagemagick. Exits non-zero on the first failure.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
mkdir -p "$1"
build_dir="$(cd "$1" && pwd)"
work="$build_dir/gnustep-suite"
shots="$build_dir/screenshots"
rm -rf "$work"
mkdir -p "$work/images" "$shots"

fail() {
  echo "FAIL: $*" >&2
  if [[ -n "${log:-}" && -f "$log" ]]; then
    echo "--- last lines of $log" >&2
    grep -v "Writing address" "$log" | tail -n 15 >&2 || true
  fi
  exit 1
}
step() { echo "== $*"; }

# ---- build ----------------------------------------------------------------------------------
step "build QuenlorHID-gnustep and test_cocoa_appkit"
configure=(-DNUV_BUILD_GNUSTEP=ON)
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
  # A build directory of its own: nothing else of the project is needed here.
  configure+=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUV_BUILD_GUI=OFF
              -DNUV_BUILD_TESTS=ON -DNUV_BUILD_BENCH=OFF)
fi
cmake -S "$source_dir" -B "$build_dir" "${configure[@]}" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "cmake configure"; }
cmake --build "$build_dir" -j2 --target QuenlorHID-gnustep test_cocoa_appkit \
  >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; fail "build"; }
app="$build_dir/mac/QuenlorHID-gnustep"
image="$work/images/demo.nuv"
"$app" --make-image "$image" >/dev/null || fail "--make-image"

# ---- display --------------------------------------------------------------------------------
xvfb_pid=""
app_pid=""
cleanup() {
  [[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null || true
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
# Xvfb picks a free display and writes its number to the file.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for ((i = 0; i < 100; i++)); do
  [[ -s "$work/display" ]] && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(tail -n 3 "$work/xvfb.log")"
  sleep 0.1
done
[[ -s "$work/display" ]] || fail "Xvfb did not start"
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"

# ---- helpers --------------------------------------------------------------------------------
# Press and release with a short pause, as a hand does: GNUstep misses a click whose press and
# release arrive together.
click() {
  xdotool mousemove "$1" "$2"
  sleep 0.2
  xdotool mousedown 1
  sleep 0.15
  xdotool mouseup 1
}

# Waits until the log has a line matching the extended regular expression $1.
wait_for() {
  local pattern="$1" seconds="${2:-20}" i
  for ((i = 0; i < seconds * 10; i++)); do
    grep -Eq -- "$pattern" "$log" && return 0
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended while waiting for /$pattern/"
    sleep 0.1
  done
  fail "no /$pattern/ within $seconds s"
}

shot() { import -window root "$shots/gnustep-$1.png"; }

# The X window of the given exact title, and the origin of its 440x150 content (GNUstep draws
# the title bar and a one-pixel border itself when asked to: -GSX11HandlesWindowDecorations NO).
window_of() {
  local title="$1" i id
  for ((i = 0; i < 100; i++)); do
    id="$(xdotool search --name "^${title}\$" 2>/dev/null | tail -n 1 || true)"
    [[ -n "$id" ]] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
content_origin() {
  local geometry x y w h border
  geometry="$(xdotool getwindowgeometry --shell "$1")"
  x="$(sed -n 's/^X=//p' <<<"$geometry")"
  y="$(sed -n 's/^Y=//p' <<<"$geometry")"
  w="$(sed -n 's/^WIDTH=//p' <<<"$geometry")"
  h="$(sed -n 's/^HEIGHT=//p' <<<"$geometry")"
  border=$(((w - 440) / 2))
  echo "$((x + border)) $((y + h - 150 - border))"
}

# Starts the program with extra options.
start_app() {
  local name="$1"
  shift
  log="$work/$name.log"
  # The open panel starts where it ended last time (a user default); the argument domain
  # pins it to the images folder whatever an earlier run left there.
  (cd "$work/images" && exec "$app" --log-status "$@" -GSX11HandlesWindowDecorations NO \
    -NSDefaultOpenDirectory "$work/images" >"$log" 2>&1) &
  app_pid=$!
  wait_for "status: Ready" 20
  main_window="$(window_of "www\\.example\\.com V1\\.01")" || fail "no main window"
  read -r cx cy < <(content_origin "$main_window")
  # The matching callback makes the device current: Download and Version enabled.
  wait_for "IOHIDDeviceCallbackProc device" 10
  sleep 0.5
}
download_button() { click $((cx + 80)) $((cy + 115)); }
stop_button() { click $((cx + 220)) $((cy + 115)); }
version_button() { click $((cx + 360)) $((cy + 115)); }

# Picks the image in the open panel: the only file of the folder it opens on, then OK.
choose_image_in_open_panel() {
  local panel px py
  panel="$(window_of "Open")" || fail "no open panel"
  sleep 0.5
  read -r px py < <(xdotool getwindowgeometry --shell "$panel" |
    sed -n 's/^[XY]=//p' | paste -sd' ')
  shot "${1}-open-panel"
  click $((px + 263)) $((py + 127))  # demo.nuv, first row of the last column
  sleep 0.5
  click $((px + 339)) $((py + 429))  # OK
}

# Ends the program as Quit does and waits until it is gone.
quit_app() {
  kill -TERM "$app_pid"
  wait "$app_pid" || true
  app_pid=""
}

# ---- 0: the backend's own tests ---------------------------------------------------------------
step "test_cocoa_appkit"
"$build_dir/tests/test_cocoa_appkit" >"$work/test_cocoa_appkit.log" 2>&1 ||
  { grep -E "^\[|Failure|Expected|Which|actual" "$work/test_cocoa_appkit.log" >&2; fail "test_cocoa_appkit"; }

# ---- 1: version query -----------------------------------------------------------------------
step "version query"
start_app version --version 1.01
shot ready
version_button
wait_for "status: Version: 1\\.01" 10
shot version
# ---- 2: the window's close button ends the program --------------------------------------------
step "close button quits"
read -r wx wy < <(xdotool getwindowgeometry --shell "$main_window" | sed -n 's/^[XY]=//p' |
  paste -sd' ')
ww="$(xdotool getwindowgeometry --shell "$main_window" | sed -n 's/^WIDTH=//p')"
click $((wx + ww - 12)) $((wy + 11))
for ((i = 0; i < 50; i++)); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "closing the window did not end the program"
app_pid=""

# ---- 3: full download -----------------------------------------------------------------------
step "full download"
start_app download --memory-out "$work/memory.bin" --compare-with "$image"
download_button
choose_image_in_open_panel download
wait_for "resetReady" 10
wait_for "status: Initializing\\.\\.\\." 10
wait_for "status: Initialization finshed, waiting for downloading\\.\\.\\." 10
wait_for "status: Writing address: 0x8000$" 60
shot downloading
wait_for "status: Finished" 120
shot finished
quit_app
grep -q "memory: matches the image (64512 bytes)" "$log" ||
  fail "the device's memory does not hold the image"
[[ "$(stat -c %s "$work/memory.bin")" == 65536 ]] || fail "no memory dump"
writes="$(grep -c "status: Writing address: " "$log" || true)"
[[ "$writes" == 16383 ]] || fail "expected 16383 'Writing address' lines, saw $writes"

# ---- 4: wrong data echo ---------------------------------------------------------------------
step "alert on a wrong data echo"
start_app wrong-echo --fault wrong-data@0x2000 --memory-out "$work/memory-wrong-echo.bin" \
  --compare-with "$image"
download_button
choose_image_in_open_panel wrong-echo
wait_for "Alert: Error Error on writing address: 0x2000\\. Writing operation will be canceled" 60
sleep 0.5
shot alert
# The status line changes only after the alert was answered.
grep -q "status: Error on writing address: 0x2000" "$log" && fail "status set before the alert closed"
window_of "Information" >/dev/null || fail "no alert window"
xdotool key Return
wait_for "status: Error on writing address: 0x2000$" 10
sleep 0.5
shot after-alert
grep -q "status: Writing address: 0x2004" "$log" && fail "a Write went out after the wrong echo"
quit_app
grep -q "memory: differs from the image" "$log" || fail "the device was burnt after a wrong echo"

# ---- 5: Stop while writing ------------------------------------------------------------------
step "Stop while writing"
start_app stop --latency-us 200
download_button
choose_image_in_open_panel stop
wait_for "status: Writing address: 0x1000$" 60
stop_button
wait_for "status: User canceled" 20
sleep 0.5
shot stopped
grep -q "status: Writing address: 0xfffc" "$log" && fail "Stop did not end the download"
quit_app

# ---- 6: unplugged while writing (the bus unplugs it on a thread of its own) -------------------
step "unplugged while writing"
start_app unplug --fault "unplug@#500"
download_button
choose_image_in_open_panel unplug
wait_for "IOHIDRemovalDeviceCallbackProc device" 60
wait_for "status: idle$" 10
sleep 0.5
shot unplugged
grep -q "autorelease called without pool" "$log" && fail "a thread without autorelease pool"
quit_app

step "all passed; screenshots in $shots"
