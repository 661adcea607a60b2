#!/bin/busybox sh
# /init of the test VM. Loads the modules in the order of /modules.order, mounts the host's root
# file system (read-only, virtio 9p) at /host and runs the command named by the kernel
# parameter nuvrun= in a chroot of it, so that the programs under test and their libraries are
# the host's own. The command's exit status leaves the VM through the isa-debug-exit port
# (qemu exits with status*2+1), since a power-off always makes qemu exit with 0.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
# The kernel does not mount devtmpfs by itself when it boots from an initramfs.
mount -t devtmpfs dev /dev

say() { echo "vm-init: $*"; }
finish() {
  rc=$1
  [ "$rc" -gt 126 ] && rc=126
  sync
  printf "\\$(printf %o "$rc")" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
  say "isa-debug-exit did not stop the VM"
  poweroff -f
}

while read -r m; do
  err=$(insmod "/lib/modules/$m" 2>&1) || say "insmod $m failed: $err"
done </modules.order

if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot /host; then
  say "cannot mount the host's root file system"
  finish 125
fi
mount -o bind /dev /host/dev
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t tmpfs -o size=${nuvtmpsize:-50%} tmp /host/tmp
mount -t tmpfs run /host/run
# A tree of the host's /tmp that the command lives in (nuvtmp=), back at its own path.
if [ -n "$nuvtmp" ]; then
  mkdir -p "/host$nuvtmp"
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hosttmp "/host$nuvtmp" ||
    say "cannot share $nuvtmp"
fi
# A folder of the host's that the command may write to (nuvout=), at its own path.
if [ -n "$nuvout" ]; then
  mkdir -p "/host$nuvout" 2>/dev/null
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 hostout "/host$nuvout" ||
    say "cannot share $nuvout"
fi
[ -d /host/sys/kernel/config ] && mount -t configfs configfs /host/sys/kernel/config 2>/dev/null

if [ -z "$nuvrun" ]; then
  say "no command given (kernel parameter nuvrun=)"
  finish 125
fi
say "running $nuvrun"
chroot /host /bin/sh -c "cd / && exec \"\$0\"" "$nuvrun"
finish $?
