# Cross-compiling for Windows with MinGW-w64 (Debian's g++-mingw-w64-*).
# PLOVANE_MINGW_ARCH: i686 (default; the 32-bit DLL the player loads) or
# x86_64 (a 64-bit build of the same sources, for running the end-to-end
# tests where 32-bit programs cannot run). PLOVANE_MINGW_THREADS picks the
# compiler's thread model: win32 (default; what the DLL is built with,
# needing no pthread runtime) or posix (GoogleTest needs std::mutex).
set(CMAKE_SYSTEM_NAME Windows)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLOVANE_MINGW_ARCH PLOVANE_MINGW_THREADS)
if(NOT PLOVANE_MINGW_ARCH)
  set(PLOVANE_MINGW_ARCH i686)
endif()
if(NOT PLOVANE_MINGW_THREADS)
  set(PLOVANE_MINGW_THREADS win32)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${PLOVANE_MINGW_ARCH})
set(triple ${PLOVANE_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${triple}-gcc-${PLOVANE_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${triple}-g++-${PLOVANE_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs the Windows programs through Wine: its 64-bit loader for a
# 64-bit build (the wine command picks the 32-bit one when both exist).
if(PLOVANE_MINGW_ARCH STREQUAL "x86_64")
  find_program(PLOVANE_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
  find_program(PLOVANE_WINE wine)
endif()
if(PLOVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PLOVANE_WINE})
endif()
