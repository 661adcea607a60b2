#!/usr/bin/env bash
# Vornex.exe through Wine's own HID stack: boots the test VM (see vm-run.sh) and runs, inside it,
# the 32-bit Vornex.exe under Wine with Wine's hid.dll, setupapi.dll and HID bus driver
# (winebus.sys, whose hidraw backend presents a kernel HID device to Windows programs), on the
# emulated update device that vornex-cli emulate makes a real /dev/hidrawN through /dev/uhid.
# No test library of the project's is involved, so the program meets an implementation of the
# Windows API that is not this team's reading of it. The window is driven by vornex_probe.exe
# in a virtual X server: the device found, a version query, a short image refused, a whole
# download (the device's memory compared with the image), an unplug while idle and one while
# writing. Wine runs only in the VM, whose kernel always runs 32-bit programs; this machine
# need not.
# Usage: tests/vm/run-wine-stack.sh BUILD_DIR WINDOWS_BUILD_DIR
#   BUILD_DIR          the native build (BUILD_DIR/cli/vornex-cli); the VM's files are cached
#                      in BUILD_DIR/vm-cache
#   WINDOWS_BUILD_DIR  the mingw build of tests/wine/build-windows.sh (built here when
#                      Vornex.exe or the probe is missing); the logs and screenshots go to
#                      WINDOWS_BUILD_DIR/wine-stack/out
# Environment: NUV_WINE_DEBUG, Wine's debug channels in the VM (e.g. +hid,+plugplay,+setupapi;
# the traces go to the logs).
# Needs: qemu-system-x86 and Debian's kernel package (else skipped), wine with wine32:i386,
# xvfb, the mingw-w64 cross compiler.
# Exit status: 0 every check passed; 77 skipped (qemu or the kernel cannot be had: the reason
# is printed); anything else failed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
usage="usage: run-wine-stack.sh BUILD_DIR WINDOWS_BUILD_DIR"
build=${1:?$usage}
windows=${2:?$usage}
started=$(date +%s)

qemu=${NUV_QEMU:-qemu-system-x86_64}
if ! command -v "$qemu" >/dev/null; then
  echo "SKIPPED: $qemu not found; install the Debian package qemu-system-x86 to run this suite"
  exit 77
fi
[ -d "$build" ] || { echo "run-wine-stack: $build is no build folder" >&2; exit 1; }
build=$(cd "$build" && pwd)
cli="$build/cli/vornex-cli"
[ -x "$cli" ] || { echo "run-wine-stack: $cli is not built (cmake --build $build)" >&2; exit 1; }
# Wine is the host's, seen by the VM through its view of this machine's files.
if [ ! -x /usr/lib/wine/wine ] || ! command -v Xvfb >/dev/null; then
  echo "run-wine-stack: needs Wine's 32-bit loader (wine32:i386) and Xvfb installed" >&2
  exit 1
fi

case "$windows" in /*) ;; *) windows="$PWD/$windows" ;; esac
exe="$windows/exe/win/app/Vornex.exe"
probe="$windows/helpers/vornex_probe.exe"
if [ ! -f "$exe" ] || [ ! -f "$probe" ]; then
  "$root/tests/wine/build-windows.sh" "$windows"
fi

set +e
"$here/make-vm-image.sh" "$build/vm-cache"
rc=$?
set -e
[ "$rc" -eq 0 ] || exit "$rc"

# The images, made here with the native tool: a firmware of random bytes behind the header
# Vornex wants, its image, and a file too short to be one.
work="$windows/wine-stack"
out="$work/out"
rm -rf "$work"
mkdir -p "$out"
{ printf 'V1.01 wine stack '; head -c $((0xFC00 - 17)) /dev/urandom; } >"$work/firmware.bin"
"$cli" pack "$work/firmware.bin" -o "$work/image.nuv" -q
head -c 1000 "$work/image.nuv" >"$work/short.nuv"

# The VM sees this machine's files, except under /tmp, which is its own: there it sees only
# the one top folder that holds the command it runs.
visible_in_vm() {
  local path top=${1#/tmp/}
  case $1 in /tmp/?*) ;; *) return 0 ;; esac
  top=/tmp/${top%%/*}
  case $work in "$top"/*) return 0 ;; esac
  echo "run-wine-stack: the VM cannot see $1 (under /tmp, but not under $top with the rest);" \
    "put both build folders beside each other" >&2
  return 1
}
for path in "$here" "$cli" "$exe" "$probe"; do visible_in_vm "$path" || exit 1; done

runner="$work/guest-run.sh"
{
  echo "#!/bin/sh"
  [ -n "${NUV_WINE_DEBUG:-}" ] && printf "export NUV_WINE_DEBUG='%s'\n" "$NUV_WINE_DEBUG"
  printf "exec '%s' '%s' '%s' '%s' '%s' '%s' '%s'\n" "$here/guest-wine-stack.sh" "$cli" "$exe" \
    "$probe" "$work" "$out" "$build/vm-cache/udev/systemd-udevd"
} >"$runner"
chmod +x "$runner"

# Wine's 32-bit code makes the kernel oops on the "max" CPU model under software emulation;
# qemu64 runs it. A fresh prefix takes some 600 MB of the VM's /tmp, which is memory.
echo "run-wine-stack: booting $(cat "$build/vm-cache/kernel.version") under $qemu (TCG)"
set +e
NUV_VM_CPU=qemu64 NUV_VM_MEMORY=${NUV_VM_MEMORY:-2560M} NUV_VM_OUT="$out" \
  timeout 3600 "$here/vm-run.sh" "$build/vm-cache" "$runner" 2>&1 | tee "$work/console.log"
rc=${PIPESTATUS[0]}
set -e

passed=$(grep -c '^PASS ' "$work/console.log" || true)
failed=$(grep -c '^FAIL ' "$work/console.log" || true)
if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then
  # The VM or the guest's script ended before it could say what failed.
  echo "FAIL the VM ran the suite to its end (status $rc)"
  failed=1
fi
grep '^figure: ' "$work/console.log" | sed 's/^figure: /run-wine-stack: /' || true
echo "run-wine-stack: the VM's logs are in $out; $(( $(date +%s) - started )) s in all"
echo "run-wine-stack: $passed passed, $failed failed"
[ "$rc" -eq 0 ] && [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
