# Cross-builds the Windows program with MinGW-w64 (x86_64, posix threads) on a
# Linux host and runs its tests under Wine:
#   cmake --preset windows-mingw
# The runtime (libgcc, libstdc++, winpthread) is linked statically, so
# telemetry-relay.exe needs no DLL beyond those that come with Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# MinGW's default printf family is msvcrt.dll's, which rounds "%.2f" ties
# away from zero (90.125 -> "90.13") and spells infinity "1.#INF". MinGW's own
# C99 implementation rounds exactly like glibc (90.125 -> "90.12"), so the
# wire bytes are the same on both platforms.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# CTest runs every test program through Wine, in a throwaway prefix that
# belongs to this build directory.
set(CMAKE_CROSSCOMPILING_EMULATOR
    env "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
