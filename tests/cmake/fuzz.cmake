# The fuzz targets (fuzz/) built with the project's own compiler and a plain driver that replays
# the seed corpora, so that every seed and every input kept from a finding (fuzz/corpus/<target>/)
# runs in the normal and the sanitizer build. The fuzzing itself needs clang: scripts/fuzz.sh.
set(fuzz_dir ${PROJECT_SOURCE_DIR}/fuzz)
function(fuzz_replay target)
  add_executable(fuzz_replay_${target} ${fuzz_dir}/replay_main.cpp ${ARGN})
  add_test(NAME fuzz_replay_${target} COMMAND fuzz_replay_${target} ${fuzz_dir}/corpus/${target})
  set_tests_properties(fuzz_replay_${target} PROPERTIES
    PASS_REGULAR_EXPRESSION "inputs replayed" FAIL_REGULAR_EXPRESSION "broken promise|runtime error" TIMEOUT 120)
endfunction()

fuzz_replay(titxt_reader ${fuzz_dir}/titxt_reader_fuzz.cpp)
target_link_libraries(fuzz_replay_titxt_reader PRIVATE
  $<IF:$<TARGET_EXISTS:cardflash_engine>,cardflash_engine,titxt_reader_only>)

# libCardlink.so's calls of usleep go to no_sleep.cpp's definition in the program.
fuzz_replay(card_replies ${fuzz_dir}/card_replies_fuzz.cpp ${fuzz_dir}/no_sleep.cpp)
target_link_libraries(fuzz_replay_card_replies PRIVATE Cardlink::Cardlink cardsim_bus)

fuzz_replay(cardlink_bus ${fuzz_dir}/cardlink_bus_fuzz.cpp ${fuzz_dir}/no_sleep.cpp)
target_link_libraries(fuzz_replay_cardlink_bus PRIVATE Cardlink::Cardlink cardsim_bus)

fuzz_replay(devices_text ${fuzz_dir}/devices_text_fuzz.cpp)
target_link_libraries(fuzz_replay_devices_text PRIVATE cardsim_bus)

# What the fuzzers found, as tests of the behaviour that was fixed.
cardlink_test(fuzz_findings_test fuzz_findings_test.cpp)
