#!/usr/bin/env bash
# Installs what is missing, builds everything once and runs every test: the unit and flow
# tests, the windows on Qt's offscreen platform, then the suites that need more than this
# machine's compiler (mingw + Wine, GNUstep under Xvfb) where their scripts are present.
# Usage: scripts/test.sh [build-dir]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=$(nproc)

scripts/install-deps.sh base wine gnustep
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"
# Windows under test draw offscreen; no display is needed.
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" -j"$jobs" --output-on-failure -L unit
# Everything else: the windows, the flows, and the virtual machine with the kernel's HID stack.
ctest --test-dir "$build" -j"$jobs" --output-on-failure -LE unit

# Suites with their own toolchains, each a script that exits non-zero on failure.
for suite in tests/wine/run-winhid.sh tests/wine/run-vornex-exe.sh \
             tests/gnustep/run-gnustep-suite.sh; do
  if [ -x "$suite" ] || [ -f "$suite" ]; then
    echo "== $suite"
    bash "$suite" "$build/$(basename "$suite" .sh)"
  fi
done
