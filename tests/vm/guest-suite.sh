#!/bin/sh
# Runs inside the test VM (in the chroot of the host's files): every test listed in the build
# tree's vm/*.tests files, one line each, "NAME COMMAND...". Programs are named by the
# variables of the vm/*.programs files, which are exported to the tests.
# Usage: guest-suite.sh BUILD_DIR [COMMAND...]
#   With COMMAND, prepares the VM the same way and runs that command instead of the tests.
build=${1:?usage: guest-suite.sh BUILD_DIR [COMMAND...]}
shift
set -a
for f in "$build"/vm/*.programs; do [ -f "$f" ] && . "$f"; done
set +a
# The console is a terminal; keep escape codes out of the log.
export GTEST_COLOR=no

echo "vm: kernel $(uname -r), $(grep -c ^processor /proc/cpuinfo) CPU"
[ -e /dev/uhid ] && echo "vm: /dev/uhid is there" || echo "vm: /dev/uhid is missing"

udevd="$build/vm-cache/udev/systemd-udevd"
if [ -x "$udevd" ]; then
  "$udevd" --daemon --resolve-names=never 2>/dev/null
  # Ready once its control socket is there ("udevadm settle" does nothing in a chroot).
  tries=0
  while [ ! -S /run/udev/control ] && [ "$tries" -lt 100 ]; do sleep 0.05; tries=$((tries + 1)); done
  if [ -S /run/udev/control ]; then
    echo "vm: udevd is running"
  else
    echo "vm: udevd would not start; tests of the udev monitor will fail"
  fi
else
  echo "vm: no udevd; tests of the udev monitor will fail"
fi

if [ "$#" -gt 0 ]; then
  exec "$@"
fi

passed=0
failed=0
failures=""
for list in "$build"/vm/*.tests; do
  [ -f "$list" ] || continue
  while read -r name command; do
    case $name in ''|'#'*) continue ;; esac
    echo "=== VM TEST $name: $command"
    started=$(date +%s)
    # Each test gets the console as its standard input closed, so none can wait for a terminal.
    sh -c "$command" </dev/null
    rc=$?
    took=$(( $(date +%s) - started ))
    if [ "$rc" -eq 0 ]; then
      passed=$((passed + 1))
      echo "=== VM TEST $name: PASSED (${took} s)"
    else
      failed=$((failed + 1))
      failures="$failures $name"
      echo "=== VM TEST $name: FAILED with status $rc (${took} s)"
    fi
  done <"$list"
done
[ -n "$failures" ] && echo "vm: failed:$failures"
echo "vm: $passed passed, $failed failed"
[ "$passed" -gt 0 ] && [ "$failed" -eq 0 ]
