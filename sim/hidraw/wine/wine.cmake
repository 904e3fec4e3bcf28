# The Windows side of the hidraw harness under wine (HidrawBus::run_wine): a test-only hidapi.dll,
# hidapi's Windows back end with hidapi-wine.patch, which works around what wine 8 lacks, and
# hid_ready.exe beside it. Never shipped: the shipped hidapi.dll is built from the unchanged file
# (windows/windows.cmake).
set(HIDAPI_WINE_DIR ${CMAKE_BINARY_DIR}/hidapi-wine)
add_custom_command(OUTPUT ${HIDAPI_WINE_DIR}/windows/hid.c
  COMMAND ${CMAKE_COMMAND} -E copy ${CARDLINK_HIDAPI_SOURCE}/windows/hid.c ${HIDAPI_WINE_DIR}/windows/hid.c
  COMMAND patch --quiet --fuzz=0 --no-backup-if-mismatch -d ${HIDAPI_WINE_DIR} -p1 -i ${CMAKE_CURRENT_LIST_DIR}/hidapi-wine.patch
  DEPENDS ${CARDLINK_HIDAPI_SOURCE}/windows/hid.c ${CMAKE_CURRENT_LIST_DIR}/hidapi-wine.patch
  COMMENT "hidapi's windows/hid.c with hidapi-wine.patch")
add_library(hidapi_wine SHARED ${HIDAPI_WINE_DIR}/windows/hid.c)
target_include_directories(hidapi_wine PRIVATE ${CARDLINK_HIDAPI_SOURCE}/hidapi ${CARDLINK_HIDAPI_SOURCE}/windows)
target_compile_options(hidapi_wine PRIVATE -w)  # as the shipped one
target_link_libraries(hidapi_wine PRIVATE setupapi)
set_target_properties(hidapi_wine PROPERTIES OUTPUT_NAME hidapi PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${HIDAPI_WINE_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${HIDAPI_WINE_DIR}/lib)

add_executable(hid_ready ${CMAKE_CURRENT_LIST_DIR}/hid_ready.c)
target_link_libraries(hid_ready PRIVATE hidapi_wine hidapi_headers)
set_target_properties(hid_ready PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${HIDAPI_WINE_DIR})
