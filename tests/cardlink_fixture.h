// Shared pieces of the Cardlink tests: a fixture that starts every test on an empty virtual bus
// and checks at its end that no device handle is left open, a context guard that closes through
// Tav_Close, and helpers for the bytes on the wire and the lines on standard output.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cardlink.h"
#include "support/bytes.h"
#include "virtual_bus.h"

namespace cardlink_test {

namespace bus = cardsim::bus;
using testsupport::Bytes;

struct ContextCloser {
  void operator()(CardContext* context) const { EXPECT_TRUE(Tav_Close(context)); }
};
using Context = std::unique_ptr<CardContext, ContextCloser>;

// The request report of a command text as the channel writes it: 0x3F, length, text.
Bytes request(const std::string& text);
// The reports the host wrote to the device at `path`, in order.
std::vector<Bytes> writes_to(const std::string& path);
// What `body` printed on standard output (failures reported inside `body` are shown on
// standard error).
std::string stdout_of(const std::function<void()>& body);

// No device handle open now, except `allowed` (the boot-loader connection).
#define EXPECT_HANDLES(allowed) EXPECT_EQ(::cardsim::bus::open_handles(), (allowed)) << "device handles open"

class CardlinkTest : public ::testing::Test {
 protected:
  void SetUp() override { bus::reset(); }
  void TearDown() override { EXPECT_HANDLES(0); }
  // Puts the devices of a CARDSIM_DEVICES text on the bus and runs Tav_Init, which must print
  // nothing and leave no handle open.
  Context init(const std::string& devices);
};

}  // namespace cardlink_test
