// Runs the hidraw end-to-end tests, or reports them skipped (77) where umockdev cannot run.
#include <gtest/gtest.h>

#include <cstdio>

#include "hidraw_bus.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) {
    const std::string reason = cardsim::hidraw::unavailable_reason();
    if (!reason.empty()) {
      std::printf("skipped: umockdev cannot run here: %s\n", reason.c_str());
      return 77;
    }
  }
  return RUN_ALL_TESTS();
}
