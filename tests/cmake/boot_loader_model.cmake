# The simulated boot loaders and the board's mode changes. The tests read the sample images of sim/data with the
# updater's TI-TXT reader.
cardlink_test(boot_loader_model_test boot_loader_model_test.cpp)
target_link_libraries(boot_loader_model_test PRIVATE
  titxt_reader)
target_compile_definitions(boot_loader_model_test PRIVATE CARDSIM_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")
