#!/bin/sh
# Checks a plug-in DLL from its PE tables: it exports exactly the 21 host names and the 5
# optional extensions, undecorated, and imports only DLLs that every Windows system has (the
# runtime is linked in statically); with ARCH (i686 or x86_64), also that it is built for that
# machine. Needs no Wine.
# Usage: check_dll.sh DLL [ARCH]
set -eu
dll=$1
arch=${2:-}
objdump=x86_64-w64-mingw32-objdump   # reads 32- and 64-bit PE files
dump=$($objdump -p "$dll")

expected="CloseHW ExtIoSDRInfo GetActualAttIdx GetAttenuators GetHWLO GetHWLO64 GetHWSR GetStatus
HideGUI InitHW OpenHW SetAttenuators SetCallback SetHWLO SetHWLO64 ShowGUI StartHW StartHW64
StopHW TuneChanged VersionInfo"
extensions="ExtIoGetActualSrateIdx ExtIoGetBandwidth ExtIoGetFreqRanges ExtIoGetSrates
ExtIoSetSrate"
expected=$(printf '%s\n' $expected $extensions | sort)

# Export names: the lines after "[Ordinal/Name Pointer] Table" up to the next blank line.
exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on&&/^$/{on=0} on{print $NF}' | sort)
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}')

status=0
case $arch in
"") ;;
i686) format=pei-i386 ;;
x86_64) format=pei-x86-64 ;;
*) echo "check_dll.sh: unknown ARCH '$arch'" >&2; exit 2 ;;
esac
if [ -n "$arch" ]; then
  if printf '%s\n' "$dump" | grep -q "file format $format\$"; then
    echo "ok: $arch PE file ($format)"
  else
    echo "FAIL: not a $arch PE file: $(printf '%s\n' "$dump" | grep -m1 'file format')"
    status=1
  fi
fi
if [ "$exports" != "$expected" ]; then
  echo "FAIL: exports differ from the 21 names and the 5 extensions"
  printf '%s\n' "$exports" >"${TMPDIR:-/tmp}/check_dll.$$"
  printf '%s\n' "$expected" | diff - "${TMPDIR:-/tmp}/check_dll.$$" | sed 's/^/  /' || true
  rm -f "${TMPDIR:-/tmp}/check_dll.$$"
  status=1
else
  echo "ok: exports are exactly the 21 names and the 5 extensions"
fi

system="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll ws2_32.dll advapi32.dll
shell32.dll ole32.dll oleaut32.dll msvcrt.dll ntdll.dll shlwapi.dll uxtheme.dll winmm.dll"
for dllname in $imports; do
  lower=$(printf '%s' "$dllname" | tr 'A-Z' 'a-z')
  case " $(echo $system) " in
    *" $lower "*) ;;
    *) echo "FAIL: imports $dllname, not a system DLL"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "ok: imports only system DLLs:" $imports
exit $status
