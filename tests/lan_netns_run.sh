#!/bin/sh
# Run a LAN test in private network and mount namespaces: the receiver's design address
# 192.168.1.10 exists only on loopback, and the name lookup sees a hosts file of the test's own
# ("KMV410-0123" is 127.0.0.1) and a name server on 127.0.0.1 that only a test provides, so
# nothing can leave the machine and no real name service is asked. Exit 77 (skipped) when that
# cannot be set up.
if [ "$KMV_IN_LAN_NS" != 1 ]; then
  if [ "$(id -u)" = 0 ]; then ns="unshare -n -m"; else ns="unshare -r -n -m"; fi
  if ! $ns true 2>/dev/null; then
    echo "SKIPPED: no private network and mount namespace ($ns failed)"
    exit 77
  fi
  KMV_IN_LAN_NS=1 exec $ns "$0" "$@"
fi
if ! { ip link set lo up && ip addr add 192.168.1.10/32 dev lo; }; then
  echo "SKIPPED: cannot configure loopback in the private namespace"
  exit 77
fi
if [ ! -e /etc/nsswitch.conf ] || [ ! -e /etc/hosts ]; then
  echo "SKIPPED: no /etc/nsswitch.conf or /etc/hosts to stand in for"
  exit 77
fi
dir=$(mktemp -d)
printf '127.0.0.1 localhost\n127.0.0.1 KMV410-0123\n' >"$dir/hosts"
printf 'hosts: files dns\n' >"$dir/nsswitch.conf"
# A name server only a test starts, on the namespace's loopback; without one a lookup fails at once.
printf 'nameserver 127.0.0.1\noptions timeout:8 attempts:1\n' >"$dir/resolv.conf"
# The namespace's mounts are private: the machine's own files stay as they are.
if ! { mount --make-rprivate / 2>/dev/null; mount --bind "$dir/hosts" /etc/hosts &&
  mount --bind "$dir/nsswitch.conf" /etc/nsswitch.conf; }; then
  rm -rf "$dir"
  echo "SKIPPED: cannot stand in a hosts file in the private mount namespace"
  exit 77
fi
if ! { [ -e /etc/resolv.conf ] && mount --bind "$dir/resolv.conf" /etc/resolv.conf; }; then
  printf 'hosts: files\n' >"$dir/nsswitch.conf"  # no name server of the test's own: files only
fi
"$@"
status=$?
rm -rf "$dir"
exit $status
