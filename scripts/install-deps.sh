#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# Usage: scripts/install-deps.sh [cli|base|wine|gnustep|package|web]...   (default: base)
#   cli: only what building and running vornex-cli needs (scripts/demo.sh)
set -euo pipefail

cli_packages=(build-essential cmake ninja-build pkg-config libudev-dev)
base_packages=(
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libudev-dev qt6-base-dev python3-jsonschema
  python3-pytest python3-setuptools
  xvfb xauth x11-utils xdotool imagemagick
  qemu-system-x86
  clang-14 libclang-rt-14-dev clang-format-14 libc++-14-dev libc++abi-14-dev
)
# Both Windows builds and both Wines: the 32-bit loader runs only where the kernel runs i386
# programs (and inside the test VM, which shares this machine's files); wine64 runs everywhere.
wine_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)
# Checking the Debian packages (scripts/check-packages.sh).
package_packages=(lintian appstream desktop-file-utils)
# The update page: its engine in WebAssembly (Debian's Emscripten, which needs Debian's acorn
# under Node) and the browser its suite drives (tests/web/run-browser-suite.sh; the driver,
# playwright-core, comes from npm through tests/web/package.json).
web_packages=(emscripten node-acorn nodejs chromium util-linux iproute2)
gnustep_packages=(gnustep-make gobjc++ libgnustep-gui-dev gnustep-back0.29 gnustep-back0.29-cairo
  gnustep-gui-runtime)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo_cmd=(sudo); else
    echo "install-deps: run as root or install sudo" >&2; exit 1
  fi
fi

missing() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || echo "$pkg"
  done
}

wanted=()
sets=("${@:-base}")
for set in "${sets[@]}"; do
  case "$set" in
    cli) wanted+=("${cli_packages[@]}") ;;
    base) wanted+=("${base_packages[@]}") ;;
    package) wanted+=("${package_packages[@]}") ;;
    wine)
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
        need_update=1
      fi
      wanted+=("${wine_packages[@]}") ;;
    gnustep) wanted+=("${gnustep_packages[@]}") ;;
    web)
      wanted+=("${web_packages[@]}")
      # npm comes inside Node.js's own packages on some machines and as Debian's package on
      # others; Debian's cannot be installed beside the former.
      command -v npm >/dev/null 2>&1 || wanted+=(npm) ;;
    *) echo "install-deps: unknown set '$set'" >&2; exit 2 ;;
  esac
done

mapfile -t todo < <(missing "${wanted[@]}")
if [ "${#todo[@]}" -eq 0 ] && [ -z "${need_update:-}" ]; then exit 0; fi
echo "install-deps: installing ${todo[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails an update or a download now and then: try again before giving up.
retry() {
  local attempt
  for attempt in 1 2 3 4; do
    "$@" && return 0
    [ "$attempt" -eq 4 ] && break
    echo "install-deps: '$*' failed (attempt $attempt); trying again in $((attempt * 15)) s" >&2
    sleep $((attempt * 15))
  done
  return 1
}
# An index that still fails after that (a stale mirror or proxy) is not fatal on its own: apt
# keeps the indexes it did fetch. When the missing one is an i386 security index, the i386
# libraries Wine needs lag their amd64 twins and apt cannot pair them; installing from the
# release's own suite (-t CODENAME) pairs them again.
update_complete=1
retry "${sudo_cmd[@]}" apt-get update -qq || {
  update_complete=0
  echo "install-deps: some package indexes could not be fetched; installing from the rest" >&2
}
[ "${#todo[@]}" -gt 0 ] || exit 0
install=("${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends)
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
install_all() {  # install_all PACKAGE...
  if [ "$update_complete" -eq 1 ]; then
    retry "${install[@]}" "$@" >/dev/null
  else
    "${install[@]}" "$@" >/dev/null || {
      echo "install-deps: trying again from the '$codename' suite alone" >&2
      retry "${install[@]}" -t "$codename" "$@" >/dev/null
    }
  fi
}
# The i386 packages (32-bit Wine) come last and may fail: a mirror whose i386 security index
# lags its amd64 one cannot pair the i386 libraries with the amd64 ones already installed.
# The suites that need them then say so and do not run (scripts/test.sh); everything else
# must install.
required=()
optional=()
for pkg in "${todo[@]}"; do
  case "$pkg" in *:i386) optional+=("$pkg") ;; *) required+=("$pkg") ;; esac
done
[ "${#required[@]}" -eq 0 ] || install_all "${required[@]}"
if [ "${#optional[@]}" -gt 0 ] && ! install_all "${optional[@]}"; then
  echo "install-deps: ${optional[*]} could not be installed from this machine's package" \
    "sources; the suites that need 32-bit Wine will not run here" >&2
fi
