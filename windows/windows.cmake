# The Windows build (scripts/build-windows.sh BUILD): Cardlink.dll, Cardflash.com and hidapi.dll,
# built by mingw-w64 with windows/toolchain-mingw-w64.cmake, and their tests under wine. Included
# by the top level in place of the pkg-config search for Debian's hidapi.
if(NOT MINGW OR NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  message(FATAL_ERROR "The Windows build is made with x86_64 mingw-w64: scripts/build-windows.sh BUILD")
endif()
if(CARDLINK_BUILD_FUZZERS)
  message(FATAL_ERROR "The fuzzers run on Linux only (scripts/fuzz.sh)")
endif()
# The umockdev harness serves Linux hidraw nodes.
set(CARDLINK_HIDRAW_HARNESS OFF CACHE BOOL "" FORCE)

set(CARDLINK_WINDOWS_DEPS "" CACHE PATH "Windows dependencies that scripts/build-windows.sh prepares")
set(CARDLINK_HIDAPI_SOURCE "" CACHE PATH "hidapi 0.13.1's source (Debian's source package)")
if(NOT EXISTS "${CARDLINK_HIDAPI_SOURCE}/windows/hid.c" OR NOT EXISTS "${CARDLINK_WINDOWS_DEPS}/include")
  message(FATAL_ERROR "CARDLINK_HIDAPI_SOURCE and CARDLINK_WINDOWS_DEPS are prepared by scripts/build-windows.sh")
endif()
# Header-only Boost and CLI11, through a folder that holds only the links to them: all of
# /usr/include would bring glibc's headers into the cross build.
include_directories(SYSTEM ${CARDLINK_WINDOWS_DEPS}/include)

# What ships goes to BUILD/bin, where the programs find their DLLs.
set(CARDLINK_WINDOWS_BIN ${CMAKE_BINARY_DIR}/bin)

# hidapi.dll: hidapi's Windows back end from its source. Its header marks the functions
# __declspec(dllexport), so the DLL exports exactly hidapi's API.
add_library(hidapi SHARED ${CARDLINK_HIDAPI_SOURCE}/windows/hid.c)
target_include_directories(hidapi PUBLIC ${CARDLINK_HIDAPI_SOURCE}/hidapi PRIVATE ${CARDLINK_HIDAPI_SOURCE}/windows)
# hidapi's code is built as it is, without the project's warnings (GCC 12 at -O2 misreads its error
# buffer with -Warray-bounds).
target_compile_options(hidapi PRIVATE -w)
set_target_properties(hidapi PROPERTIES
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CARDLINK_WINDOWS_BIN}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/hidapi)
set(HIDAPI_INCLUDE_DIRS ${CARDLINK_HIDAPI_SOURCE}/hidapi)

# The installer and the zip of what ships.
if(CARDLINK_BUILD_UPDATER)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging.cmake)
endif()
