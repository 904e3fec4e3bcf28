# The fuzz targets, built by fuzz/CMakeLists.txt as libFuzzer programs (CARDLINK_BUILD_FUZZERS,
# fuzz_<name>) through its cardlink_fuzz_target(NAME SOURCES ... LIBRARIES ...).
#   titxt_reader   the updater's TI-TXT reader on arbitrary file contents
#   card_replies   Cardlink's exports with simulated cards that answer with arbitrary reports
set(fuzz_dir ${CMAKE_CURRENT_LIST_DIR})

cardlink_fuzz_target(titxt_reader
  SOURCES ${fuzz_dir}/titxt_reader_fuzz.cpp
  LIBRARIES titxt_reader)

# The library's logic (cardlink_core) with the channel's pauses on virtual time: a pause moves the
# virtual bus's clock and returns at once, so the simulated card sees the time the real channel
# would have waited and a run is not capped at a few inputs a second.
set(virtual_pause ${PROJECT_SOURCE_DIR}/tests/support/virtual_pause.cpp)

# fuzz/corpus/card_replies/empty_and_long_reports.bin keeps a finding: a report of 0 bytes, which the
# virtual bus once copied from a null pointer (UBSan), and reports longer than the host's buffer.
cardlink_fuzz_target(card_replies
  SOURCES ${fuzz_dir}/card_replies_fuzz.cpp ${virtual_pause}
  LIBRARIES cardlink_core cardsim_bus cardsim_udev)
