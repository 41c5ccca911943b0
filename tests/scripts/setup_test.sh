#!/bin/bash
# scripts/setup against a fake apt-get/dpkg on PATH: a mirror whose 32-bit index never arrives,
# a mirror that is whole, and one where the build packages cannot be installed.
set -uo pipefail
setup=$(cd "$(dirname "$0")/../.." && pwd)/scripts/setup
work=$(mktemp -d "${TMPDIR:-/tmp}/setup-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fails=0
check() {  # description, command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

# The fakes keep their state in $FAKE: installed packages, the architectures, every call.
mkdir -p "$work/bin"
cat >"$work/bin/apt-get" <<'FAKE'
#!/bin/bash
echo "apt-get $*" >>"$FAKE/calls"
case $1 in
update)
  if [ "${FAKE_UPDATE_FAILS:-0}" = 1 ]; then
    echo "Err:6 http://mirror.test/debian-security bookworm-security/main i386 Packages"
    echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0 ;;
install)
  pkgs=()
  for a in "$@"; do case $a in install | -*) ;; *) pkgs+=("$a") ;; esac; done
  for p in "${pkgs[@]}"; do
    if [[ " ${FAKE_UNINSTALLABLE:-} " == *" $p "* ]]; then
      echo " $p : Depends: libwine:i386 but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
  done
  printf '%s\n' "${pkgs[@]}" >>"$FAKE/installed"
  exit 0 ;;
esac
exit 1
FAKE
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/bin/bash
pkg=${!#}
grep -qx -- "$pkg" "$FAKE/installed" 2>/dev/null && echo "install ok installed" && exit 0
exit 1
FAKE
cat >"$work/bin/dpkg" <<'FAKE'
#!/bin/bash
echo "dpkg $*" >>"$FAKE/calls"
case $1 in
--print-foreign-architectures) cat "$FAKE/arches" 2>/dev/null ;;
--add-architecture) echo "$2" >>"$FAKE/arches" ;;
esac
FAKE
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"  # as root, so no sudo
chmod +x "$work/bin/"*

run_setup() {  # case folder, setup arguments...
  local dir=$1
  shift
  env PATH="$work/bin:$PATH" FAKE="$dir" KMV_SETUP_STATE="$dir/state" KMV_SETUP_PAUSE=1 \
    KMV_SETUP_BUDGET=4 "$setup" "$@" >"$dir/out" 2>&1
}
calls() { grep -c -- "$2" "$1/calls" 2>/dev/null || true; }

# A mirror whose 32-bit security index fails, so that wine32 cannot be installed.
c=$work/bad-mirror && mkdir -p "$c"
export FAKE_UPDATE_FAILS=1 FAKE_UNINSTALLABLE=wine32:i386
start=$(date +%s)
run_setup "$c"
check "setup exits 0 although apt-get update fails" [ $? -eq 0 ]
check "the update is retried within its budget" \
  [ "$(calls "$c" 'apt-get update')" -ge 2 -a $(($(date +%s) - start)) -le 15 ]
check "one line names the index that failed" \
  grep -q 'could not fetch http://mirror.test/.*binary-i386/Packages.xz - carrying on' "$c/out"
check "the build and test packages are installed" grep -qx 'libgtest-dev' "$c/installed"
check "the 64-bit Wine is installed" grep -qx 'wine64' "$c/installed"
check "zip and unzip for the release packages are installed" \
  bash -c "grep -qx zip '$c/installed' && grep -qx unzip '$c/installed'"
check "one line says the 32-bit Windows tests cannot run, and why" \
  [ "$(grep -c '32-bit Windows tests cannot run on this machine' "$c/out")" -eq 1 ]
check "apt's account of the unmet dependencies stays out of the output" \
  bash -c "! grep -q 'held broken' '$c/out'"
check "the i386 architecture was added" grep -qx i386 "$c/arches"

: >"$c/calls"
run_setup "$c"
check "run again, it returns at once with the same line" \
  [ $? -eq 0 -a "$(calls "$c" apt-get)" -eq 0 -a "$(grep -c '32-bit Windows tests cannot run' "$c/out")" -eq 1 ]
run_setup "$c" --retry
check "--retry tries the 32-bit Wine again" grep -q 'apt-get install .*wine32:i386' "$c/calls"

# The mirror is whole again: everything installs, and a second run asks apt nothing.
unset FAKE_UPDATE_FAILS FAKE_UNINSTALLABLE
run_setup "$c" --retry
check "with a whole mirror the 32-bit Wine installs" grep -qx 'wine32:i386' "$c/installed"
: >"$c/calls"
run_setup "$c"
check "when everything is there it only checks" \
  [ $? -eq 0 -a "$(calls "$c" apt-get)" -eq 0 -a "$(cat "$c/out")" = "scripts/setup: everything is installed" ]

# The build packages themselves cannot be installed: a clear failure.
c=$work/no-compilers && mkdir -p "$c"
FAKE_UNINSTALLABLE=libgtest-dev run_setup "$c"
check "setup fails when the build packages cannot be installed" [ $? -ne 0 ]
check "and says so" grep -q 'FAILED: the build and test packages could not be installed' "$c/out"
check "and does not go on to Wine" bash -c "! grep -q 'wine64' '$c/calls'"

[ $fails -eq 0 ] && echo "all passed" || { echo "$fails failed"; cat "$work"/*/out; }
[ $fails -eq 0 ]
