#!/usr/bin/env bash
# The main job on a fresh machine with nothing attached: installs what is missing, builds
# vornex-cli, makes a sample update image with `pack`, writes it into the emulated update
# device with a live progress bar and reads the device back to check it.
# Usage: scripts/demo.sh [build-dir]      (default: build)
# The emulated device answers each report after DEMO_LATENCY ms (default 1: the bar is seen
# to move for about 20 s). Extra download options go in DEMO_OPTIONS, e.g.
# DEMO_OPTIONS="--flow echo".
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

# Only what the terminal program needs: a compiler, CMake, Ninja and libudev.
scripts/install-deps.sh cli
# A new build directory is a tree of its own kind: no tests, benchmarks or windows, so none of
# their libraries are needed. One that is configured already (by scripts/test.sh, say) is kept as
# it is: vornex-cli builds under any of the options, and scripts/test.sh names its own, so the
# order the two run in changes nothing.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUV_BUILD_TESTS=OFF \
    -DNUV_BUILD_BENCH=OFF -DNUV_BUILD_GUI=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target vornex-cli
cli="$build/cli/vornex-cli"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A sample firmware: the 16-byte header that Vornex wants ("V1.01" first), then a pattern
# for the rest of the 64,512 bytes of device addresses 0x0000 to 0xFBFF.
{
  printf 'V1.01 demo image'
  yes 'NUV demo firmware ' | head -c $((0xFC00 - 16)) || true
} >"$work/firmware.bin"

echo "== pack: raw firmware -> update image"
"$cli" pack "$work/firmware.bin" -o "$work/UPDATA.nuv"
echo "== inspect"
"$cli" inspect "$work/UPDATA.nuv"
echo "== download into the emulated device, then verify"
# shellcheck disable=SC2086
"$cli" download "$work/UPDATA.nuv" --sim --sim-latency "${DEMO_LATENCY:-1}" --verify ${DEMO_OPTIONS:-}
