#!/usr/bin/env bash
# Checks the layout of the C++ and Objective-C++ sources: clang-format's (.clang-format at the
# top), and that every header of this tree is included with its folder from the top
# ("platform/iohid/Linux.h", never "Linux.h"), so that a reader knows which one is meant.
# Usage: scripts/check-format.sh [--fix]
# Exit status: 0 when everything is laid out; 1 otherwise, with the files named.
set -euo pipefail
cd "$(dirname "$0")/.."
fix=0
[ "${1:-}" = "--fix" ] && fix=1

# Formatting differs between clang-format versions; the tree is formatted with version 14
# (Debian bookworm's).
format=clang-format
command -v clang-format-14 >/dev/null 2>&1 && format=clang-format-14
if ! command -v "$format" >/dev/null 2>&1; then
  echo "check-format: clang-format is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
version=$("$format" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
if [ "$version" != 14 ]; then
  echo "check-format: $format is version $version; the tree is formatted with version 14" >&2
  exit 1
fi

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.mm')
status=0
if [ "$fix" -eq 1 ]; then
  "$format" -i "${sources[@]}"
else
  mapfile -t unformatted < <(for f in "${sources[@]}"; do
    "$format" --dry-run --Werror "$f" >/dev/null 2>&1 || echo "$f"
  done)
  if [ "${#unformatted[@]}" -gt 0 ]; then
    echo "check-format: not formatted (scripts/check-format.sh --fix formats them):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    status=1
  fi
fi

# Quoted includes name a file of this tree with its folder.
if bare=$(grep -nE '^\s*#\s*(include|import)\s+"[^"/]+"' "${sources[@]}"); then
  echo "check-format: headers included without their folder:" >&2
  echo "$bare" | sed 's/^/  /' >&2
  status=1
fi
[ "$status" -eq 0 ] && echo "check-format: ${#sources[@]} files laid out"
exit "$status"
