# Cross build for 64-bit Windows with the Debian mingw-w64 toolchain (posix thread variant).
# Used by the "windows" preset: kernel drivers (.sys) and the user-mode installer DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VORKA_MINGW_TRIPLE x86_64-w64-mingw32)

# Prefer the explicit posix variant: when both variants are installed, the plain names may point
# at the win32 one.
find_program(CMAKE_C_COMPILER NAMES ${VORKA_MINGW_TRIPLE}-gcc-posix ${VORKA_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VORKA_MINGW_TRIPLE}-g++-posix ${VORKA_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VORKA_MINGW_TRIPLE}-windres REQUIRED)
find_program(VORKA_MINGW_WINDMC NAMES ${VORKA_MINGW_TRIPLE}-windmc REQUIRED)
find_program(VORKA_MINGW_WINDRES NAMES ${VORKA_MINGW_TRIPLE}-windres REQUIRED)
find_program(VORKA_MINGW_DLLTOOL NAMES ${VORKA_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(VORKA_MINGW_OBJDUMP NAMES ${VORKA_MINGW_TRIPLE}-objdump REQUIRED)
# Sources that use structured exception handling (__try/__except) are compiled with clang,
# which emits real x64 scope tables; g++ rejects the syntax.
find_program(VORKA_SEH_CXX_COMPILER NAMES clang++-14 clang++)

set(CMAKE_FIND_ROOT_PATH /usr/${VORKA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's own headers: the SDK in include/, the kernel headers (wdm.h, ntddk.h, ...) in include/ddk.
set(VORKA_MINGW_INCLUDE_DIR /usr/${VORKA_MINGW_TRIPLE}/include)
set(VORKA_MINGW_DDK_INCLUDE_DIR /usr/${VORKA_MINGW_TRIPLE}/include/ddk)
