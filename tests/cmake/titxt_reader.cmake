# TI-TXT reader of the updater. The cross-check runs Debian's srec_cat (package srecord, installed by
# scripts/setup.sh) and skips itself when it is missing.
cardlink_test(titxt_reader_test titxt_reader_test.cpp)
target_link_libraries(titxt_reader_test PRIVATE titxt_reader)
