#!/bin/sh
# Runs inside the test VM (in the chroot of the host's files; see run-wine-stack.sh): Vornex.exe
# under Wine with Wine's own hid.dll, setupapi.dll and HID bus driver, on the emulated update
# device presented by the kernel as a real /dev/hidrawN (vornex-cli emulate, through /dev/uhid).
# Nothing of the program's own test libraries is near it: no HID.dll beside the program, no
# DLL override for hid or setupapi. Prints "PASS name" or "FAIL name" for each check and the
# figures as "figure: ..." lines.
# Usage: guest-wine-stack.sh CLI EXE PROBE WORK OUT [UDEVD]
#   CLI    the native vornex-cli; EXE Vornex.exe; PROBE vornex_probe.exe
#   WORK   a folder holding firmware.bin, image.nuv and short.nuv (read-only is fine)
#   OUT    a folder to leave the logs and screenshots in (writable)
#   UDEVD  systemd-udevd, started here: Wine's bus driver hears of devices that come and go
#          through it (without, only the device plugged before Wine started is seen)
# Environment: NUV_WINE_DEBUG, Wine's debug channels for every Wine process (default: none
# but the library loads of Vornex.exe, which show whose hid.dll it runs on).
# Exit status: 0 when every check passed.
cli=${1:?usage: guest-wine-stack.sh CLI EXE PROBE WORK OUT [UDEVD]}
exe=${2:?} probe_exe=${3:?} work=${4:?} out=${5:?} udevd=${6:-}

passes=0
failures=0
check() {  # check NAME COMMAND...: runs a check and counts it
  name=$1
  shift
  if "$@"; then
    echo "PASS $name"
    passes=$((passes + 1))
  else
    echo "FAIL $name"
    failures=$((failures + 1))
  fi
}
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
finish() {
  echo "guest-wine-stack: $passes passed, $failures failed"
  [ "$failures" -eq 0 ] && [ "$passes" -gt 0 ]
  exit $?
}

wine=$(command -v wine || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine ] && wine=/usr/lib/wine/wine
if [ -z "$wine" ] || ! command -v Xvfb >/dev/null; then
  echo "guest-wine-stack: wine or Xvfb is missing"
  check "wine and Xvfb present" false
  finish
fi

# The VM's /tmp is the only place Wine may write to: the prefix (some 600 MB) lives there.
export HOME=/tmp/wine-home
mkdir -p "$HOME"
export WINEPREFIX=/tmp/wine-prefix WINEARCH=win32
# No Mono nor Gecko (nothing here needs them, and installing them takes minutes), no menu
# entries for a desktop that is not there.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEDEBUG="${NUV_WINE_DEBUG:--all}"
run_dir=/tmp/wine-run
mkdir -p "$run_dir"
cp "$exe" "$run_dir/Vornex.exe"

emulator_pid=
xvfb_pid=
vornex_pid=
cleanup() {
  [ -n "$vornex_pid" ] && kill "$vornex_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

memory_mib=$(awk '/MemTotal/ { print int($2 / 1024) }' /proc/meminfo)
echo "vm: kernel $(uname -r), $(grep -c ^processor /proc/cpuinfo) CPU, $memory_mib MiB"

# Wine's bus driver listens to udevd's monitor for devices plugged and unplugged. Its other
# way, watching /dev by inotify (its DisableUdevd option), loses a device plugged while it
# runs: the node's attributes change right after it is made, and the driver answers that by
# removing the device and adding it again, which it refuses as a duplicate of the one it is
# still removing.
udevd_running=0
if [ -n "$udevd" ] && [ -x "$udevd" ]; then
  "$udevd" --daemon --resolve-names=never 2>/dev/null
  # Ready once its control socket is there ("udevadm settle" does nothing in a chroot).
  for _ in $(seq 1 200); do [ -S /run/udev/control ] && break; sleep 0.05; done
  [ -S /run/udev/control ] && udevd_running=1
fi
if [ "$udevd_running" -eq 1 ]; then
  echo "vm: udevd is running"
else
  echo "vm: no udevd; Wine's bus driver will not see devices plugged after it started"
fi

# --- the emulated device: a real hidraw node of this kernel ---
emulators=0
emulator_log=
# Starts vornex-cli emulate with the given options; waits until the kernel made its node.
start_emulator() {
  emulators=$((emulators + 1))
  emulator_log="$out/emulator-$emulators.log"
  rm -f /tmp/emulator.ready /tmp/memory.bin
  "$cli" emulate --ready-file /tmp/emulator.ready --memory-out /tmp/memory.bin "$@" \
    >"$emulator_log" 2>&1 &
  emulator_pid=$!
  for _ in $(seq 1 300); do
    [ -s /tmp/emulator.ready ] && return 0
    kill -0 "$emulator_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "guest-wine-stack: the emulator made no hidraw node; its log:"
  cat "$emulator_log"
  return 1
}
# Stops the emulator as a user pulls the cable: the kernel removes the node at once.
stop_emulator() {
  [ -n "$emulator_pid" ] || return 0
  kill -INT "$emulator_pid" 2>/dev/null
  wait "$emulator_pid"
  status=$?
  emulator_pid=
  [ "$status" -eq 0 ] || echo "guest-wine-stack: the emulator ended with status $status"
}
node_gone() {  # node_gone PATH: the kernel removed PATH (within 10 s)
  for _ in $(seq 1 100); do [ -e "$1" ] || return 0; sleep 0.1; done
  return 1
}

check "emulated device on a hidraw node" start_emulator
node=$(cat /tmp/emulator.ready 2>/dev/null)
hid_id=$(grep HID_ID "/sys/class/hidraw/${node#/dev/}/device/uevent" 2>/dev/null)
echo "vm: the update device is $node ($hid_id)"

# --- the prefix ---
started=$(now)
(unset DISPLAY; "$wine" wineboot -i >"$out/wineboot.log" 2>&1)
wineserver -w
echo "figure: prefix created in $(elapsed "$started" "$(now)") s," \
  "$(du -sm "$WINEPREFIX" | cut -f1) MB"
# Wine's HID bus driver (winebus.sys) starts its SDL bus first and, as long as that bus thread
# started, never starts the udev one, even when the SDL library is missing and the SDL bus
# ended at once (Wine 8: the bus's init status is not passed back). Without SDL the hidraw
# devices are seen. Without udevd, the driver is told to watch /dev instead.
cat >/tmp/wine-stack.reg <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\winebus]
"Enable SDL"=dword:00000000
"DisableUdevd"=dword:0000000$((1 - udevd_running))

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="800x600"
EOF
(unset DISPLAY; "$wine" regedit /S 'Z:\tmp\wine-stack.reg' >"$out/regedit.log" 2>&1)
# The driver reads its options when it starts: end this session of the prefix, whose desktop
# also had no display.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
check "bus driver settings stored" grep -q '"Enable SDL"=dword:00000000' "$WINEPREFIX/system.reg"

display=90
while [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

# The probe's lines go to a log (on the console, Wine would dress them up for a terminal); a
# failing step's reason is shown.
probe() {
  # A guard against a probe that hangs, beyond the limits its steps are given.
  timeout 1800 "$wine" "$probe_exe" "$@" </dev/null >/tmp/probe.out 2>&1
  status=$?
  tr -d '\r' </tmp/probe.out >>"$out/probe.log"
  [ "$status" -eq 0 ] || tr -d '\r' </tmp/probe.out | tail -n 3
  return "$status"
}
windows_path() { echo "Z:$1" | tr / '\\'; }
# A picture of the virtual screen, for a person reading the logs (ImageMagick's import).
screenshot() {
  command -v import >/dev/null && import -window root "$out/$1.png" 2>/dev/null
  true
}

# --- Vornex.exe, on Wine's own HID stack ---
vornex_log="$out/vornex.log"
started=$(now)
(cd "$run_dir" && WINEDEBUG="${NUV_WINE_DEBUG:--all,+loaddll}" exec "$wine" ./Vornex.exe) \
  >"$vornex_log" 2>&1 &
vornex_pid=$!
check "window shown" probe wait-window 240000
echo "figure: the window was shown $(elapsed "$started" "$(now)") s after the start"
check "no HID library beside the program" test ! -e "$run_dir/hid.dll" -a ! -e "$run_dir/HID.dll" \
  -a ! -e "$run_dir/setupapi.dll" -a ! -e "$run_dir/SetupApi.dll"
check "device found" probe enabled "&Download" 1 120000 enabled "&Version" 1 0
screenshot vornex-device-found
# Wine's own libraries (builtin), loaded from its system folder. In a trace of other channels
# the loads are not logged.
runs_on_wines() {
  case ${NUV_WINE_DEBUG:-} in ''|*loaddll*) ;; *) return 0 ;; esac
  for dll in hid setupapi; do
    grep -qi "Loaded L\"C:\\\\\\\\windows\\\\\\\\system32\\\\\\\\$dll.dll\" at [0-9A-F]*: builtin" \
      "$vornex_log" ||
      { echo "guest-wine-stack: Vornex.exe did not load Wine's $dll.dll"; return 1; }
  done
}
check "Wine's hid.dll and setupapi.dll in use" runs_on_wines
check "version query" probe click "&Version" status "Version:1.01" 60000

check "short image refused" probe click "&Download" \
  open-dialog "$(windows_path "$work/short.nuv")" 60000 \
  box "USB UPDATA FOR NUV" "Filesize is error" 60000

started=$(now)
check "download started" probe click "&Download" open-dialog "$(windows_path "$work/image.nuv")" \
  60000 status "Writing Data..." 60000
check "download completed" probe status "Update Completed" 1200000 \
  enabled "&Download" 1 0 enabled "&Version" 1 0
took=$(elapsed "$started" "$(now)")
echo "figure: download through Wine's HID stack: $took s for 16132 exchanges," \
  "$(awk -v t="$took" 'BEGIN { printf "%.2f", t * 1000 / 16132 }') ms each"
screenshot vornex-completed

# Unplugged while idle: the emulator stops, the kernel removes the node, Wine's bus driver
# sees it go and the program greys its buttons.
stop_emulator
check "memory saved by the emulator" test -s /tmp/memory.bin
memory_holds_image() {
  memory=/tmp/memory.bin
  [ "$(stat -c %s "$memory")" -eq 65536 ] || { echo "memory.bin is not 64 KiB"; return 1; }
  cmp -n $((0xFC00)) "$work/firmware.bin" "$memory" || return 1
  [ -z "$(tail -c $((0x10000 - 0xFC00)) "$memory" | tr -d '\377')" ] ||
    { echo "addresses above the firmware are not erased"; return 1; }
}
check "memory holds the image" memory_holds_image
# Every command the device answers counts: 2 for the version query, 16132 for the download,
# and none for the refused image, which must be refused before anything is sent.
exchanges_counted() {
  grep -q ", 16134 replies sent" "$emulator_log" ||
    { echo "the emulator: $(tail -n 1 "$emulator_log")"; return 1; }
}
check "exchanges: version 2, refused image 0, download 16132" exchanges_counted
check "buttons off after unplug" probe enabled "&Download" 0 120000 enabled "&Version" 0 0

# Unplugged while writing: a new device that leaves the bus when the writes reach 0x2000.
check "unplugging device plugged" start_emulator --sim-fault unplug@0x2000
unplugging_node=$(cat /tmp/emulator.ready 2>/dev/null)
check "unplugging device found" probe enabled "&Download" 1 120000 enabled "&Version" 1 0
check "unplug mid-download reported" probe click "&Download" \
  open-dialog "$(windows_path "$work/image.nuv")" 60000 box Error "Time out  error" 240000
screenshot vornex-unplugged-while-writing
check "device left the kernel" node_gone "$unplugging_node"
check "buttons off after the unplug" probe enabled "&Download" 0 120000 enabled "&Version" 0 0
# The emulator ends by itself at the fault; one that did not (the download never reached the
# fault) is stopped.
for _ in $(seq 1 100); do kill -0 "$emulator_pid" 2>/dev/null || break; sleep 0.1; done
stop_emulator
# What reached the device: the writes below the fault address, erased flash far above it. The
# device left the bus at the fault, so no Burn could follow.
writes_stopped_at_unplug() {
  memory=/tmp/memory.bin
  [ -s "$memory" ] || { echo "the unplugged emulator left no memory file"; return 1; }
  cmp -n $((0x2000)) "$work/firmware.bin" "$memory" || return 1
  [ -z "$(tail -c $((0x10000 - 0x2100)) "$memory" | tr -d '\377')" ] ||
    { echo "the device holds data far above the fault address"; return 1; }
}
check "writes stopped at the unplug" writes_stopped_at_unplug

check "close" probe close gone 60000
process_ended() {  # the program ends (within 2 minutes) with status 0
  for _ in $(seq 1 480); do kill -0 "$vornex_pid" 2>/dev/null || break; sleep 0.25; done
  if kill -0 "$vornex_pid" 2>/dev/null; then
    echo "guest-wine-stack: Vornex.exe did not end"
    return 1
  fi
  wait "$vornex_pid"
  status=$?
  vornex_pid=
  [ "$status" -eq 0 ] || echo "guest-wine-stack: Vornex.exe ended with status $status"
  [ "$status" -eq 0 ]
}
check "process ended" process_ended
finish
