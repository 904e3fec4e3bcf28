# The fuzz targets (fuzz/targets.cmake) built with the project's own compiler and a plain driver
# that replays the seed corpora, so that every seed and every input kept from a finding
# (fuzz/corpus/<target>/) runs in the normal and the sanitizer build. The fuzzing itself needs
# clang: scripts/fuzz.sh.
function(cardlink_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  add_executable(fuzz_replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp ${arg_SOURCES})
  target_link_libraries(fuzz_replay_${name} PRIVATE ${arg_LIBRARIES})
  add_test(NAME fuzz_replay_${name} COMMAND fuzz_replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(fuzz_replay_${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "inputs replayed" FAIL_REGULAR_EXPRESSION "broken promise|runtime error" TIMEOUT 120)
endfunction()

include(${PROJECT_SOURCE_DIR}/fuzz/targets.cmake)

# What the fuzzers found, as tests of the behaviour that was fixed.
cardlink_test(fuzz_findings_test fuzz_findings_test.cpp)
