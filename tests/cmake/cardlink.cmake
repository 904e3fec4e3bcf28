# Tests of the card library Cardlink. The exports' behaviour is tested in-process on
# cardlink_core and virtual time; the programs about the built library link libCardlink.so and
# the virtual bus (cardsim_bus, SONAME libhidapi-hidraw.so.0), so that Cardlink's dependency on
# Debian's hidapi is met by the simulator at run time (cardlink_export_test checks that it is).

# The exports against the virtual bus.
set(cardlink_test_sources cardlink_fixture.cpp cardlink_context_test.cpp cardlink_serial_test.cpp cardlink_boot_test.cpp)
add_executable(cardlink_test ${cardlink_test_sources})
target_link_libraries(cardlink_test PRIVATE testsupport GTest::gtest_main cardsim_bus)
link_virtual_time(cardlink_test cardlink_core)
# SilentCardIsCountedWithCardIdZero still measures the silent card's cost on the wall clock; it
# runs against the shipped library in real time until it checks the pauses instead.
set(wall_clock_cases CardlinkTest.SilentCardIsCountedWithCardIdZero)
gtest_discover_tests(cardlink_test TEST_FILTER -${wall_clock_cases} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
add_executable(cardlink_wall_clock_test ${cardlink_test_sources})
target_link_libraries(cardlink_wall_clock_test PRIVATE testsupport GTest::gtest_main cardsim_bus Cardlink::Cardlink)
target_include_directories(cardlink_wall_clock_test PRIVATE ${PROJECT_SOURCE_DIR}/library)
gtest_discover_tests(cardlink_wall_clock_test TEST_FILTER ${wall_clock_cases} TEST_PREFIX wall_clock.
  DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
# card_context.h for white-box looks at the context (boot_count, boot_device, the rows' paths);
# the code under test is still reached through the exports only.
target_include_directories(cardlink_test PRIVATE ${PROJECT_SOURCE_DIR}/library)

# The built library: exports, dependencies, and where hidapi resolves at run time.
cardlink_test(cardlink_export_test cardlink_export_test.cpp)
target_link_libraries(cardlink_export_test PRIVATE Cardlink::Cardlink ${CMAKE_DL_LIBS})
find_program(CARDLINK_READELF NAMES readelf REQUIRED)
target_compile_definitions(cardlink_export_test PRIVATE
  CARDLINK_LIBRARY="$<TARGET_FILE:Cardlink>"
  NM_PATH="${CMAKE_NM}"
  READELF_PATH="${CARDLINK_READELF}")

# The HID layer's one start per process needs a program of its own.
cardlink_test(cardlink_init_test cardlink_init_test.cpp)
link_virtual_time(cardlink_init_test cardlink_core)

# How long Tav_Init of the built library takes with one and with three simulated cards, in real
# time (prints the figures).
cardlink_test(cardlink_timing_test cardlink_timing_test.cpp)
target_link_libraries(cardlink_timing_test PRIVATE Cardlink::Cardlink)

# A C program that includes the public header and links the library.
add_executable(cardlink_c_test cardlink_c_test.c)
set_target_properties(cardlink_c_test PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(cardlink_c_test PRIVATE -pedantic)
target_link_libraries(cardlink_c_test PRIVATE Cardlink::Cardlink cardsim_bus)
# The program calls no hid_ function itself: without this, --as-needed (the toolchain's default)
# drops the virtual bus and Cardlink's hidapi dependency loads Debian's real hidapi instead.
target_link_options(cardlink_c_test PRIVATE "LINKER:--no-as-needed")
add_test(NAME cardlink_c_test COMMAND cardlink_c_test)
set_tests_properties(cardlink_c_test PROPERTIES
  ENVIRONMENT "CARDSIM_DEVICES=card id=3 fw=0102 boot=0005 usb_pid=0042\\;card id=A"
  PASS_REGULAR_EXPRESSION "all checks passed"
  TIMEOUT 60)
