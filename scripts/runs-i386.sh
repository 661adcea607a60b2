#!/usr/bin/env bash
# Tells whether this machine runs 32-bit (i386) programs, by running one: a 96-byte static
# ELF that makes the exit system call with status 42. Nothing is taken from the kernel's
# version or configuration, since machines with the same kernel differ.
# NUV_NO_32BIT=1 answers "no" without trying, to exercise that path on a machine that has it.
# Usage: scripts/runs-i386.sh [WORK_DIR]   (default: a temporary folder; it must allow exec)
# Prints one line saying why not, when not.
# Exit status: 0 it runs them; 1 it does not.
set -euo pipefail

if [ "${NUV_NO_32BIT:-0}" = 1 ]; then
  echo "32-bit programs: not tried (NUV_NO_32BIT=1)"
  exit 1
fi
dir=${1:-}
if [ -z "$dir" ]; then
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
fi
mkdir -p "$dir"
program="$dir/exit42-i386"
# ELF header (class 32, little-endian, executable, machine 3 = i386, entry 0x08048054, one
# program header at 52), the program header (one R+X segment of the whole file at 0x08048000),
# then the code: mov eax,1 (exit); mov ebx,42; int 0x80.
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$program"
printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$program"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$program"
printf '\x00\x00\x00\x00' >>"$program"
printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$program"
printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$program"
printf '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >>"$program"
chmod +x "$program"

set +e
output=$("$program" 2>&1)
status=$?
set -e
[ "$status" -eq 42 ] && exit 0
reason=${output:-exit status $status}
echo "32-bit programs: refused by this machine (${reason##*: })"
exit 1
