# The Windows installer and zip, built with everything else:
#   BUILD/package/Cardlink-<version>-win64-setup.exe   NSIS, installs into Program Files\Cardlink
#   BUILD/package/Cardlink-<version>-win64.zip         the same files in a folder Cardlink
# Both hold the programs (stripped of their debugging information), the libraries, README.txt and
# the kit for programs that use the library in sdk\; never a RAM boot-loader image.
find_program(CARDLINK_MAKENSIS makensis REQUIRED)

set(package_dir ${CMAKE_BINARY_DIR}/package)
set(stage ${package_dir}/Cardlink)
set(setup ${package_dir}/Cardlink-${PROJECT_VERSION}-win64-setup.exe)
set(zip ${package_dir}/Cardlink-${PROJECT_VERSION}-win64.zip)
set(kit ${CARDLINK_WINDOWS_BIN}/cardlink.h ${CARDLINK_WINDOWS_BIN}/cardlink_export.h ${CARDLINK_WINDOWS_BIN}/Cardlink.def
        $<TARGET_LINKER_FILE:Cardlink>)
set(strip_copy ${CMAKE_STRIP} --strip-all -o)

add_custom_command(OUTPUT ${setup} ${zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${setup} ${zip}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/sdk
  COMMAND ${strip_copy} ${stage}/Cardflash.exe $<TARGET_FILE:Cardflash_window>
  COMMAND ${strip_copy} ${stage}/Cardflash.com $<TARGET_FILE:Cardflash_console>
  COMMAND ${strip_copy} ${stage}/Cardlink.dll $<TARGET_FILE:Cardlink>
  COMMAND ${strip_copy} ${stage}/hidapi.dll $<TARGET_FILE:hidapi>
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/README.txt ${stage}/
  COMMAND ${CMAKE_COMMAND} -E copy ${kit} ${stage}/sdk/
  COMMAND ${CARDLINK_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${stage} -DOUTFILE=${setup}
    ${CMAKE_CURRENT_LIST_DIR}/cardlink.nsi
  COMMAND ${CMAKE_COMMAND} -E chdir ${package_dir} ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip Cardlink
  DEPENDS Cardflash_window Cardflash_console Cardlink hidapi ${CMAKE_CURRENT_LIST_DIR}/cardlink.nsi
    ${CMAKE_CURRENT_LIST_DIR}/README.txt
  COMMENT "Packing the Windows installer and zip"
  VERBATIM)
add_custom_target(windows_packages ALL DEPENDS ${setup} ${zip})
set(CARDLINK_WINDOWS_SETUP ${setup})
set(CARDLINK_WINDOWS_ZIP ${zip})
