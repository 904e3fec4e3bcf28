# TI-TXT reader of the updater. The cross-check runs Debian's srec_cat (package srecord, installed by
# scripts/setup.sh) and skips itself when it is missing.
if(NOT TARGET cardflash_engine AND NOT TARGET titxt_reader_only)
  # Without the updater (-DCARDLINK_BUILD_UPDATER=OFF) the reader is built on its own for the tests.
  find_package(Boost 1.71 REQUIRED)
  add_library(titxt_reader_only STATIC ${PROJECT_SOURCE_DIR}/updater/titxt_reader.cpp)
  target_include_directories(titxt_reader_only PUBLIC ${PROJECT_SOURCE_DIR}/updater)
  target_link_libraries(titxt_reader_only PUBLIC Boost::headers)
endif()

cardlink_test(titxt_reader_test titxt_reader_test.cpp)
target_link_libraries(titxt_reader_test PRIVATE $<IF:$<TARGET_EXISTS:cardflash_engine>,cardflash_engine,titxt_reader_only>)
