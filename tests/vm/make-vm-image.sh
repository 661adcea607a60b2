#!/usr/bin/env bash
# Prepares what the test VM boots: Debian's kernel (uncompressed, which boots in half the time
# of the compressed image under software emulation), the modules the tests need in load order,
# and a busybox initramfs whose /init runs a command in a chroot of the host's root file system,
# shared read-only over virtio 9p, so that the programs under test run as built.
#
# Usage: make-vm-image.sh CACHE_DIR
# Leaves CACHE_DIR/vmlinux and CACHE_DIR/initramfs.cpio.gz. The downloaded packages stay in
# CACHE_DIR so that later runs need no network.
# Exit status: 0 ready, 77 when the kernel or busybox cannot be had (the reason is printed).
set -euo pipefail

cache=${1:?usage: make-vm-image.sh CACHE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

skip() { echo "SKIPPED: $*" >&2; exit 77; }

# Modules to load, in order (the package ships no modules.dep, so the order is worked out here
# from each module's own "depends=" field).
wanted_modules=(virtio_pci 9pnet_virtio 9p hid uhid hid-generic
                dummy_hcd libcomposite usb_f_hid usbhid)

fetch() {  # fetch PACKAGE [optional]: downloads PACKAGE's .deb into the cache unless it is there
  local pkg=$1 optional=${2:-}
  compgen -G "$cache/${pkg}_*.deb" >/dev/null && return 0
  command -v apt-get >/dev/null || skip "apt-get is missing: cannot fetch $pkg"
  # apt's sandbox user may not be able to write into the build tree; a temporary folder
  # it owns is used instead.
  local tmp
  tmp=$(mktemp -d)
  chmod 777 "$tmp"
  local ok=1
  if ! (cd "$tmp" && apt-get download -q "$pkg" >/dev/null 2>"$tmp/err"); then
    ok=0
    # Package lists that are old name versions the archive no longer has: as root, refresh
    # them once and try again.
    if [ "$(id -u)" -eq 0 ] && [ -z "${lists_refreshed:-}" ]; then
      lists_refreshed=1
      apt-get update -qq >/dev/null 2>&1 &&
        (cd "$tmp" && apt-get download -q "$pkg" >/dev/null 2>"$tmp/err") && ok=1
    fi
  fi
  if [ "$ok" -eq 0 ]; then
    sed 's/^/  /' "$tmp/err" >&2
    rm -rf "$tmp"
    [ -n "$optional" ] && { echo "make-vm-image: could not download $pkg" >&2; return 1; }
    skip "could not download the Debian package $pkg (apt-get download failed)"
  fi
  mv "$tmp"/*.deb "$cache/"
  rm -rf "$tmp"
}

kernel_package() {
  # The kernel image package that linux-image-amd64 names.
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

stamp="$cache/image.stamp"
script_sum=$(cat "$0" "$here/init.sh" | cksum | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$script_sum" ] &&
   [ -f "$cache/vmlinux" ] && [ -f "$cache/initramfs.cpio.gz" ]; then
  exit 0
fi

kpkg=$(kernel_package || true)
if [ -z "$kpkg" ] && [ "$(id -u)" -eq 0 ]; then
  # No package lists yet (a fresh machine): fetch them once.
  lists_refreshed=1
  apt-get update -qq >/dev/null 2>&1 || true
  kpkg=$(kernel_package || true)
fi
if [ -z "$kpkg" ]; then
  # Without package lists, a kernel package fetched before still serves.
  kdeb=$(compgen -G "$cache/linux-image-[0-9]*.deb" | head -1 || true)
  [ -n "$kdeb" ] || skip "no kernel package known: 'apt-cache depends linux-image-amd64' names none (run apt-get update)"
else
  if ! fetch "$kpkg" optional; then
    # The lists were refreshed by the failed fetch: they may name a newer kernel now.
    kpkg=$(kernel_package || true)
    [ -n "$kpkg" ] || skip "no kernel package known after refreshing the package lists"
    fetch "$kpkg"
  fi
  kdeb=$(compgen -G "$cache/${kpkg}_*.deb" | head -1)
fi
fetch busybox-static
bbdeb=$(compgen -G "$cache/busybox-static_*.deb" | head -1)
# udevd, for the tests of programs that watch devices come and go through udev's monitor (it
# hears from udevd, not from the kernel). Its udevadm is one static program.
rm -rf "$cache/udev"
if fetch udev optional || { echo "make-vm-image: going on without udevd" >&2; false; }; then
  udeb=$(compgen -G "$cache/udev_*.deb" | head -1)
  mkdir -p "$cache/extract-udev" "$cache/udev"
  dpkg-deb -x "$udeb" "$cache/extract-udev"
  if [ -x "$cache/extract-udev/bin/udevadm" ]; then
    cp "$cache/extract-udev/bin/udevadm" "$cache/udev/udevadm"
    # One program for both: it acts as the daemon when called by that name.
    ln -s udevadm "$cache/udev/systemd-udevd"
  fi
  rm -rf "$cache/extract-udev"
fi

work="$cache/extract"
rm -rf "$work"
mkdir -p "$work/kernel" "$work/busybox"
dpkg-deb -x "$kdeb" "$work/kernel"
dpkg-deb -x "$bbdeb" "$work/busybox"

vmlinuz=$(compgen -G "$work/kernel/boot/vmlinuz-*" | head -1)
[ -n "$vmlinuz" ] || skip "the kernel package $(basename "$kdeb") holds no vmlinuz"
kver=${vmlinuz##*/vmlinuz-}
moddir="$work/kernel/lib/modules/$kver"

# The compressed image is a boot stub followed by an xz stream of the ELF kernel, which qemu
# boots directly through its PVH entry.
offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1 || true)
[ -n "$offset" ] || skip "no xz stream found in $(basename "$vmlinuz")"
tail -c +"$((offset + 1))" "$vmlinuz" | xz -dc --single-stream >"$cache/vmlinux.new" 2>/dev/null || true
if ! head -c 4 "$cache/vmlinux.new" | grep -q ELF; then
  skip "could not unpack the kernel from $(basename "$vmlinuz")"
fi
mv "$cache/vmlinux.new" "$cache/vmlinux"

# Module load order: depth first through "depends=".
declare -A path_of=() done_mod=()
while IFS= read -r f; do
  n=${f##*/}; n=${n%.ko}
  path_of[$n]=$f
  path_of[${n//-/_}]=$f
done < <(find "$moddir" -name '*.ko')
order=()
visit() {
  local m=$1 dep deps
  [ -n "${done_mod[$m]:-}" ] && return 0
  done_mod[$m]=1
  local f=${path_of[$m]:-}
  if [ -z "$f" ]; then
    echo "make-vm-image: module $m is not in the kernel package (built in?)" >&2
    return 0
  fi
  deps=$(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | head -1)
  for dep in ${deps//,/ }; do visit "$dep"; done
  order+=("$m")
}
for m in "${wanted_modules[@]}"; do visit "$m"; done

root="$work/initramfs"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,host,lib/modules}
cp "$work/busybox/bin/busybox" "$root/bin/busybox"
: >"$root/modules.order"
for m in "${order[@]}"; do
  cp "${path_of[$m]}" "$root/lib/modules/"
  echo "$(basename "${path_of[$m]}")" >>"$root/modules.order"
done
install -m 0755 "$here/init.sh" "$root/init"
(cd "$root" && find . | "$work/busybox/bin/busybox" cpio -o -H newc 2>/dev/null | gzip -1) >"$cache/initramfs.cpio.gz"
echo "$kver" >"$cache/kernel.version"
rm -rf "$work"
echo "$script_sum" >"$stamp"
echo "make-vm-image: kernel $kver, modules: ${order[*]}"
