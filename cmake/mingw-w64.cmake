# Cross-building for 64-bit Windows on Debian with MinGW-w64 (package
# g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# When Wine is installed, tests and other built programs run through it, so
# that ctest works on the cross build as on a native one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KALDO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KALDO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KALDO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KALDO_MINGW_TRIPLE}-windres)

# Headers and libraries from the MinGW tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KALDO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 keeps its launcher outside PATH.
find_program(KALDO_WINE NAMES wine64 wine
  PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine NO_CMAKE_FIND_ROOT_PATH)
if(KALDO_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KALDO_WINE})
endif()
