# Tests of the card library Cardlink. The exports' behaviour is tested in-process on
# cardlink_core and virtual time; the programs about the built library link libCardlink.so and
# the virtual bus (cardsim_bus, SONAME libhidapi-hidraw.so.0), so that Cardlink's dependency on
# Debian's hidapi is met by the simulator at run time.

# The exports against the virtual bus.
set(cardlink_test_sources cardlink_fixture.cpp cardlink_context_test.cpp cardlink_serial_test.cpp cardlink_boot_test.cpp
  cardlink_threads_test.cpp)
add_executable(cardlink_test ${cardlink_test_sources})
target_link_libraries(cardlink_test PRIVATE testsupport GTest::gtest_main cardsim_bus)
link_virtual_time(cardlink_test cardlink_core)
gtest_discover_tests(cardlink_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
# card_context.h for white-box looks at the context (boot_count, boot_device, the rows' paths);
# the code under test is still reached through the exports only.
target_include_directories(cardlink_test PRIVATE ${PROJECT_SOURCE_DIR}/library)

# The built library: its exports and dependencies.
cardlink_test(cardlink_export_test cardlink_export_test.cpp)
add_dependencies(cardlink_export_test Cardlink)
find_program(CARDLINK_READELF NAMES readelf REQUIRED)
target_compile_definitions(cardlink_export_test PRIVATE
  CARDLINK_LIBRARY="$<TARGET_FILE:Cardlink>"
  NM_PATH="${CMAKE_NM}"
  READELF_PATH="${CARDLINK_READELF}")

# The HID layer's one start per process needs a program of its own.
cardlink_test(cardlink_init_test cardlink_init_test.cpp)
link_virtual_time(cardlink_init_test cardlink_core)
