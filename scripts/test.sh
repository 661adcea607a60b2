#!/usr/bin/env bash
# Installs what is missing, builds everything once and runs every test.
# Usage: scripts/test.sh [build-dir]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/install-deps.sh base
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
# Windows under test draw offscreen; no display is needed.
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure -L unit
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure -LE unit
