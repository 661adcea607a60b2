#!/usr/bin/env bash
# Makes the Debian packages from a build (cpack -G DEB), checks them (lintian, whose findings
# are reported, AppStream metainfo and desktop entries, which must be valid), installs them on
# this machine with apt-get, runs the installed programs (--version, doctor, a download into
# the emulated device), builds examples/flash.c against the installed libnuv-dev with
# pkg-config and runs it, runs the installed Python package with Debian's python3 (the rig
# example on emulated devices), removes them again and checks that none of their files is left.
# Usage: scripts/check-packages.sh [build-dir]      (default: build-release; run as root)
# Needs: scripts/install-deps.sh base package, and a built tree (cmake --build BUILD).
# Exit status: 0 when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
packages=(vornex-cli nuv-updater-gui libnuv1 libnuv-dev python3-nuv)

step() { echo "== check-packages: $*"; }
fail() { echo "check-packages: $*" >&2; exit 1; }

step "cpack -G DEB"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=()
for p in "${packages[@]}"; do
  deb=$(find "$build" -maxdepth 1 -name "${p}_*.deb" | head -n 1)
  [ -n "$deb" ] || fail "cpack made no package $p"
  debs+=("$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")")
  echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done

step "lintian (findings are reported, not fatal)"
lintian --fail-on none --tag-display-limit 0 "${debs[@]}" || true

step "metainfo and desktop entries"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "${debs[1]}" "$unpacked"
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.xml
desktop-file-validate "$unpacked"/usr/share/applications/*.desktop

# The check installs and removes the packages: it leaves alone an install that was there before.
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    fail "$p is installed on this machine already; remove it first (apt-get remove $p)"
  fi
done

step "apt-get install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null
mapfile -t owned < <(dpkg -L "${packages[@]}" | sort -u)

step "the installed programs"
version=$(dpkg-deb -f "${debs[0]}" Version)
said=$(/usr/bin/vornex-cli --version)
echo "$said"
[[ $said == *"$version"* ]] || fail "vornex-cli --version"
for program in Vornex QuenlorHID; do
  "/usr/bin/$program" --version | grep -qx "$program $version" || fail "$program --version"
done
[ -f /usr/share/man/man1/vornex-cli.1.gz ] || fail "no manual page"
[ -f /usr/share/bash-completion/completions/vornex-cli ] || fail "no bash completion"
status=0
/usr/bin/vornex-cli doctor >"$unpacked/doctor.txt" || status=$?
cat "$unpacked/doctor.txt"
# No device is attached here: doctor says so (3) or finds more to say (1); the rule it finds is
# the package's.
case $status in 0 | 1 | 3) ;; *) fail "doctor ended with status $status" ;; esac
grep -q "/usr/lib/udev/rules.d/70-nuv-update-device.rules" "$unpacked/doctor.txt" ||
  fail "doctor does not name the installed udev rule"
{
  printf 'V1.01 package test'
  head -c $((0xFC00 - 18)) /dev/urandom
} >"$unpacked/firmware.bin"
/usr/bin/vornex-cli pack "$unpacked/firmware.bin" -o "$unpacked/UPDATA.nuv"
/usr/bin/vornex-cli download "$unpacked/UPDATA.nuv" --sim --verify

step "libnuv: examples/flash.c built against the installed header and library"
cc -std=c99 -Wall -Wextra -Werror examples/flash.c $(pkg-config --cflags --libs nuv) \
  -o "$unpacked/flash"
# The installed library, found by the loader's cache (/lib is /usr/lib on a merged /usr).
ldd "$unpacked/flash" | grep -Eq "libnuv.so.1 => (/usr)?/lib/" ||
  fail "flash does not use the installed libnuv.so.1"
"$unpacked/flash" --sim "$unpacked/UPDATA.nuv" | tee "$unpacked/flash.txt"
grep -q "holds the image byte for byte" "$unpacked/flash.txt" || fail "flash.c on the emulated device"

step "python3-nuv: Debian's python3 with the installed package and library"
# From another folder and without NUV_LIBRARY: nothing of this tree is on the path.
(cd "$unpacked" && env -u NUV_LIBRARY -u PYTHONPATH /usr/bin/python3 -c '
import nuv, sys
assert nuv.__file__.startswith("/usr/lib/python3/dist-packages/"), nuv.__file__
with nuv.Emulator() as device:
    outcome = nuv.download("UPDATA.nuv", device, verify=True)
    assert outcome.outcome == "completed" and nuv.read_version(device) == "1.01"
print("nuv", nuv.__version__, "from", nuv.__file__, ": completed")
')
status=0
(cd "$unpacked" && env -u NUV_LIBRARY -u PYTHONPATH /usr/bin/python3 "$OLDPWD/examples/rig.py" \
  UPDATA.nuv --sim 4) || status=$?
# The rig's third emulated board stops answering on purpose: three of four, exit status 1.
[ "$status" -eq 1 ] || fail "examples/rig.py --sim 4 ended with status $status, not 1"

step "apt-get purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null
left=()
for path in "${owned[@]}"; do
  # Directories such as /usr/bin are shared with other packages; the package's own files and
  # its own folders (/usr/share/doc/vornex-cli) must be gone.
  if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == */doc/* || $path == */dist-packages/nuv ]]; }; then
    left+=("$path")
  fi
done
[ "${#left[@]}" -eq 0 ] || fail "left behind after removal: ${left[*]}"
step "passed"
