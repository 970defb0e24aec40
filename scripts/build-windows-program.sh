#!/bin/sh
# Builds a program written for Windows (C or C++, using windows.h, winioctl.h, ntddscsi.h,
# ntddtape.h, ntddchgr.h) into a program module that the simulator runs in a simulated process:
#   scripts/build-windows-program.sh OUT.so SOURCE... [compiler flags]
# Then: vorkasim SCENARIO --exec OUT.so -- ARGS, or a scenario step {"op": "exec", "program": "OUT.so"}.
# Environment: CC and CXX (default cc and c++); VORKA_BUILD_DIR, the build whose Win32 layer the
# module links against (default build/host).
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 OUT.so SOURCE... [compiler flags]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
shift
sources=""
flags=""
for arg in "$@"; do
    case "$arg" in
        -*) flags="$flags $arg" ;;
        *.c|*.cc|*.cpp|*.cxx) sources="$sources $arg" ;;
        *) flags="$flags $arg" ;;
    esac
done
if [ -z "$sources" ]; then
    echo "$0: no C or C++ source given" >&2
    exit 2
fi
build=${VORKA_BUILD_DIR:-$root/build/host}
lib=$build/lib
if [ ! -e "$lib/libvwin32.so" ]; then
    echo "$0: $lib/libvwin32.so is missing: build the simulator first (cmake --build --preset host)" >&2
    exit 2
fi
cc=${CC:-cc}
cxx=${CXX:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Windows programs see 16-bit wide characters, ANSI generic-text names unless they define UNICODE,
# and only the SDK's headers of the simulator.
common="-fPIC -O1 -g -fshort-wchar -U_FORTIFY_SOURCE -I$root/sim/include/crt -I$root/sim/include"
objects=""
i=0
for source in $sources; do
    i=$((i + 1))
    object=$work/$i.o
    case "$source" in
        *.c) $cc $common -std=gnu17 $flags -c "$source" -o "$object" ;;
        *) $cxx $common -std=c++17 $flags -c "$source" -o "$object" ;;
    esac
    objects="$objects $object"
done
$cxx -fPIC -O2 -std=c++17 -fvisibility=hidden -fno-builtin -c "$root/sim/win32/program/runtime.cpp" -o "$work/runtime.o"
# The C runtime's wide-string functions count 16-bit units, as the program's wchar_t is.
$cc -fPIC -O2 -std=gnu17 -fshort-wchar -U_FORTIFY_SOURCE -fvisibility=hidden -fno-builtin \
    -c "$root/sim/win32/program/crt.c" -o "$work/crt.o"
# The C++ library goes into the module, and every name the module defines (operator new and
# delete among them, which <new> declares visible) binds to its own definition (runtime.cpp).
# The library archive comes before the simulator's libraries: they are C++ too and export the
# template code they use (std::string's among it), and a name the module left to them would bind
# at run time to the simulator's copy, which allocates from the simulator's heap, not the program's.
$cxx -shared -o "$out" "$work/runtime.o" "$work/crt.o" $objects -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL -Wl,-Bsymbolic \
    -Wl,-z,defs -Wl,-Bstatic -lstdc++ -Wl,-Bdynamic -L"$lib" -Wl,-rpath,"$lib" -lvwin32 -lvkernel
