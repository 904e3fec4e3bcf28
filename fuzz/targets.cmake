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

# libCardlink.so's calls of usleep go to no_sleep.cpp's definition in the program.
cardlink_fuzz_target(card_replies
  SOURCES ${fuzz_dir}/card_replies_fuzz.cpp ${fuzz_dir}/no_sleep.cpp
  LIBRARIES Cardlink::Cardlink cardsim_bus)

cardlink_fuzz_target(cardlink_bus
  SOURCES ${fuzz_dir}/cardlink_bus_fuzz.cpp ${fuzz_dir}/no_sleep.cpp
  LIBRARIES Cardlink::Cardlink cardsim_bus)

cardlink_fuzz_target(devices_text
  SOURCES ${fuzz_dir}/devices_text_fuzz.cpp
  LIBRARIES cardsim_bus)
