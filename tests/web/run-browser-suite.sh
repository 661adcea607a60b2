#!/usr/bin/env bash
# The update page in a real Chromium against the emulated device, which Chromium finds as a
# hidraw device: a fake sysfs tree, a pty as the node and udev-style events, all inside private
# mount, network and PID namespaces, so that nothing of the machine changes and the kernel ends
# every process of the suite when it ends.
# Usage: tests/web/run-browser-suite.sh [BUILD_DIR [SCRIPT]]   (default: build)
#   SCRIPT: a Node script to run in the same setting instead of the suite (the page's
#   benchmark, bench/web_download.mjs).
#   Exit 77 with the reason when it cannot run here (not root, no namespaces, packages or
#   build missing). Debian's chromium, Node and playwright-core (npm, tests/web/package.json).
#   NUV_WEB_SCREENSHOT=FILE saves a picture of the page in the middle of a download.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
not_run() { echo "web browser suite: not run: $*"; exit 77; }

if [ "${1:-}" = "--inside" ]; then
  build=$2 script=${3:-}
  ip link set lo up
  # An address that is not loopback: a page from it is not in a secure context.
  ip addr add 10.213.0.1/32 dev lo
  mount -t tmpfs -o mode=0755 nuv-web /sys/devices/virtual/workqueue
  mount -t tmpfs -o mode=0755 nuv-web /sys/class/hidraw
  mkdir -p /run/udev
  mount -t tmpfs nuv-web /run/udev
  touch /run/udev/control
  mount -t tmpfs nuv-web /dev/shm
  mkdir -p /etc/chromium
  mount -t tmpfs nuv-web /etc/chromium
  port=8713
  mkdir -p /etc/chromium/policies/managed
  cat > /etc/chromium/policies/managed/nuv-web-test.json <<JSON
{"WebHidAllowDevicesForUrls":[{"devices":[{"vendor_id":65535,"product_id":256}],"urls":["http://127.0.0.1:$port"]}]}
JSON
  home=$(mktemp -d)
  mount -t tmpfs nuv-web "$home"
  export HOME=$home TMPDIR=$home SYSTEMD_DEVICE_VERIFY_SYSFS=0
  export NUV_WEB_PORT=$port NUV_WEB_INSECURE_HOST=10.213.0.1 NUV_WEB_DIR=$build/web NUV_PTY_DEVICE=$build/web-build/nuv-pty-hid-device
  export NUV_VORNEX_CLI=$build/cli/vornex-cli NUV_SYSFS_DEVICES=/sys/devices/virtual/workqueue
  export NUV_SYSFS_CLASS=/sys/class/hidraw
  cd "$here"
  [ -n "$script" ] && exec node "$script"
  exec node --test --test-concurrency=1 browser.test.mjs
fi

build=$(cd "${1:-build}" 2>/dev/null && pwd) || not_run "no build directory ${1:-build}"
script=
if [ -n "${2:-}" ]; then
  script=$(cd "$(dirname "$2")" 2>/dev/null && pwd)/$(basename "$2")
  [ -f "$script" ] || { echo "run-browser-suite.sh: no script $2" >&2; exit 2; }
fi
[ -f "$build/web/index.html" ] || not_run "the page was not built (Emscripten missing?)"
[ -x "$build/web-build/nuv-pty-hid-device" ] || not_run "nuv-pty-hid-device was not built"
[ -x "$build/cli/vornex-cli" ] || not_run "vornex-cli was not built"
[ -x /usr/lib/chromium/chromium ] || not_run "Debian's chromium is not installed"
command -v node >/dev/null || not_run "node is not installed"
[ "$(id -u)" -eq 0 ] || not_run "needs root for its private namespaces"
if [ ! -d "$here/node_modules/playwright-core" ] || [ ! -d "$here/node_modules/axe-core" ]; then
  (cd "$here" && npm ci --no-audit --no-fund --loglevel=error) ||
    not_run "npm could not install playwright-core and axe-core"
fi
unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private true \
  2>/dev/null || not_run "this machine cannot make private namespaces"
exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private \
  bash "$here/run-browser-suite.sh" --inside "$build" "$script"
