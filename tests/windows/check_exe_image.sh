#!/bin/sh
# check_exe_image.sh <objdump> <program.exe>
# Fails unless the image is a console (CUI) executable, not a DLL, that imports only from DLLs
# every Windows installation has, so that it runs on a server without installing a runtime.
set -u
objdump=$1
image=$2
fail=0
problem() { echo "$image: $*" >&2; fail=1; }

[ -f "$image" ] || { echo "$image: missing" >&2; exit 1; }
headers=$("$objdump" -p "$image") || { echo "$image: objdump failed" >&2; exit 1; }

echo "$headers" | grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' ||
  problem "subsystem is not the console (3): $(echo "$headers" | grep '^Subsystem')"

characteristics=$(echo "$headers" | sed -n 's/^Characteristics[[:space:]]*0x\([0-9a-fA-F]*\).*/\1/p' | head -n 1)
if [ -n "$characteristics" ] && [ $(( 0x$characteristics & 0x2000 )) -ne 0 ]; then
  problem "image is a DLL (characteristics 0x$characteristics)"
fi

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
[ -n "$imports" ] || problem "imports nothing"
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll|ntdll.dll|advapi32.dll|msvcrt.dll|user32.dll) ;;
    *) problem "imports from $dll, which Windows does not ship" ;;
  esac
done

[ $fail -eq 0 ] && echo "$image: console program, imports $(echo $imports)"
exit $fail
