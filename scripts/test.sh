#!/usr/bin/env bash
# Installs what is missing, builds everything once and runs every test: the unit and flow
# tests, the windows on Qt's offscreen platform, the virtual machine with the kernel's HID
# stack, then the suites with toolchains of their own: the Windows programs under Wine,
# QuenlorHID's AppKit face under GNUstep, the fuzzers, and the update page in Chromium.
#
# Machines of this kind differ in whether they run 32-bit (i386) programs, Wine's 32-bit loader
# included. This script tries one (scripts/runs-i386.sh) and runs each Windows suite where it
# can: the 32-bit Vornex.exe under 32-bit Wine where this machine runs it, and inside the VM on
# Wine's own HID stack everywhere; the 64-bit Vornex64.exe under 64-bit Wine everywhere. A suite
# that cannot run here is named with the reason and does not fail the run. NUV_NO_32BIT=1 takes
# the path of a machine without 32-bit programs on one that has them.
#
# The build directory is configured with every option named (tests, windows and benchmarks on,
# GNUstep off as its suite builds its own, warnings as errors), so a cache left by another
# configure, scripts/demo.sh's included, never changes what is built and run. A ctest that finds
# no test fails.
#
# Usage: scripts/test.sh [build-dir]      (default: build)
#   NUV_TEST_STAGES picks what runs after the build, a list of: unit (`ctest -L unit`),
#   integration (the other ctest tests) and suites (the suites with their own toolchains, and
#   "README commands in order"); the default is all three. The whole tree is built either way:
#   NUV_TEST_STAGES=unit builds everything, runs the unit tests and stops.
# Exit status: 0 when every suite that could run passed; 2 for an unknown stage.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=$(nproc)
stages=" $(echo "${NUV_TEST_STAGES:-unit integration suites}" | tr ',' ' ') "
for stage in $stages; do
  case $stage in
    unit | integration | suites) ;;
    *) echo "test.sh: NUV_TEST_STAGES takes unit, integration and suites, not \"$stage\"" >&2
      exit 2 ;;
  esac
done
wants() { [[ $stages == *" $1 "* ]]; }
# Warnings are errors here, in the builds of every suite below too (see cmake/Toolchain.cmake).
export NUV_WARNINGS_AS_ERRORS=ON
# Objects compiled in another checkout (a clone in a temporary folder, say) are reused from
# ccache: paths under the base folder are hashed relative to it, and the build folder's own path
# is left out of the hash (the debug info of a reused object may name the other checkout).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$PWD")}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}

if wants suites; then
  scripts/install-deps.sh base web wine gnustep
else
  scripts/install-deps.sh base web
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUV_WARNINGS_AS_ERRORS=ON \
  -DNUV_BUILD_TESTS=ON -DNUV_BUILD_GUI=ON -DNUV_BUILD_BENCH=ON -DNUV_BUILD_GNUSTEP=OFF \
  -DNUV_SANITIZE= >/dev/null
cmake --build "$build" -j"$jobs"
# Windows under test draw offscreen; no display is needed.
export QT_QPA_PLATFORM=offscreen
if wants unit; then
  ctest --test-dir "$build" -j"$jobs" --output-on-failure --no-tests=error -L unit
fi
# Everything else: the windows, the flows, and the virtual machine with the kernel's HID stack.
if wants integration; then
  ctest --test-dir "$build" -j"$jobs" --output-on-failure --no-tests=error -LE unit
fi
wants suites || exit 0

# Suites with their own toolchains: scripts that exit 0 when they passed and 77 when they
# cannot run on this machine (having said why). Each is run, timed and summed up at the end.
summary=()
failed=0
run_suite() {  # run_suite NAME WHERE SCRIPT ARGS...
  local name=$1 where=$2 started=$SECONDS status=0
  shift 2
  echo "== $name ($where): $*"
  "$@" || status=$?
  local took=$((SECONDS - started))
  case $status in
    0) summary+=("passed   $name ($where, ${took} s)") ;;
    77) summary+=("skipped  $name ($where): it cannot run on this machine, see its output") ;;
    *) summary+=("FAILED   $name ($where, status $status, ${took} s)"); failed=$((failed + 1)) ;;
  esac
}
not_here() {  # not_here NAME WHERE REASON
  echo "== $1 ($2): not run: $3"
  summary+=("not run  $1 ($2): $3")
}

# The README's two commands in the order it gives them, in a clone of the committed tree; its
# test command runs with NUV_TEST_STAGES=unit there, so this suite does not run itself again.
run_suite "README commands in order" "a clone of the tree" bash tests/scripts/demo-then-test.sh

# 32-bit Wine is a package of its own, which a machine's package sources may fail to provide
# (scripts/install-deps.sh says why); without it the suites that need it cannot run.
wine32_reason=
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  wine32_reason="32-bit Wine (wine32:i386) is not installed: the package sources could not provide it"
fi
if [ -n "$wine32_reason" ]; then
  not_here "HID layer smoke test" "32-bit Wine" "$wine32_reason"
  not_here "Vornex.exe end to end" "32-bit Wine" \
    "$wine32_reason; the same suite runs for Vornex64.exe"
elif i386_reason=$(scripts/runs-i386.sh "$build/runs-i386"); then
  run_suite "HID layer smoke test" "32-bit Wine" bash tests/wine/run-winhid.sh "$build/winhid-32" 32
  run_suite "Vornex.exe end to end" "32-bit Wine" \
    bash tests/wine/run-vornex-exe.sh "$build/vornex-exe-32" 32
else
  not_here "HID layer smoke test" "32-bit Wine" "$i386_reason"
  not_here "Vornex.exe end to end" "32-bit Wine" \
    "$i386_reason; Vornex.exe runs in the VM below and the same suite runs for Vornex64.exe"
fi
run_suite "HID layer smoke test" "64-bit Wine" bash tests/wine/run-winhid.sh "$build/winhid-64" 64
run_suite "Vornex64.exe end to end" "64-bit Wine" \
  bash tests/wine/run-vornex-exe.sh "$build/vornex-exe-64" 64
if [ -n "$wine32_reason" ]; then
  not_here "Vornex.exe on Wine's own HID stack" "VM" "$wine32_reason"
else
  run_suite "Vornex.exe on Wine's own HID stack" "VM" \
    bash tests/vm/run-wine-stack.sh "$build" "$build/vornex-exe-vm"
fi
run_suite "QuenlorHID on GNUstep" "Xvfb" \
  bash tests/gnustep/run-gnustep-suite.sh "$build/run-gnustep-suite"
# Every parser of what a device, a file or a user hands the programs, 20 s per target.
run_suite "Fuzzers" "clang, ASan+UBSan" bash fuzz/run-fuzzers.sh "$build/fuzz" 20

# The update page in Debian's Chromium against the emulated device, in private namespaces;
# where it cannot run, its last line says why.
web_log=$build/web-browser-suite.log
run_suite "Update page in Chromium" "WebHID, private namespaces" \
  bash -o pipefail -c 'tests/web/run-browser-suite.sh "$1" 2>&1 | tee "$2"' _ "$build" "$web_log"
if [[ ${summary[-1]} == skipped* ]]; then
  unset 'summary[-1]'
  summary+=("not run  Update page in Chromium (WebHID): $(tail -n 1 "$web_log" | sed 's/^.*not run: //')")
fi

echo "== Suites with their own toolchains"
printf '   %s\n' "${summary[@]}"
[ "$failed" -eq 0 ]
