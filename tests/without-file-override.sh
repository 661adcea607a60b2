#!/usr/bin/env bash
# Runs a command so that file permissions bind it: as root, without the capabilities that let
# root open any file (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH), dropped from the bounding set so
# that the programs it starts cannot have them either; as any other user, as it is. The tests
# of unreadable files then see open() refused with "Permission denied", as a user would, rather
# than skipping where the suites run as root.
# Usage: tests/without-file-override.sh COMMAND [ARGS...]
# Needs: setpriv (util-linux) when run as root, and the right to drop capabilities (CAP_SETPCAP).
# Exit status: the command's; 125 when the capabilities could not be dropped.
set -euo pipefail
[ "$#" -ge 1 ] || { echo "usage: without-file-override.sh COMMAND [ARGS...]" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then exec "$@"; fi
drop=-dac_override,-dac_read_search
if ! setpriv --bounding-set="$drop" --inh-caps="$drop" -- true; then
  echo "without-file-override: cannot drop CAP_DAC_OVERRIDE here" >&2
  exit 125
fi
exec setpriv --bounding-set="$drop" --inh-caps="$drop" -- "$@"
