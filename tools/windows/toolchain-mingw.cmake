# Cross-building for Windows with Debian's mingw-w64 compilers, posix thread model (GCC 12's win32
# model has no std::condition_variable).
#   -DCMAKE_TOOLCHAIN_FILE=tools/windows/toolchain-mingw.cmake -DMINGW_ARCH=i686|x86_64
#   -DCMAKE_PREFIX_PATH=<Qt prefix built for that architecture>
if(NOT DEFINED MINGW_ARCH)
    set(MINGW_ARCH i686)
endif()
# Try-compile projects run this file again; pass the architecture on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_ARCH})
set(KESTRIVANE_MINGW_TRIPLET ${MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER /usr/bin/${KESTRIVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${KESTRIVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${KESTRIVANE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIVANE_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only 64-bit programs run here (under wine64); 32-bit ones are built and linked only.
if(MINGW_ARCH STREQUAL "x86_64" AND EXISTS /usr/lib/wine/wine64)
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
