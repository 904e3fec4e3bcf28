// What fuzzing found (scripts/fuzz.sh), kept as tests of the fixed behaviour. Each test names
// the target and the input.
#include <gtest/gtest.h>
#include <hidapi.h>

#include <optional>
#include <string>

#include "virtual_bus.h"

namespace {

namespace bus = cardsim::bus;
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

// fuzz_card_replies, a report of 0 bytes from the reply source: the bus copied from the empty
// report's null data pointer. hidraw never delivers an empty report, so the card model reads it
// as "no report waits"; the bus still cuts a report longer than the host's buffer.
TEST(CardReplySource, EmptyReportIsNoReportAndLongReportIsCut) {
  bus::reset();
  std::optional<cardsim::Report> next;  // the one report the card sends next
  cardsim::BoardSettings settings;
  settings.reply_source = [&next](cardsim::SimTime) {
    std::optional<cardsim::Report> r = std::move(next);
    next.reset();
    return r;
  };
  bus::add_card(settings);
  ASSERT_EQ(hid_init(), 0);
  hid_device* device = hid_open_path(bus::path(0).c_str());
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(hid_set_nonblocking(device, 1), 0);

  unsigned char buffer[64] = {};
  for (const auto& [report, size] : std::vector<std::pair<std::optional<cardsim::Report>, int>>{
           {cardsim::Report{}, 0}, {std::nullopt, 0}, {cardsim::Report(65, 0x5A), 64}, {cardsim::Report{0x3F, 0x01}, 2}}) {
    next = report;
    EXPECT_EQ(hid_read(device, buffer, sizeof buffer), size);
  }
  EXPECT_EQ(buffer[63], 0x5A);

  hid_close(device);
  EXPECT_EQ(bus::open_handles(), 0);
}

}  // namespace
