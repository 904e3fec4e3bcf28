# The simulated boot loaders and the board's mode changes. The tests read the sample images of sim/data with the
# updater's TI-TXT reader.
if(NOT TARGET cardflash_engine AND NOT TARGET titxt_reader_only)
  # Without the updater (-DCARDLINK_BUILD_UPDATER=OFF) the reader is built on its own for the tests.
  find_package(Boost 1.71 REQUIRED)
  add_library(titxt_reader_only STATIC ${PROJECT_SOURCE_DIR}/updater/titxt_reader.cpp)
  target_include_directories(titxt_reader_only PUBLIC ${PROJECT_SOURCE_DIR}/updater)
  target_link_libraries(titxt_reader_only PUBLIC Boost::headers)
endif()

cardlink_test(boot_loader_model_test boot_loader_model_test.cpp)
target_link_libraries(boot_loader_model_test PRIVATE
  $<IF:$<TARGET_EXISTS:cardflash_engine>,cardflash_engine,titxt_reader_only>)
target_compile_definitions(boot_loader_model_test PRIVATE CARDSIM_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")
