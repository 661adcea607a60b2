#!/usr/bin/env bash
# The VM suite: boots Debian's kernel under qemu (software emulation, no KVM needed) and runs
# the project's kernel HID tests inside it, against real /dev/uhid and /dev/hidrawN nodes.
#
# Usage: run-vm-suite.sh BUILD_DIR [COMMAND...]
#   Without COMMAND, runs every test of BUILD_DIR/vm/*.tests (see guest-suite.sh). With one,
#   runs that command in the VM instead (as root, in a chroot of this machine's files, with
#   the variables of BUILD_DIR/vm/*.programs set), which helps when a test fails.
# Exit status: 0 all passed; 77 skipped (qemu or the kernel cannot be had; the reason is
# printed); anything else failed. The VM's console is in BUILD_DIR/vm/console.log too.
set -euo pipefail

build=${1:?usage: run-vm-suite.sh BUILD_DIR [COMMAND...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
started=$(date +%s)

qemu=${NUV_QEMU:-qemu-system-x86_64}
if ! command -v "$qemu" >/dev/null; then
  echo "SKIPPED: $qemu not found; install the Debian package qemu-system-x86 to run the VM suite"
  exit 77
fi

set +e
"$here/make-vm-image.sh" "$build/vm-cache"
rc=$?
set -e
[ "$rc" -eq 0 ] || exit "$rc"

if ! compgen -G "$build/vm/*.tests" >/dev/null; then
  echo "run-vm-suite: $build/vm has no test lists: configure the build first" >&2
  exit 1
fi
missing=()
for f in "$build"/vm/*.programs; do
  while IFS="=" read -r var path; do
    path=${path//\'/}
    [ -x "$path" ] || missing+=("$var=$path")
  done <"$f"
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "run-vm-suite: not built yet: ${missing[*]}" >&2
  echo "run-vm-suite: build them first (cmake --build $build)" >&2
  exit 1
fi

runner="$build/vm/guest-run.sh"
{
  echo "#!/bin/sh"
  printf "exec '%s' '%s'" "$here/guest-suite.sh" "$build"
  [ "$#" -gt 0 ] && printf " '%s'" "$@"
  echo
} >"$runner"
chmod +x "$runner"

echo "run-vm-suite: booting $(cat "$build/vm-cache/kernel.version") under $qemu (TCG)"
set +e
"$here/vm-run.sh" "$build/vm-cache" "$runner" 2>&1 | tee "$build/vm/console.log"
rc=${PIPESTATUS[0]}
set -e
echo "run-vm-suite: VM finished with status $rc after $(( $(date +%s) - started )) s"
exit "$rc"
