# Cardlink: the card library, a shared library whose only exports are the Tav_ functions of
# cardlink.h (the thirteen of the card library, Tav_InitForRecovery and Tav_GetLastFailure). Built from the command
# channel in its library flavour (cardlink_channel: kLibraryChannel, LibTrace) and linked to
# Debian's hidapi (hidraw back end) and, for the cards' USB ports, libudev.
#
# The library's logic is the static cardlink_core; the .so is that archive whole, plus the
# channel's pauses that really sleep (system_pause.cpp). In-process tests and fuzzers link
# cardlink_core with a pause on virtual time instead (tests/support/virtual_pause.cpp).
#
# Exports are kept to those in three ways: the library's own code is compiled with hidden
# visibility (cardlink.h marks the exports with CARDLINK_API from the generated cardlink_export.h),
# the static channel's symbols are excluded from export (--exclude-libs), and the version script
# cardlink.map makes everything but those names local. tests/cardlink_export_test checks
# the result with nm -D.
#
# In the Windows build the library is Cardlink.dll, linked to the hidapi.dll built from hidapi's
# source; Cardlink.def lists its exports and tests/windows/dll_check.sh checks them with objdump.
add_library(cardlink_core STATIC
  card_context.cpp
  serial_number.cpp
  boot_loader.cpp
  exports.cpp)
target_link_libraries(cardlink_core PUBLIC cardlink_channel cardlink_headers)
set_target_properties(cardlink_core PROPERTIES
  C_VISIBILITY_PRESET hidden
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

if(WIN32)
  # Cardlink.dll: its exports are those of Cardlink.def; its pauses are Sleep's.
  add_library(Cardlink SHARED system_pause_windows.cpp Cardlink.def)
else()
  add_library(Cardlink SHARED system_pause.cpp)
endif()
add_library(Cardlink::Cardlink ALIAS Cardlink)

# Consumers see cardlink.h and its export macro only, not the library's internal headers beside
# it. The generated header is plain C, like cardlink.h.
set(cardlink_public ${CMAKE_CURRENT_BINARY_DIR}/public)
configure_file(cardlink.h ${cardlink_public}/cardlink.h COPYONLY)
include(GenerateExportHeader)
generate_export_header(Cardlink
  BASE_NAME CARDLINK
  EXPORT_MACRO_NAME CARDLINK_API
  INCLUDE_GUARD_NAME CARDLINK_EXPORT_H
  EXPORT_FILE_NAME ${cardlink_public}/cardlink_export.h)
target_include_directories(Cardlink
  PUBLIC
    $<BUILD_INTERFACE:${cardlink_public}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR})
# The public header alone, for code that calls the exports and leaves the choice of
# implementation (the .so, or cardlink_core in tests) to the program that links it.
add_library(cardlink_headers INTERFACE)
target_include_directories(cardlink_headers INTERFACE $<BUILD_INTERFACE:${cardlink_public}>)

if(WIN32)
  # Within this build cardlink.h declares the exports plainly (CARDLINK_STATIC_DEFINE): the DLL
  # exports what Cardlink.def lists, and the engine reaches them through the import library. A
  # program built against the kit in bin/ sees them as __declspec(dllimport).
  target_compile_definitions(cardlink_headers INTERFACE CARDLINK_STATIC_DEFINE)
  target_link_libraries(Cardlink PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,cardlink_core> cardlink_channel hidapi)
  # The kit beside the DLL: the mingw import library, the .def (from which a Visual C++ user
  # makes a .lib), cardlink.h and the export header.
  set_target_properties(Cardlink PROPERTIES
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CARDLINK_WINDOWS_BIN}
    ARCHIVE_OUTPUT_DIRECTORY ${CARDLINK_WINDOWS_BIN})
  foreach(file ${CMAKE_CURRENT_SOURCE_DIR}/Cardlink.def ${CMAKE_CURRENT_SOURCE_DIR}/cardlink.h
               ${cardlink_public}/cardlink_export.h)
    get_filename_component(name ${file} NAME)
    configure_file(${file} ${CARDLINK_WINDOWS_BIN}/${name} COPYONLY)
  endforeach()
  return()
endif()

target_link_libraries(Cardlink PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,cardlink_core> cardlink_channel PkgConfig::HIDAPI
                                       PkgConfig::LIBUDEV)

set(cardlink_version_script ${CMAKE_CURRENT_SOURCE_DIR}/cardlink.map)
target_link_options(Cardlink PRIVATE
  "LINKER:--version-script=${cardlink_version_script}"
  "LINKER:--exclude-libs,libcardlink_channel.a")
# clang links the sanitizer runtime into executables only: in the fuzz build the library's
# sanitizer and coverage calls are resolved by the fuzz program that loads it.
if(NOT CARDLINK_BUILD_FUZZERS)
  target_link_options(Cardlink PRIVATE "LINKER:--no-undefined")
endif()
set_target_properties(Cardlink PROPERTIES
  OUTPUT_NAME Cardlink
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  C_VISIBILITY_PRESET hidden
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${cardlink_version_script}
  PUBLIC_HEADER "cardlink.h;${cardlink_public}/cardlink_export.h")

install(TARGETS Cardlink EXPORT CardlinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
# (The export set CardlinkTargets is installed by packaging/packaging.cmake.)
