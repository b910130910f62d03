# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX threads
# flavour, packages g++-mingw-w64-x86-64-posix). tools/windows-tests.sh uses
# it for the Qt-free core:
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64.cmake -DMIRDAL_CORE_ONLY=ON
# Programs are linked statically, so that they need none of MinGW's DLLs;
# CTest runs them under Wine (wine64) when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MIRDAL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MIRDAL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MIRDAL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MIRDAL_MINGW_TRIPLET}-windres)

# Headers and libraries from the MinGW tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MIRDAL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

find_program(MIRDAL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(MIRDAL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRDAL_WINE})
endif()
