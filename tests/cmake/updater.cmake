# The updater's engine: boot-loader packets, the update sequence, the headless front end.
if(NOT TARGET cardflash_engine)
  return()  # built without the updater
endif()
set(SAMPLE_DATA_DIR ${PROJECT_SOURCE_DIR}/sim/data)

cardlink_test(bsl_client_test bsl_client_test.cpp)
target_link_libraries(bsl_client_test PRIVATE cardflash_engine)

cardlink_test(update_sequence_test update_sequence_test.cpp)
target_link_libraries(update_sequence_test PRIVATE cardflash_engine)
target_compile_definitions(update_sequence_test PRIVATE SAMPLE_DATA_DIR="${SAMPLE_DATA_DIR}")

if(TARGET Cardflash)
  cardlink_test(headless_test headless_test.cpp)
  target_compile_definitions(headless_test PRIVATE SAMPLE_DATA_DIR="${SAMPLE_DATA_DIR}"
    CARDFLASH_PATH="$<TARGET_FILE:Cardflash>" CARDFLASH_DIR="$<TARGET_FILE_DIR:Cardflash>")
  add_dependencies(headless_test Cardflash cardsim_bus)
endif()
