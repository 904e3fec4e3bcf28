# The scenario suite's scenarios marked for hidraw, played with the shipped programs linked to
# Debian's real hidapi against the simulated boards shown as umockdev hidraw nodes (each update
# there lasts its 17.5 s of fixed pauses: only a few are marked). Not built where umockdev is
# missing; skipped where umockdev cannot run on the machine.
if(NOT TARGET cardsim_hidraw)
  return()
endif()

# Testbeds live here, so that one left behind by a crash is found and removed with the build.
set(HIDRAW_TMPDIR ${CMAKE_BINARY_DIR}/hidraw-tmp)
file(MAKE_DIRECTORY ${HIDRAW_TMPDIR})

# The harness's own behaviour, with no program under test.
add_executable(hidraw_bus_test hidraw_address_zero_test.cpp)
target_link_libraries(hidraw_bus_test PRIVATE cardsim_hidraw GTest::gtest_main)
gtest_discover_tests(hidraw_bus_test DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 60 SKIP_REGULAR_EXPRESSION "umockdev cannot run here" ENVIRONMENT "TMPDIR=${HIDRAW_TMPDIR}" LABELS hidraw)

if(NOT TARGET Cardlink OR NOT TARGET Cardflash OR NOT TARGET scenario_support)
  return()
endif()

add_executable(hidraw_e2e_test hidraw_scenario_test.cpp hidraw_access_test.cpp)
# The checks read the image with the engine's TI-TXT reader; the engine's archive wants the
# exports, which the shipped library provides as before (listed before the engine's archive on
# the link line, so --as-needed must not drop it).
target_link_libraries(hidraw_e2e_test PRIVATE cardsim_hidraw testsupport GTest::gtest_main scenario_support
                                              Cardlink::Cardlink)
target_link_options(hidraw_e2e_test PRIVATE "LINKER:--no-as-needed")
target_compile_definitions(hidraw_e2e_test PRIVATE CARDTOOL_PATH="$<TARGET_FILE:cardtool>"
  CARDFLASH_PATH="$<TARGET_FILE:Cardflash>")
add_dependencies(hidraw_e2e_test cardtool cardsim_bus Cardflash)

# The scenarios under wine need the Windows build: its tests run them with this program
# (tests/windows/windows_tests.cmake).
gtest_discover_tests(hidraw_e2e_test DISCOVERY_TIMEOUT 60 TEST_FILTER "-Marked/WineScenarios.*"
  PROPERTIES TIMEOUT 120 SKIP_REGULAR_EXPRESSION "umockdev cannot run here" ENVIRONMENT "TMPDIR=${HIDRAW_TMPDIR}" LABELS hidraw)
