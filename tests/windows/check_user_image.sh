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
. "$(dirname "$0")/pe_image.sh"

require_subsystem 3 "the console"
case $kind in
  dll) [ $is_dll = yes ] || problem "not a DLL" ;;
  exe) [ $is_dll = no ] || problem "is a DLL, expected a program" ;;
esac

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
