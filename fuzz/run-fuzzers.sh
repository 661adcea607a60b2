#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/fuzz_*.cpp, with ASan and UBSan) and runs each for a bounded
# time on a copy of its seed corpus (fuzz/corpus/<target>/; the repository is never written).
# For each target it prints the executions per second and the coverage of its last status line
# (cov: edges, ft: features); a crash, a leak, an UB report, an input that runs too long or an
# out-of-memory fails the target, and its input is kept as a file.
#
# A failing input replays on its own:  BUILD_DIR/fuzz_<target> BUILD_DIR/runs/<target>/crash-...
# Once fixed, it goes into fuzz/corpus/<target>/ and into the module's GoogleTest suite.
#
# Usage: fuzz/run-fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET]     (default 20 s per target)
#   BUILD_DIR is relative to the repository's top (build-fuzz, say) or absolute; it is configured
#   on first use. FUZZ_TARGETS="emulator hid_reply" runs only those; FUZZ_JOBS sets the build's
#   parallelism (default 2); CLANGXX / CLANG name the compilers (default clang++-14 / clang-14).
# Needs: cmake, ninja, clang-14 and libclang-rt-14-dev (libFuzzer and the sanitizer runtimes),
#   libudev-dev.
# Exit status: 0 when every target ran its time cleanly; 1 when any failed; 2 for a wrong
#   argument. The last line is "run-fuzzers: N passed, M failed".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:?usage: fuzz/run-fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET]}
seconds=${2:-20}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
case "$seconds" in '' | *[!0-9]*)
  echo "run-fuzzers: SECONDS_PER_TARGET is a whole number, not \"$seconds\"" >&2; exit 2 ;;
esac

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${CLANGXX:-clang++-14}" \
    -DCMAKE_C_COMPILER="${CLANG:-clang-14}" >/dev/null
fi
cmake --build "$build" -j "${FUZZ_JOBS:-2}" >"$build/fuzz-build.log" 2>&1 || {
  tail -40 "$build/fuzz-build.log" >&2
  echo "run-fuzzers: the build failed (log: $build/fuzz-build.log)" >&2
  echo "run-fuzzers: 0 passed, 1 failed"
  exit 1
}

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for source in "$here"/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name#fuzz_}")
  done
fi

passed=0
failed=0
for target in "${targets[@]}"; do
  program="$build/fuzz_$target"
  if [ ! -x "$program" ]; then
    echo "fuzz_$target: FAILED: no such target"
    failed=$((failed + 1))
    continue
  fi
  work="$build/runs/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  if [ -d "$here/corpus/$target" ]; then cp "$here/corpus/$target"/* "$work/corpus/"; fi
  log="$work/fuzz.log"
  status=0
  # The outer limit only catches a fuzzer that hangs outside any input (its -timeout catches
  # those inside one).
  timeout --kill-after=10 $((seconds + 120)) "$program" "$work/corpus" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$work/" >"$log" 2>&1 || status=$?
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov: \1 ft: \2/p' <<<"$last")
  speed=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log" | tail -1)
  runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log" | tail -1)
  artifact=$(find "$work" -maxdepth 1 -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \
    -o -name 'slow-unit-*' \) -print -quit)
  if [ "$status" -eq 0 ] && [ -z "$artifact" ] && ! grep -q 'runtime error:' "$log"; then
    echo "fuzz_$target: passed, ${runs:-?} runs, ${speed:-?} exec/s, ${cov:-no coverage line}"
    passed=$((passed + 1))
  else
    echo "fuzz_$target: FAILED (exit $status), ${runs:-?} runs, ${speed:-?} exec/s, ${cov:-}"
    grep -E 'ERROR: |runtime error:|invariant failed|SUMMARY: ' "$log" | head -5 | sed 's/^/  /'
    if [ -n "$artifact" ]; then
      echo "  input: $artifact"
      echo "  replay: $program $artifact"
    fi
    echo "  log: $log"
    failed=$((failed + 1))
  fi
done
echo "run-fuzzers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
