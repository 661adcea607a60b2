#!/usr/bin/env bash
# Soak: many downloads back to back on the emulated device through vornex-cli, both flows, with
# a random fault of the device (or none) at a random step and random Stop presses (Ctrl-C).
# Every download runs with --verify, so an exit 0 means the device was read back equal to the
# image. The run fails on:
#   - a false success: exit 0 without "Verified", or a verify mismatch (8) after a download that
#     said it completed;
#   - a hang: a download still running 120 s after it started (and after its Ctrl-Cs);
#   - a crash: death by a signal, or an exit code the program does not document;
#   - memory that grows: the mean peak RSS of the last 100 downloads more than 5 % above the
#     mean of the first 100.
# Not a test (it takes most of an hour for 1,000): a check to run by hand after changes to the
# flows, the HID layer or the emulated device.
#
# Usage: scripts/soak.sh [COUNT] [BUILD_DIR]     (default: 1000, build)
#   SOAK_SEED=N makes the choice of faults and stops repeatable.
# Needs: a built vornex-cli (cmake --build BUILD_DIR --target vornex-cli), GNU time.
# Exit status: 0 when no run failed; 1 otherwise. A line per run goes to BUILD_DIR/soak/log.
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-1000}
build=${2:-build}
cli="$build/cli/vornex-cli"
[ -x "$cli" ] || { echo "soak: build $cli first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "soak: needs GNU time (Debian package time)" >&2; exit 1; }
RANDOM=${SOAK_SEED:-$$}

work="$build/soak"
rm -rf "$work" && mkdir -p "$work"
{ printf 'V1.01 soak image'; head -c $((0xFC00 - 16)) /dev/urandom; } >"$work/firmware.bin"
"$cli" pack "$work/firmware.bin" -o "$work/image.nuv" --quiet

faults=(no-reply late:5000 late:50 duplicate code-zero wrong-code wrong-address wrong-data
        short-report write-failure unplug)
places=(link version format 0x0000 0x1000 0x2000 0xFBFC burn)
log="$work/log"
: >"$log"
failures=0
declare -a rss
started=$SECONDS

for run in $(seq 1 "$count"); do
  flow=strict
  ((RANDOM % 2)) && flow=echo
  fault=
  if ((RANDOM % 3 != 0)); then
    fault="${faults[RANDOM % ${#faults[@]}]}@${places[RANDOM % ${#places[@]}]}"
  fi
  # A Stop press after a random moment in one run of five. The echo flow has no time-outs, as
  # its window has none: a device that stops answering it is waited for until the user gives
  # up, which this script does after 12 s (a whole echo download takes under 6 s here).
  stop_after=
  ((RANDOM % 5 == 0)) && stop_after=$((RANDOM % 8)).$((RANDOM % 10))
  [ "$flow" = echo ] && stop_after=${stop_after:-12}

  args=(download "$work/image.nuv" --sim --flow "$flow" --verify)
  [ -n "$fault" ] && args+=(--sim-fault "$fault")
  /usr/bin/time -f '%M' -o "$work/rss" "$cli" "${args[@]}" >"$work/out" 2>"$work/err" &
  pid=$!
  stopper=
  if [ -n "$stop_after" ]; then
    # The first Ctrl-C is Stop; a flow that cannot act on it is ended by a second, 3 s later.
    (sleep "$stop_after"; pkill -INT -P "$pid" 2>/dev/null || true
     sleep 3; pkill -INT -P "$pid" 2>/dev/null || true) &
    stopper=$!
  fi
  (sleep 120; pkill -KILL -P "$pid" 2>/dev/null || true) &
  watchdog=$!
  status=0
  wait "$pid" || status=$?
  kill "$watchdog" 2>/dev/null || true
  [ -n "$stopper" ] && { kill "$stopper" 2>/dev/null || true; }
  wait 2>/dev/null || true

  verdict=ok
  verified=no
  grep -q Verified "$work/out" && verified=yes
  case $status in
    0) [ "$verified" = yes ] || verdict="FALSE SUCCESS (exit 0, not verified)" ;;
    8) verdict="FALSE SUCCESS (completed, then the device did not hold the image)" ;;
    3 | 4 | 5 | 6 | 7 | 130) ;;
    137) verdict="HANG (killed after 120 s)" ;;
    *) verdict="CRASH or undocumented exit $status" ;;
  esac
  peak=$(tail -n 1 "$work/rss" 2>/dev/null | tr -dc 0-9)
  rss+=("${peak:-0}")
  printf '%4d %-6s %-22s stop=%-5s exit=%-3s verified=%-3s rss=%sK %s\n' "$run" "$flow" \
    "${fault:-none}" "${stop_after:--}" "$status" "$verified" "${peak:-?}" "$verdict" >>"$log"
  if [ "$verdict" != ok ]; then
    failures=$((failures + 1))
    echo "soak: run $run: $verdict ($flow, ${fault:-no fault}, stop ${stop_after:-none})" >&2
    cp "$work/out" "$work/run-$run.out"
    cp "$work/err" "$work/run-$run.err"
  fi
  ((run % 100 == 0)) && echo "soak: $run runs, $failures failed, $((SECONDS - started)) s"
done

mean() { local sum=0 n=0 v; for v in "$@"; do sum=$((sum + v)); n=$((n + 1)); done; echo $((sum / n)); }
if [ "$count" -ge 200 ]; then
  first=$(mean "${rss[@]:0:100}")
  last=$(mean "${rss[@]: -100}")
  echo "soak: peak RSS, mean of the first 100 runs ${first} KiB, of the last 100 ${last} KiB"
  if [ "$last" -gt $((first * 105 / 100)) ]; then
    echo "soak: memory grew by more than 5 %" >&2
    failures=$((failures + 1))
  fi
fi
echo "soak: $count runs in $((SECONDS - started)) s; runs per exit code: $(
  awk '{sub("exit=", "", $5); n[$5]++} END {for (c in n) printf "%s %s: %d", sep, c, n[c]; sep = ","}' \
    "$log")"
echo "soak: $((count - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
