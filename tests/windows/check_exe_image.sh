#!/bin/sh
# check_exe_image.sh <objdump> <program.exe>
# Fails unless the image is a console (CUI) executable, not a DLL, that imports only from DLLs
# every Windows installation has, so that it runs on a server without installing a runtime.
set -u
objdump=$1
image=$2
. "$(dirname "$0")/pe_image.sh"

require_subsystem 3 "the console"
[ $is_dll = no ] || problem "image is a DLL (characteristics 0x$characteristics)"

[ -n "$imports" ] || problem "imports nothing"
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll|ntdll.dll|advapi32.dll|msvcrt.dll|user32.dll) ;;
    *) problem "imports from $dll, which Windows does not ship" ;;
  esac
done

[ $fail -eq 0 ] && echo "$image: console program, imports $(echo $imports)"
exit $fail
