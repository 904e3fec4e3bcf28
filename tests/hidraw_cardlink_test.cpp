// Cardlink, linked to Debian's libhidapi-hidraw, driven through its exports by a C program on
// umockdev hidraw nodes, for what only this back end can do: a card that leaves the bus in the
// middle of an exchange (the exports' other transcripts are the scenario suite's).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hidraw_bus.h"

using cardsim::hidraw::HidrawBus;
using cardsim::hidraw::Played;
using cardsim::hidraw::play;
using namespace std::chrono_literals;

namespace {

const std::string kCardId = "a102010004", kVersion = "a100010008";

// The C program on these devices; it must end by itself with status 0 and nothing on stderr.
Played client(const std::string& devices, const std::vector<std::string>& args,
              std::function<void(HidrawBus&)> prepare = {}) {
  Played p = play({devices, CARDLINK_CLIENT_PATH, args, {}, 60s, std::move(prepare)});
  EXPECT_EQ(p.run.signal, 0) << p.run.err;
  EXPECT_EQ(p.run.exit_status, 0) << p.run.err;
  EXPECT_EQ(p.run.err, "");
  return p;
}

TEST(HidrawCardlink, CardUnpluggedDuringTheIdentityQuery) {
  Played p = client("card id=3", {"unplugged"}, [](HidrawBus& bus) { bus.unplug_after(0, kVersion); });
  auto& bus = p.bus;
  EXPECT_EQ(p.run.out,
            "first card: failed vendor=2933 product=0001 id=3 fw=- boot=-\n"
            "open=0\n"
            "Board 3 Error Access!!\n"
            "switch=0\n"
            "open=0\n");
  EXPECT_EQ(bus->board(0).commands(), (std::vector<std::string>{kCardId, kCardId, kCardId, kVersion}));
}

}  // namespace
