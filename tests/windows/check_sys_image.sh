#!/bin/sh
# check_sys_image.sh <objdump> <image.sys> [messages|no-messages]
# Fails unless the image is a native-subsystem executable (not a DLL) that imports only from the
# kernel and the HAL and carries base relocations; with "messages" (the default) it must also have
# a message table resource (type 11).
set -u
objdump=$1
image=$2
messages=${3:-messages}
. "$(dirname "$0")/pe_image.sh"

require_subsystem 1 native
[ -n "$characteristics" ] || problem "no file header characteristics"
[ $is_dll = no ] || problem "image is a DLL (characteristics 0x$characteristics)"

[ -n "$imports" ] || problem "imports nothing (a driver needs ntoskrnl.exe)"
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    ntoskrnl.exe|hal.dll) ;;
    *) problem "imports from $dll" ;;
  esac
done

# Data directory entry 5: "Entry 5 <rva> <size> Base Relocation Directory [.reloc]".
reloc_size=$(echo "$headers" | awk '/^Entry 5 / { print $4; exit }')
case ${reloc_size:-0} in
  ""|0|00000000) problem "no base relocations (Windows relocates every driver)" ;;
esac

# Resource directory: a type entry with ID 11 (RT_MESSAGETABLE) at the top level.
has_messages=no
if echo "$headers" | grep -Eiq 'Entry: ID: 0x0*b\b'; then
  has_messages=yes
fi
if [ "$messages" = messages ] && [ $has_messages = no ]; then
  problem "no RT_MESSAGETABLE (type 11) resource"
fi

[ $fail -eq 0 ] && echo "$image: native driver image, imports $(echo $imports), relocations $reloc_size bytes, message table: $has_messages"
exit $fail
