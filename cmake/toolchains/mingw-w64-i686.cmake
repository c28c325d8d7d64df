# Cross build for 32-bit Windows with Debian's mingw-w64 compilers. The
# -posix variants are the ones whose libstdc++ has std::thread and
# std::mutex; -static keeps libstdc++, libgcc and winpthread inside each
# binary, so tavrin.dll and the programs need no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TAVRIN_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${TAVRIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVRIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVRIN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# BOTH: the GoogleTest built for this toolchain lives in the build tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# No emulator: this machine's Wine is 64-bit only, so a 32-bit build is
# compiled and linked but its tests are not run (nor discovered).
