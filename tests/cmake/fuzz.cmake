# What the fuzzers found, as tests of the behaviour that was fixed. The fuzz targets themselves
# (fuzz/targets.cmake) are clang's: scripts/fuzz.sh, part of the test command, starts each run
# with every seed and every input kept from a finding (fuzz/corpus/<target>/).
cardlink_test(fuzz_findings_test fuzz_findings_test.cpp)
