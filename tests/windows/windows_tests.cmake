# The Windows build's tests. ctest runs the test programs under wine (the toolchain's
# CMAKE_CROSSCOMPILING_EMULATOR) with LC_ALL=C.UTF-8, whatever the machine's locale: wine's ANSI
# code page is then 1252, and its file names reach Linux as UTF-8 (with LC_ALL=C wine cannot
# name a file that is not ASCII). The DLL check reads the built files with mingw's objdump.
function(windows_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE testsupport GTest::gtest_main cardsim_bus)
endfunction()
function(discover_windows_tests name)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${ARGN} PROPERTIES TIMEOUT 300 ENVIRONMENT "LC_ALL=C.UTF-8")
endfunction()

# The virtual bus on both of its personalities.
windows_test(virtual_bus_test virtual_bus_test.cpp)
discover_windows_tests(virtual_bus_test)

# The engine's in-process tests: the TI-TXT reader, through the platform's file functions, and
# the boot-loader packets. The cross-check against srec_cat runs a Linux program and stays there.
windows_test(titxt_reader_test titxt_reader_test.cpp)
target_link_libraries(titxt_reader_test PRIVATE titxt_reader)
discover_windows_tests(titxt_reader_test TEST_FILTER "-TiTxtReaderCrossCheck.*")

windows_test(bsl_client_test bsl_client_test.cpp)
link_virtual_time(bsl_client_test cardflash_engine cardlink_core)
discover_windows_tests(bsl_client_test)

# updater/platform/windows.cpp where the program's runs do not reach.
windows_test(windows_platform_test windows/platform_test.cpp)
link_virtual_time(windows_platform_test cardflash_engine cardlink_core)
discover_windows_tests(windows_platform_test)

add_library(scenario_support STATIC scenarios.cpp support/scenario.cpp)
target_link_libraries(scenario_support PUBLIC testsupport cardflash_engine cardsim_models)
target_compile_definitions(scenario_support PUBLIC SAMPLE_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")

# The scenario suite's Cardflash scenarios in-process on the bus's Windows personality: the
# headless front end with the engine and the library's logic, on virtual time. Nothing lies beside
# the test program: the stand-in RAM boot loader is named on the command line.
windows_test(scenario_test scenario_test.cpp support/scenario_host_windows.cpp)
link_virtual_time(scenario_test scenario_support cardflash_engine cardlink_core)
discover_windows_tests(scenario_test)

# Cardflash.com as shipped, with the virtual bus's hidapi.dll, playing the suite's scenarios; once
# more in a Korean locale.
windows_test(windows_program_test windows/console_program_test.cpp)
link_virtual_time(windows_program_test scenario_support cardflash_engine cardlink_core)
target_compile_definitions(windows_program_test PRIVATE
  TEST_FOLDER="${CMAKE_CURRENT_BINARY_DIR}"
  CARDFLASH_COM="$<TARGET_FILE:Cardflash_console>"
  CARDLINK_DLL="$<TARGET_FILE:Cardlink>"
  SIMBUS_HIDAPI_DLL="$<TARGET_FILE:cardsim_hidapi>")
add_dependencies(windows_program_test Cardflash_console Cardlink cardsim_hidapi)
discover_windows_tests(windows_program_test TEST_FILTER "-SimulatedCardInKorean.*")
add_test(NAME SimulatedCardInKorean.FullWidthSpaceInTheAnsiCodePage
  COMMAND windows_program_test --gtest_filter=SimulatedCardInKorean.*)
set_tests_properties(SimulatedCardInKorean.FullWidthSpaceInTheAnsiCodePage PROPERTIES
  ENVIRONMENT "LC_ALL=ko_KR.UTF-8" TIMEOUT 300)

# What Windows refuses and wine allows: imports that no DLL exports.
add_test(NAME windows_dll_check
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/dll_check.sh ${CMAKE_OBJDUMP} ${CARDLINK_WINDOWS_BIN} ${CMAKE_BINARY_DIR}/simbus
    ${PROJECT_SOURCE_DIR}/library/cardlink.h)
set_tests_properties(windows_dll_check PROPERTIES
  PASS_REGULAR_EXPRESSION "dll check passed" FAIL_REGULAR_EXPRESSION "FAIL:" TIMEOUT 60)

# The test-only hidapi.dll of the harness under wine (sim/hidraw/wine/) differs from the shipped
# one by its patch alone.
add_test(NAME hidapi_wine_check
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/hidapi_wine_check.sh "$<TARGET_PROPERTY:hidapi,SOURCES>"
    "$<FILTER:$<TARGET_PROPERTY:hidapi_wine,SOURCES>,INCLUDE,\\.c$>"  # not the patch step's .rule
    ${PROJECT_SOURCE_DIR}/sim/hidraw/wine/hidapi-wine.patch)
set_tests_properties(hidapi_wine_check PROPERTIES
  PASS_REGULAR_EXPRESSION "hidapi-wine check passed" FAIL_REGULAR_EXPRESSION "FAIL:" TIMEOUT 60)

# The scenarios marked `wine`: Cardflash.com and Cardlink.dll as shipped, beside the test-only
# hidapi.dll, under wine, whose HID stack serves the hidraw harness's nodes, in the prefix
# BUILD/wine-hid that scripts/build-windows.sh makes. The harness is Linux's: the Linux build's
# hidraw_e2e_test plays them, named with -DCARDLINK_HIDRAW_E2E_TEST=PATH (scripts/test.sh names it).
set(CARDLINK_HIDRAW_E2E_TEST "" CACHE FILEPATH "The Linux build's hidraw_e2e_test, for the scenarios under wine")
if(CARDLINK_HIDRAW_E2E_TEST)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/hidraw-tmp)
  add_test(NAME wine_hid_scenarios COMMAND ${CARDLINK_HIDRAW_E2E_TEST} --gtest_filter=Marked/WineScenarios.*)
  set_tests_properties(wine_hid_scenarios PROPERTIES TIMEOUT 300
    ENVIRONMENT "CARDLINK_WINE_BIN=${CARDLINK_WINDOWS_BIN};CARDLINK_WINE_HIDAPI=$<TARGET_FILE_DIR:hidapi_wine>;CARDLINK_WINE_PREFIX=${CMAKE_BINARY_DIR}/wine-hid;TMPDIR=${CMAKE_BINARY_DIR}/hidraw-tmp"
    SKIP_REGULAR_EXPRESSION "umockdev cannot run here" PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 5 tests")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/dialog_tests.cmake)
