# The scenario suite (scenarios.cpp) in-process on the virtual bus and virtual time: cardtool's
# and Cardflash's front ends linked with the library's logic. The hidraw harness plays the same scenarios with the shipped programs
# (hidraw.cmake). Beside it, what only a whole program shows: Cardflash without a display.
if(NOT TARGET cardflash_engine)
  return()
endif()

add_library(scenario_support STATIC scenarios.cpp support/scenario.cpp)
target_link_libraries(scenario_support PUBLIC testsupport cardflash_engine cardsim_models)
target_compile_definitions(scenario_support PUBLIC SAMPLE_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")

cardlink_test(scenario_test scenario_test.cpp support/scenario_host_posix.cpp)
link_virtual_time(scenario_test scenario_support cardtool_core cardflash_engine cardlink_core)

if(TARGET Cardflash)
  cardlink_test(program_test program_test.cpp)
  target_compile_definitions(program_test PRIVATE CARDFLASH_PATH="$<TARGET_FILE:Cardflash>"
                                                 SAMPLE_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")
  add_dependencies(program_test Cardflash cardsim_bus cardsim_udev)

  # Every card at once, in real time: the cards' threads as they run in the shipped program.
  find_package(nlohmann_json 3.11 REQUIRED)
  cardlink_test(all_cards_test all_cards_test.cpp)
  target_link_libraries(all_cards_test PRIVATE nlohmann_json::nlohmann_json)
  target_compile_definitions(all_cards_test PRIVATE CARDFLASH_PATH="$<TARGET_FILE:Cardflash>"
                                                   SAMPLE_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")
  add_dependencies(all_cards_test Cardflash cardsim_bus cardsim_udev)
endif()
