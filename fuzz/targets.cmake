# The fuzz targets: one list for two kinds of program. fuzz/CMakeLists.txt builds them as libFuzzer
# programs (CARDLINK_BUILD_FUZZERS, fuzz_<name>); tests/cmake/fuzz.cmake builds them with a driver
# that replays the seed corpora (fuzz_replay_<name>). Each includer defines
# cardlink_fuzz_target(NAME SOURCES ... LIBRARIES ...) for its kind.
#   titxt_reader   the updater's TI-TXT reader on arbitrary file contents
#   card_replies   Cardlink's exports with a simulated card that answers with arbitrary reports
#   cardlink_bus   Cardlink's exports on a virtual bus built from an arbitrary CARDSIM_DEVICES text
#   devices_text   the virtual bus's CARDSIM_DEVICES parser, and the bus it builds
set(fuzz_dir ${CMAKE_CURRENT_LIST_DIR})

cardlink_fuzz_target(titxt_reader
  SOURCES ${fuzz_dir}/titxt_reader_fuzz.cpp
  LIBRARIES $<IF:$<TARGET_EXISTS:cardflash_engine>,cardflash_engine,titxt_reader_only>)

# The library's logic (cardlink_core) with the channel's pauses on virtual time: a pause moves the
# virtual bus's clock and returns at once, so the simulated card sees the time the real channel
# would have waited and a run is not capped at a few inputs a second.
set(virtual_pause ${PROJECT_SOURCE_DIR}/tests/support/virtual_pause.cpp)

cardlink_fuzz_target(card_replies
  SOURCES ${fuzz_dir}/card_replies_fuzz.cpp ${virtual_pause}
  LIBRARIES cardlink_core cardsim_bus)

cardlink_fuzz_target(cardlink_bus
  SOURCES ${fuzz_dir}/cardlink_bus_fuzz.cpp ${virtual_pause}
  LIBRARIES cardlink_core cardsim_bus)

cardlink_fuzz_target(devices_text
  SOURCES ${fuzz_dir}/devices_text_fuzz.cpp
  LIBRARIES cardsim_bus)
