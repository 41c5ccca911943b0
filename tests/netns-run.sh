#!/bin/sh
# Run a test inside its own network namespace, with the receiver's design address on loopback,
# so that nothing the plug-in sends can leave the machine. Exit 77 (skipped) when impossible.
if [ "$KMV_IN_NETNS" != 1 ]; then
  if [ "$(id -u)" = 0 ]; then ns="unshare -n"; else ns="unshare -rn"; fi
  if ! $ns true 2>/dev/null; then
    echo "SKIPPED: no private network namespace ($ns failed)"
    exit 77
  fi
  KMV_IN_NETNS=1 exec $ns "$0" "$@"
fi
if ! { ip link set lo up && ip addr add 192.168.1.10/32 dev lo; }; then
  echo "SKIPPED: cannot configure loopback in the private namespace"
  exit 77
fi
exec "$@"
