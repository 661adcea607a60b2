#!/usr/bin/env bash
# The README's two commands in the order it gives them, on one new tree: scripts/demo.sh, then
# the test command, which must still build and run the unit tests. (The demo configures its
# build directory without tests; the test command once kept that and ctest found nothing.)
#
# The tree is a clone of the committed tree (HEAD of the repository this script sits in) in a
# temporary folder, removed at the end. The demo runs with DEMO_LATENCY=0; the test command runs
# as NUV_TEST_STAGES=unit scripts/test.sh: it builds everything, runs `ctest -L unit` and stops
# there, so it never runs this script again. With ccache, the clone's compiles mostly reuse the
# objects of the tree it came from (scripts/test.sh sets up ccache for that).
#
# Usage: tests/scripts/demo-then-test.sh
# Exit status: 0 passed; 1 failed (with the tail of the failing command's output); 77 cannot run
# on this machine (the reason is printed).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "demo-then-test: cannot run: $*"; exit 77; }
fail() { echo "demo-then-test: FAILED: $*"; exit 1; }

command -v git >/dev/null || skip "git is not installed"
root=$(git -C "$here" rev-parse --show-toplevel 2>/dev/null) ||
  skip "$here is not in a git checkout"
head=$(git -C "$root" rev-parse --verify -q HEAD) || skip "the repository has no commit yet"
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "demo-then-test: uncommitted changes are not in the clone: it tests ${head:0:12}"
fi

work=$(mktemp -d) || skip "no temporary folder could be made"
trap 'rm -rf "$work"' EXIT
tree=$work/tree
git clone --quiet --no-checkout "$root" "$tree" || fail "could not clone $root into $work"
git -C "$tree" checkout --quiet --detach "$head" || fail "could not check out $head"
# Paths under the clone's parent are hashed relative to it, as the tree's own are relative to its.
export CCACHE_BASEDIR=$work CCACHE_NOHASHDIR=true

run() {  # run LOG COMMAND...: runs it in the clone, its output in LOG; fails with LOG's tail
  local log=$1 started=$SECONDS status=0
  shift
  (cd "$tree" && "$@") >"$log" 2>&1 || status=$?
  echo "demo-then-test: $* (in the clone): status $status, $((SECONDS - started)) s"
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    fail "$* exited with status $status"
  fi
}

run "$work/demo.log" env DEMO_LATENCY=0 scripts/demo.sh
grep -q "Verified: the device holds the image" "$work/demo.log" ||
  { tail -n 20 "$work/demo.log"; fail "scripts/demo.sh did not verify the device"; }

run "$work/test.log" env NUV_TEST_STAGES=unit scripts/test.sh
if grep -q "No tests were found" "$work/test.log"; then
  fail "ctest found no tests after the demo had configured the tree"
fi
count=$(sed -n 's/.*tests passed, .* tests failed out of \([0-9][0-9]*\).*/\1/p' \
  "$work/test.log" | tail -n 1)
if [ -z "$count" ]; then
  tail -n 20 "$work/test.log"
  fail "ctest's summary of the unit tests is missing"
fi
[ "$count" -gt 0 ] || fail "ctest ran no unit test"
echo "demo-then-test: the demo verified the device, then $count unit tests ran and passed"
