// Cardlink, linked to Debian's libhidapi-hidraw, driven through its exports by a C program
// against boards shown as umockdev hidraw nodes.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hidraw_bus.h"
#include "support/run_program.h"

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

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char byte[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", bytes[i]);
    out += byte;
  }
  return out;
}

TEST(HidrawCardlink, InitReadsEveryCardIdAndTheFirstCardsIdentity) {
  Played p = client("card id=3 fw=0102 boot=0005 usb_pid=0042; card id=5; card id=7 fw=0200", {"identity"});
  auto& bus = p.bus;
  EXPECT_EQ(p.run.out,
            "cards=3 ids=3 5 7 -1 -1 -1 -1 -1\n"
            "first card: ok vendor=2933 product=0042 id=3 fw=0102 boot=0005\n"
            "open=0\n");
  // Priming read and card-id query per card; the identity goes to the first card only.
  EXPECT_EQ(bus->board(0).commands(), (std::vector<std::string>{kCardId, kCardId, kCardId, kVersion}));
  EXPECT_EQ(bus->board(1).commands(), (std::vector<std::string>{kCardId, kCardId}));
  EXPECT_EQ(bus->board(2).commands(), (std::vector<std::string>{kCardId, kCardId}));
}

TEST(HidrawCardlink, NoCardGivesNoContext) {
  Played p = client("bsl", {"identity"});
  EXPECT_EQ(p.run.out, "no context; open=0\n");
  EXPECT_EQ(p.bus->opened_total(), 0);
}

TEST(HidrawCardlink, SerialNumberRoundTripOnTheCardWithThatId) {
  const std::string serial = "SN-0042-ABCDEFGH";
  Played p = client("card id=3; card id=5", {"serial", "5", serial});
  auto& bus = p.bus;
  EXPECT_EQ(p.run.out, "write=1\nread=1 \"" + serial + "\"\nopen=0\n");
  const auto& storage = bus->board(1).storage();
  EXPECT_EQ(std::string(storage.begin() + 0x12C, storage.begin() + 0x12C + serial.size()), serial);
  EXPECT_EQ(bus->board(1).commands(),
            (std::vector<std::string>{kCardId, kCardId, kCardId, "21020e0013" "12c" + serial, kCardId,
                                      "21020f000512c10", "a102100020"}));
  EXPECT_EQ(bus->board(0).commands(), (std::vector<std::string>{kCardId, kCardId}));
}

TEST(HidrawCardlink, SwitchThenFindAndTalkToTheBootLoader) {
  Played p = client("card id=3 isp_delay=300", {"isp"});
  auto& bus = p.bus;
  EXPECT_EQ(p.run.out,
            "switch=1\n"
            "Board 3 Error Access!!\n"
            "first card: failed vendor=2933 product=0001 id=3 fw=- boot=-\n"
            "boot loader found=1\n"
            "connect=1\n"
            "connect again=0\n"
            "open while connected=1\n"
            "write 65=-1\n"
            "write 1=-1\n"
            "write=64\n"
            "read=1 count=0\n"
            "open=0\n");
  std::vector<std::uint8_t> report(64, 0xAC);
  const std::uint8_t head[] = {0x3F, 0x06, 0x1B, 0x00, 0x25, 0x00, 0x12, 0x34};
  std::copy(std::begin(head), std::end(head), report.begin());
  EXPECT_EQ(bus->board(0).commands(),
            (std::vector<std::string>{kCardId, kCardId, kCardId, "2102040004ISPE\n", hex_of(report)}));
  std::vector<std::string> events;
  for (const auto& e : bus->events()) events.push_back((e.added ? "+" : "-") + e.devnode);
  EXPECT_EQ(events, (std::vector<std::string>{"+/dev/hidraw0", "-/dev/hidraw0", "+/dev/hidraw0"}));
  EXPECT_EQ(bus->path(0), "/dev/hidraw0");
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

// The program's lines without its count of open device descriptors, which only hidraw nodes have.
std::string without_descriptor_counts(const std::string& out) {
  std::string kept, line;
  for (std::size_t at = 0; at < out.size(); at += line.size()) {
    line = out.substr(at, out.find('\n', at) == std::string::npos ? std::string::npos : out.find('\n', at) - at + 1);
    if (line.rfind("open", 0) != 0) kept += line;
  }
  return kept;
}

// The same C program with the virtual bus loaded in place of Debian's hidapi prints the same.
TEST(HidrawCardlink, BothBackEndsPrintTheSame) {
  struct Case {
    std::string devices;
    std::vector<std::string> args;
  };
  for (const Case& c : std::vector<Case>{{"card id=3 fw=0102 usb_pid=0042; card id=5; card id=7", {"identity"}},
                                         {"card id=3 fault=silent", {"identity"}},
                                         {"card id=3; card id=5", {"serial", "5", "0123456789abcdefGHIJKLMNOPQRSTUV"}},
                                         {"card id=3 isp_delay=300", {"isp"}}}) {
    testsupport::ProgramResult virtual_run =
        testsupport::run_program(CARDLINK_CLIENT_PATH, c.args, testsupport::virtual_bus_env(c.devices));
    Played hidraw_run = client(c.devices, c.args);
    EXPECT_EQ(without_descriptor_counts(hidraw_run.run.out), without_descriptor_counts(virtual_run.out))
        << c.devices << " " << c.args[0];
  }
}

}  // namespace
