// What fuzzing found (scripts/fuzz.sh), kept as tests of the fixed behaviour. Each test names
// the target and the input. (Findings of the fuzz targets that still exist are kept as inputs in
// fuzz/corpus/<target>/ instead, which every fuzz run replays first: fuzz_card_replies' report of
// 0 bytes, which the bus copied from a null pointer, is empty_and_long_reports.bin.)
#include <gtest/gtest.h>

#include <string>

#include "virtual_bus.h"

namespace {

using namespace std::chrono_literals;

// Seen while writing fuzz_devices_text and confirmed by its input "card latency=9999999999999999"
// (UBSan): the milliseconds were converted to microseconds with a signed overflow. Delays now
// stop at a day; beyond it the item is refused.
TEST(CardsimDevicesDelays, AcceptedUpToADayAndRefusedBeyond) {
  for (const std::string key : {"latency", "isp_delay", "restart_delay"}) {
    SCOPED_TRACE(key);
    std::string error;
    auto day = cardsim::parse_bus_setup("card " + key + "=86400000", &error);
    ASSERT_TRUE(day) << error;
    const cardsim::BoardSettings& b = day->devices.at(0).board;
    EXPECT_EQ(key == "latency" ? b.reply_latency : key == "isp_delay" ? b.isp_delay : b.restart_delay, 24h);
    for (const std::string value : {"86400001", "9999999999999999", "9223372036854775807"}) {
      EXPECT_FALSE(cardsim::parse_bus_setup("card " + key + "=" + value, &error)) << value;
      EXPECT_EQ(error, key + "=" + value + ": milliseconds expected");
    }
  }
}

}  // namespace
