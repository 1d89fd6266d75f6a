# Cross-compiles for 64-bit Windows with the MinGW-w64 GCC of a Debian or Ubuntu host
# (packages g++-mingw-w64-x86-64 and libz-mingw-w64-dev).
#
#   cmake -S . -B out/windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-x86_64.cmake \
#         -DQV_WINDOWS_CORE_ONLY=ON
#
# Programs are linked statically (libgcc, libstdc++, winpthread, zlib), so a single .exe runs on
# any Windows 10 or later without MinGW's DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QV_MINGW_TRIPLET x86_64-w64-mingw32)

# The posix thread model is the one Qt's MinGW kits use; fall back to whatever the unversioned
# driver points at.
find_program(QV_MINGW_CXX NAMES ${QV_MINGW_TRIPLET}-g++-posix ${QV_MINGW_TRIPLET}-g++ REQUIRED)
find_program(QV_MINGW_CC NAMES ${QV_MINGW_TRIPLET}-gcc-posix ${QV_MINGW_TRIPLET}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${QV_MINGW_CXX})
set(CMAKE_C_COMPILER ${QV_MINGW_CC})
find_program(CMAKE_RC_COMPILER NAMES ${QV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Lets CMake and ctest run the Windows programs here when Wine is installed.
find_program(QV_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QV_WINE64)
    find_program(QV_WINE64 NAMES wine64 wine)
endif()
if(QV_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QV_WINE64})
endif()
