# The updater's engine: boot-loader packets, the update sequence, the headless front end.
if(NOT TARGET cardflash_engine)
  return()  # built without the updater
endif()
set(SAMPLE_DATA_DIR ${PROJECT_SOURCE_DIR}/sim/data)

cardlink_test(bsl_client_test bsl_client_test.cpp)
link_virtual_time(bsl_client_test cardflash_engine cardlink_core)

cardlink_test(update_sequence_test update_sequence_test.cpp)
link_virtual_time(update_sequence_test cardflash_engine cardlink_core)
target_compile_definitions(update_sequence_test PRIVATE SAMPLE_DATA_DIR="${SAMPLE_DATA_DIR}")

