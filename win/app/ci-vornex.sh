#!/bin/sh
# CI for Vornex: builds the window, its tests and its benchmarks into BUILD_DIR (default
# build-ci-vornex), runs the tests (the Qt window test on Qt's offscreen platform, so no X
# server is needed) and keeps the screenshots in BUILD_DIR/vornex-screenshots.
# Needs: cmake, ninja, a C++20 compiler, GoogleTest, Google Benchmark, qt6-base-dev, libudev-dev.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-ci-vornex}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNUV_BUILD_TESTS=ON \
  -DNUV_BUILD_GUI=ON
cmake --build "$build" -j2 --target test_gauge test_forms test_vornex_flows test_vornex_failures \
  test_vornex_devices test_vornex_qt vornex-sim
VORNEX_SCREENSHOT_DIR="$build/vornex-screenshots" QT_QPA_PLATFORM=offscreen \
  ctest --test-dir "$build" -L vornex --output-on-failure --no-tests=error --timeout 300
echo "screenshots: $build/vornex-screenshots"
