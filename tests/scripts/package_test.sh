#!/bin/bash
# scripts/package on a copy of the work tree (its own git repository, with a placeholder user
# guide): refused without the guide; then the zips' exact contents, SHA256SUMS, and each DLL's
# version resource with the copy's hash, also after a new commit in the reused build folders.
# Usage: package_test.sh WORK_DIR   (kept between runs, so the DLL builds are reused)
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?usage: package_test.sh WORK_DIR}
name=ExtIO_KMV410B211

for tool in git cmake zip unzip sha256sum i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix \
  i686-w64-mingw32-windres x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump; do
  if ! command -v $tool >/dev/null; then
    echo "skipped: $tool is not installed (scripts/setup installs it)"
    exit 77
  fi
done
if ! git -C "$repo" rev-parse --git-dir >/dev/null 2>&1; then
  echo "skipped: $repo is not a git checkout to copy from"
  exit 77
fi

fails=0
check() {  # description, command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

# The copy: every file git knows or would add, with its times kept so the build is reused.
src=$work/src
mkdir -p "$src"
find "$src" -mindepth 1 -maxdepth 1 ! -name .git -exec rm -rf {} +
(cd "$repo" && git ls-files -z -co --exclude-standard | while IFS= read -r -d '' f; do
  [ -e "$f" ] && cp -p --parents "$f" "$src/"
done)
rm -rf "$src/docs/user-guide.md" "$src/docs/images" "$src/dist"
[ -d "$src/.git" ] || git -C "$src" init -q
commit() {
  git -C "$src" add -A &&
    git -C "$src" -c user.name=package-test -c user.email=package-test@localhost \
      -c commit.gpgsign=false commit -q --allow-empty -m "package test" &&
    git -C "$src" rev-parse --short HEAD
}
version=$(sed -nE 's/^project\([A-Za-z0-9_]+ VERSION ([0-9][0-9.]*).*/\1/p' "$src/CMakeLists.txt")
IFS=. read -r major minor patch _ <<<"$version.0.0"
out=$work/out
builds=$work/build
package() {  # log
  rm -rf "$out"
  KMV_SKIP_SETUP=1 "$src/scripts/package" --out "$out" --build-root "$builds" >"$1" 2>&1
}

# Without the guide: refused at once, before any build.
commit >/dev/null
start=$(date +%s)
package "$work/no-guide.log"
status=$?
check "refused without docs/user-guide.md" [ $status -ne 0 ]
check "saying the guide is missing" grep -q 'docs/user-guide.md is missing' "$work/no-guide.log"
check "before building anything" [ $(($(date +%s) - start)) -le 5 -a ! -e "$out/SHA256SUMS" ]

zip_files() { unzip -Z1 "$1" | sort | tr '\n' ' '; }
# Checks the zips in $out: file list, guide and licence, machine of each DLL, its resource.
check_zips() {  # hash, expected file list
  local hash=$1 expected=$2 bits arch
  for bits in win32 win64; do
    [ $bits = win32 ] && arch=i686 || arch=x86_64
    local zip=$out/$name-$version-$bits.zip x=$work/unzipped-$bits
    check "$bits zip holds exactly: $expected" [ "$(zip_files "$zip")" = "$expected" ]
    rm -rf "$x" && mkdir -p "$x" && unzip -q "$zip" -d "$x"
    check "$bits zip: the guide and the licence as in the tree" \
      bash -c "cmp -s '$x/user-guide.md' '$src/docs/user-guide.md' && cmp -s '$x/LICENSE' '$src/LICENSE'"
    check "$bits zip: an $arch DLL with the 21 exports" \
      bash -c "'$repo/tests/windows/check_dll.sh' '$x/$name.dll' $arch >'$work/check-$bits.log'"
    local rc
    rc=$($arch-w64-mingw32-windres -i "$x/$name.dll" -O rc 2>&1)
    local line
    for line in "FILEVERSION $major, $minor, $patch, 0" \
      "VALUE \"ProductName\", \"KMV410 ExtIO plug-in\"" \
      "VALUE \"FileVersion\", \"$version\"" \
      "VALUE \"ProductVersion\", \"$version+$hash\"" \
      "VALUE \"Comments\", \"git $hash\""; do
      check "$bits DLL resource: $line" grep -qF -- "$line" <<<"$rc"
    done
  done
  check "SHA256SUMS names the two zips" \
    [ "$(awk '{print $2}' "$out/SHA256SUMS" | sort | tr '\n' ' ')" = \
      "$name-$version-win32.zip $name-$version-win64.zip " ]
  check "SHA256SUMS verifies" bash -c "cd '$out' && sha256sum --quiet -c SHA256SUMS"
}

# With the guide, no images folder.
mkdir -p "$src/docs"
printf '# User guide (placeholder of the package test)\n' >"$src/docs/user-guide.md"
hash=$(commit)
start=$(date +%s)
package "$work/first.log"
status=$?
echo "first package: $(($(date +%s) - start)) s"
check "packages with the guide" [ $status -eq 0 ]
[ $status -eq 0 ] || cat "$work/first.log"
check_zips "$hash" "$name.dll LICENSE user-guide.md "

# An images folder and a new commit: the reused build folders take the new hash.
mkdir -p "$src/docs/images"
printf 'not really a picture\n' >"$src/docs/images/panel.png"
hash2=$(commit)
start=$(date +%s)
package "$work/second.log"
status=$?
echo "second package, build folders reused: $(($(date +%s) - start)) s"
check "packages again" [ $status -eq 0 ]
[ $status -eq 0 ] || cat "$work/second.log"
check "the new commit has a hash of its own" [ "$hash2" != "$hash" ]
check_zips "$hash2" "$name.dll LICENSE images/panel.png user-guide.md "

# Outside a git checkout of its own, the hash is "unknown" (even inside another repository).
nogit=$work/nogit
rm -rf "$nogit" && mkdir -p "$nogit"
cmake -DSOURCE_DIR="$nogit" -DOUTPUT="$nogit/v.h" -DVERSION="$version" \
  -P "$repo/cmake/version.cmake" >/dev/null 2>&1
check "no checkout of its own: the hash is unknown" \
  grep -qF "#define KMV_PRODUCT_VERSION_STRING \"$version+unknown\"" "$nogit/v.h"

[ $fails -eq 0 ] && echo "all passed" || echo "$fails failed"
[ $fails -eq 0 ]
