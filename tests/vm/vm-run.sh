#!/usr/bin/env bash
# Boots the test VM and runs one command in it, in a chroot of this machine's root file system
# (read-only; /tmp and /run are the VM's own).
#
# Usage: vm-run.sh CACHE_DIR COMMAND_FILE
#   CACHE_DIR holds what make-vm-image.sh made; COMMAND_FILE is an absolute path to an
#   executable file that the VM runs (it sees this machine's files at the same paths).
# Environment (all optional): NUV_VM_MEMORY (default 768M), NUV_VM_CPU (qemu's -cpu, default
# max), NUV_VM_TMP_SIZE (the size of the VM's /tmp, as tmpfs's size= takes it; default half
# the memory), NUV_VM_OUT (a folder of this machine that the VM may write to, at the same
# path: the one way out for the command's logs and results besides the console).
# Exit status: the command's own (0..126); 125 when the VM could not run it; 77 when qemu
# is missing.
set -euo pipefail

cache=${1:?usage: vm-run.sh CACHE_DIR COMMAND_FILE}
command_file=${2:?usage: vm-run.sh CACHE_DIR COMMAND_FILE}
qemu=${NUV_QEMU:-qemu-system-x86_64}
command -v "$qemu" >/dev/null || { echo "SKIPPED: $qemu not found (Debian package qemu-system-x86)" >&2; exit 77; }
case $command_file in /*) ;; *) echo "vm-run: COMMAND_FILE must be an absolute path" >&2; exit 2 ;; esac

# The VM's /tmp is its own. A tree that lives under this machine's /tmp (a CI clone, say) is
# shared as well, read-only, and laid over the VM's /tmp at the same path.
tmp_share=()
tmp_param=""
[ -n "${NUV_VM_TMP_SIZE:-}" ] && tmp_param=" nuvtmpsize=$NUV_VM_TMP_SIZE"
case $command_file in
  /tmp/?*/*)
    top=${command_file#/tmp/}
    top=/tmp/${top%%/*}
    tmp_share=(-fsdev "local,id=hosttmp,path=$top,security_model=none,readonly=on,multidevs=remap"
               -device virtio-9p-pci,fsdev=hosttmp,mount_tag=hosttmp)
    tmp_param="$tmp_param nuvtmp=$top"
    ;;
esac
out_share=()
if [ -n "${NUV_VM_OUT:-}" ]; then
  case $NUV_VM_OUT in
    /*) ;;
    *) echo "vm-run: NUV_VM_OUT must be an absolute path" >&2; exit 2 ;;
  esac
  [ -d "$NUV_VM_OUT" ] || { echo "vm-run: NUV_VM_OUT $NUV_VM_OUT is no folder" >&2; exit 2; }
  out_share=(-fsdev "local,id=hostout,path=$NUV_VM_OUT,security_model=none,multidevs=remap"
             -device virtio-9p-pci,fsdev=hostout,mount_tag=hostout)
  tmp_param="$tmp_param nuvout=$NUV_VM_OUT"
fi

# Software emulation on purpose: these machines have no KVM. One virtual CPU keeps the host's
# two cores for the emulator and the test's own threads.
set +e
"$qemu" -accel tcg -machine pc -cpu "${NUV_VM_CPU:-max}" -smp 1 -m "${NUV_VM_MEMORY:-768M}" \
  -nodefaults -display none -serial stdio -no-reboot \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot "${tmp_share[@]}" "${out_share[@]}" \
  -kernel "$cache/vmlinux" -initrd "$cache/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 nuvrun=$command_file$tmp_param" </dev/null
rc=$?
set -e
# isa-debug-exit makes qemu exit with (value << 1) | 1; anything else is a VM that died.
if [ $((rc & 1)) -eq 1 ]; then exit $((rc >> 1)); fi
echo "vm-run: the VM ended without reporting a result (qemu exit status $rc)" >&2
exit 125
