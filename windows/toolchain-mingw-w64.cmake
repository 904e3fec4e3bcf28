# Cross build for Windows x86_64 with Debian's mingw-w64 (scripts/build-windows.sh passes this file
# and the folders it prepared). The posix compilers: the win32 thread model of GCC 12 has no
# std::mutex or std::thread. Everything links statically, so that no libstdc++-6.dll,
# libgcc_s_seh-1.dll or libwinpthread-1.dll has to ship beside the programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Libraries, headers and CMake packages come from the mingw sysroot and from the build's own
# folder of Windows dependencies (GoogleTest, the links to the header-only Boost and CLI11), never
# from the host: its headers are glibc's, and its pkg-config files name Linux libraries.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(CARDLINK_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${CARDLINK_WINDOWS_DEPS}/prefix ${CARDLINK_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/x86_64-w64-mingw32/lib/pkgconfig)

# Test programs run under wine, in a prefix of the build's own that the build script makes before
# the build (test discovery runs the programs while building).
if(NOT CARDLINK_WINEPREFIX)
  set(CARDLINK_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEPREFIX=${CARDLINK_WINEPREFIX} WINEDEBUG=-all wine)
