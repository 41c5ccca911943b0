#!/bin/sh
# Emulator for the Windows test programs: runs "$@" (a Wine loader and a program) only inside a
# private network namespace whose sole interface is loopback, so nothing a test does can leave
# the machine. Under Wine every socket is made by the wineserver: scripts/test starts the prefix
# and the wineserver inside the same namespace and checks that before any test runs.
others=$(awk -F: 'NR > 2 { gsub(/ /, "", $1); if ($1 != "lo") printf "%s ", $1 }' /proc/self/net/dev)
if [ ! -r /proc/self/net/dev ] || [ -n "$others" ]; then
  echo "wine-contained: refusing to run $* outside a private network namespace" >&2
  echo "wine-contained: (interfaces here: ${others% }) run the Windows tests through scripts/test" >&2
  exit 125
fi
exec "$@"
