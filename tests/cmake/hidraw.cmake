# End-to-end runs of the shipped programs, linked to Debian's real hidapi, against the simulated
# boards shown as umockdev hidraw nodes. Not built where umockdev is missing; a test exits 77
# (skipped) when umockdev cannot run on the machine.
if(NOT TARGET cardsim_hidraw)
  return()
endif()

# Testbeds live here, so that one left behind by a crash is found and removed with the build.
set(HIDRAW_TMPDIR ${CMAKE_BINARY_DIR}/hidraw-tmp)
file(MAKE_DIRECTORY ${HIDRAW_TMPDIR})

# Plain open/read/write/close on the nodes, for the checks of the kernel's node rules.
add_executable(hidraw_node_probe hidraw_node_probe.c)

add_executable(hidraw_e2e_test hidraw_main.cpp hidraw_cardtool_test.cpp hidraw_node_test.cpp)
target_link_libraries(hidraw_e2e_test PRIVATE cardsim_hidraw testsupport GTest::gtest)
target_compile_definitions(hidraw_e2e_test PRIVATE CARDTOOL_PATH="$<TARGET_FILE:cardtool>"
  NODE_PROBE_PATH="$<TARGET_FILE:hidraw_node_probe>")
add_dependencies(hidraw_e2e_test cardtool cardsim_bus hidraw_node_probe)

if(TARGET Cardlink)
  # A C program that uses nothing but the library's exports, as a customer's program would.
  add_executable(hidraw_cardlink_client hidraw_cardlink_client.c)
  target_link_libraries(hidraw_cardlink_client PRIVATE Cardlink)
  target_sources(hidraw_e2e_test PRIVATE hidraw_cardlink_test.cpp)
  target_compile_definitions(hidraw_e2e_test PRIVATE CARDLINK_CLIENT_PATH="$<TARGET_FILE:hidraw_cardlink_client>")
  add_dependencies(hidraw_e2e_test hidraw_cardlink_client)
endif()

if(TARGET Cardflash)
  target_sources(hidraw_e2e_test PRIVATE hidraw_cardflash_test.cpp hidraw_access_test.cpp)
  target_link_libraries(hidraw_e2e_test PRIVATE cardflash_engine)
  target_compile_definitions(hidraw_e2e_test PRIVATE CARDFLASH_PATH="$<TARGET_FILE:Cardflash>"
    SAMPLE_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")
  add_dependencies(hidraw_e2e_test Cardflash)
endif()

gtest_discover_tests(hidraw_e2e_test DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 ENVIRONMENT "TMPDIR=${HIDRAW_TMPDIR}" LABELS hidraw)
