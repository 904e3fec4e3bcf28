# Installation extras and the Debian package: udev rule, manual pages, pkg-config file, CMake
# package configuration of Cardlink, and CPack's DEB generator. Included by the top level after
# the programs and the library are defined; the install rules of the programs and of the library
# itself live beside them.
include(CMakePackageConfigHelpers)

# udev reads its packaged rules from /usr/lib/udev/rules.d: always lib, never the multiarch
# library directory.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/udev/70-cardlink.rules
        DESTINATION lib/udev/rules.d COMPONENT Runtime)

# Cardflash looks for TI's RAM boot-loader image in /usr/share/cardlink (among other places); the
# image is not ours to ship, so the folder comes empty but for a README that says what goes there.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/share/README DESTINATION ${CMAKE_INSTALL_DATADIR}/cardlink COMPONENT Runtime)

# Manual pages compressed as Debian installs them (gzip -n: no name or time stamp, so the
# package is reproducible).
find_program(CARDLINK_GZIP NAMES gzip REQUIRED)
set(cardlink_man_pages)
foreach(page cardtool.1 Cardflash.1)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  set(packed ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CARDLINK_GZIP} -9n -c ${source} > ${packed}
    DEPENDS ${source} VERBATIM)
  list(APPEND cardlink_man_pages ${packed})
endforeach()
add_custom_target(cardlink_man_pages ALL DEPENDS ${cardlink_man_pages})
install(FILES ${cardlink_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)

if(TARGET Cardlink)
  # pkg-config file, relocatable: the prefix is found from the file's own place, so the same
  # file serves /usr, /usr/local and a staging directory.
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH CARDLINK_PC_TO_PREFIX /root/${pc_dir} /root)
  string(REGEX REPLACE "/$" "" CARDLINK_PC_TO_PREFIX "${CARDLINK_PC_TO_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/cardlink.pc.in ${CMAKE_CURRENT_BINARY_DIR}/cardlink.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cardlink.pc DESTINATION ${pc_dir} COMPONENT Development)

  # find_package(Cardlink) gives Cardlink::Cardlink. The export set is filled by the library's
  # install(TARGETS ... EXPORT CardlinkTargets) in library/cardlink.cmake.
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Cardlink)
  install(EXPORT CardlinkTargets NAMESPACE Cardlink:: DESTINATION ${cmake_dir} COMPONENT Development)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/cmake/CardlinkConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/CardlinkConfig.cmake INSTALL_DESTINATION ${cmake_dir})
  # The exports keep their meaning within a SOVERSION.
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/CardlinkConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/CardlinkConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/CardlinkConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT Development)
endif()

# One Debian package, "cardlink", with the programs, the library, its development files, the
# udev rule and the manual pages. Its dependencies come from dpkg-shlibdeps, so they are the
# Debian package names of the libraries the binaries really load.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cardlink)
set(CPACK_PACKAGE_VENDOR "Cardlink developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "card controller service tools: cardtool, Cardflash and libCardlink")
# Debian wants the long description in lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
  "Lists the card controllers (USB HID, vendor id 0x2933) with their firmware
and boot-loader versions, switches a controller into its MSP430 USB boot
loader and updates its firmware from a TI-TXT file. Includes the shared
library libCardlink with its C header, pkg-config file and CMake package
configuration, and a udev rule that gives the user at the seat access to
the devices.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CARDLINK_DEB_MAINTAINER "Cardlink developers <cardlink@localhost>" CACHE STRING "Maintainer field of the .deb")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CARDLINK_DEB_MAINTAINER}")
# The package carries stripped binaries; the build tree keeps the debugging information.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libCardlink.so.1 is in the package itself: dpkg-shlibdeps must not look for another package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/library)
# A shlibs file for libCardlink.so.1, so that packages built against it depend on this one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The simulator and the tests install nothing, so the whole install is the package.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
include(CPack)
