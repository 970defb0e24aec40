#!/bin/sh
# check_user_image.sh <objdump> <image> <dll|exe> [EXPORT...]
# Fails unless the user-mode image is a console (CUI) image of the right kind that imports only
# Windows system DLLs (and, for the front ends, the package's own Installer.dll), and exports
# every named function undecorated.
set -u
objdump=$1
image=$2
kind=$3
shift 3
fail=0
problem() { echo "$image: $*" >&2; fail=1; }

[ -f "$image" ] || { echo "$image: missing" >&2; exit 1; }
headers=$("$objdump" -p "$image") || { echo "$image: objdump failed" >&2; exit 1; }

echo "$headers" | grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' ||
  problem "subsystem is not the console (3): $(echo "$headers" | grep '^Subsystem')"

characteristics=$(echo "$headers" | sed -n 's/^Characteristics[[:space:]]*0x\([0-9a-fA-F]*\).*/\1/p' | head -n 1)
is_dll=no
if [ -n "$characteristics" ] && [ $(( 0x$characteristics & 0x2000 )) -ne 0 ]; then
  is_dll=yes
fi
case $kind in
  dll) [ $is_dll = yes ] || problem "not a DLL" ;;
  exe) [ $is_dll = no ] || problem "is a DLL, expected a program" ;;
esac

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll|user32.dll|advapi32.dll|setupapi.dll|cfgmgr32.dll|newdev.dll|shlwapi.dll|msvcrt.dll) ;;
    installer.dll) [ "$kind" = exe ] || problem "imports from $dll" ;;
    *) problem "imports from $dll (not a Windows system DLL)" ;;
  esac
done

for name in "$@"; do
  echo "$headers" | grep -Eq "^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+$name\$" ||
    problem "does not export $name"
done

[ $fail -eq 0 ] && echo "$image: $kind, imports $(echo $imports)"
exit $fail
