# Cross-compiles for 64-bit Windows with the MinGW-w64 GCC of a Debian or Ubuntu host
# (packages g++-mingw-w64-x86-64 and libz-mingw-w64-dev).
#
#   cmake -S . -B out/windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-x86_64.cmake \
#         -DQV_WINDOWS_CORE_ONLY=ON
#   cmake -S . -B out/windows-qt -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-x86_64.cmake \
#         -DQV_QT_PREFIX=$HOME/.cache/qv310-isp/qt-5.15.8-mingw-w64-x86_64-...
#
# Without Qt (QV_QT_PREFIX unset) programs are linked statically (libgcc, libstdc++, winpthread,
# zlib), so a single .exe runs on any Windows 10 or later without MinGW's DLLs beside it.
# With QV_QT_PREFIX (a Qt for Windows built with these compilers, scripts/build-windows.sh) the
# programs load the C++ runtime from libstdc++-6.dll, libgcc_s_seh-1.dll and libwinpthread-1.dll,
# as the Qt DLLs do: one C++ runtime in the process.
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

# Passed on to the small projects CMake builds to check the compiler.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QV_QT_PREFIX)

# find_package(Qt5) looks inside the find roots only: the Qt prefix must be one of them, or Qt is
# searched for under the MinGW sysroot and not found.
set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_TRIPLET})
if(QV_QT_PREFIX)
    list(APPEND CMAKE_FIND_ROOT_PATH ${QV_QT_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT QV_QT_PREFIX)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()

# Lets CMake and ctest run the Windows programs here when Wine is installed.
find_program(QV_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QV_WINE64)
    find_program(QV_WINE64 NAMES wine64 wine)
endif()
if(QV_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QV_WINE64})
endif()
