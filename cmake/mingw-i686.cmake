# Cross-compiling for 32-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-i686). PLOVANE_MINGW_THREADS picks the compiler's thread
# model: win32 (default; what the DLL is built with, needing no pthread
# runtime) or posix (GoogleTest needs std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLOVANE_MINGW_THREADS)
if(NOT PLOVANE_MINGW_THREADS)
  set(PLOVANE_MINGW_THREADS win32)
endif()

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${PLOVANE_MINGW_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${PLOVANE_MINGW_THREADS})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs the Windows programs through Wine.
find_program(PLOVANE_WINE wine)
if(PLOVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PLOVANE_WINE})
endif()
