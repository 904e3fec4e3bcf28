// Boot-loader packets as they leave through the card library's transport.
#include <gtest/gtest.h>

#include <functional>

#include "bsl_client.h"
#include "support/bytes.h"
#include "support/update_fixture.h"
#include "virtual_bus.h"

using namespace cardflash;
using namespace testsupport;
namespace bus = cardsim::bus;

namespace {

// A 64-byte report: its head, then 0xAC to the end.
Bytes report(const Bytes& head) {
  Bytes b = head;
  b.resize(64, 0xAC);
  return b;
}

FirmwareImage image_of(std::initializer_list<std::pair<std::uint32_t, int>> segments) {
  FirmwareImage image;
  std::uint8_t value = 0;
  for (auto [address, count] : segments) {
    ImageSegment s{address, count, {}};
    for (int i = 0; i < count; ++i) s.bytes.push_back(value++);
    image.append(std::move(s));
  }
  return image;
}

// A context connected to a boot loader (device 0 is the card, device 1 a board in its boot loader).
class BslClientTest : public ::testing::Test {
 protected:
  void SetUp() override { Connect(""); }
  // A fresh bus whose boot loader has these device-text keys, connected.
  void Connect(const std::string& bsl_keys) {
    if (context_) Tav_Close(context_);
    bus::reset();
    ASSERT_TRUE(bus::configure("card; bsl " + bsl_keys));
    context_ = Tav_Init();
    ASSERT_NE(context_, nullptr);
    ASSERT_TRUE(Tav_EnumBootDev(context_));
    ASSERT_TRUE(Tav_BslConnect(context_));
    bus::clear_wire();
  }
  void TearDown() override {
    Tav_Close(context_);
    EXPECT_EQ(bus::open_handles(), 0);
  }
  std::vector<Bytes> Sent() {
    std::vector<Bytes> out;
    for (auto& w : bus::writes())
      if (w.path == bus::path(1)) out.push_back(w.bytes);
    return out;
  }
  CardContext* context_ = nullptr;
};

TEST_F(BslClientTest, Reports) {
  Bytes data48(48);
  for (int i = 0; i < 48; ++i) data48[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 5);
  const std::uint8_t reset[] = {0xA5, 0x06}, one = 0x11;
  const BslPassword password = WrongPassword();
  // Address bits above 24 are dropped.
  const std::vector<std::pair<std::function<bool()>, Bytes>> table = {
      {[&] { return BslLoadPc(context_, 0x2504); }, {0x3F, 0x04, 0x17, 0x04, 0x25, 0x00}},
      {[&] { return BslLoadPc(context_, 0xFF002504u); }, {0x3F, 0x04, 0x17, 0x04, 0x25, 0x00}},
      {[&] { return BslWriteBlock(context_, 0x0120, reset, 2); }, {0x3F, 0x06, 0x1B, 0x20, 0x01, 0x00, 0xA5, 0x06}},
      {[&] { return BslWriteBlock(context_, 0xAB012345u, &one, 1); }, {0x3F, 0x05, 0x1B, 0x45, 0x23, 0x01, 0x11}},
      {[&] { return BslWriteBlock(context_, 0x012345, data48.data(), 48); },
       concat({{0x3F, 0x34, 0x1B, 0x45, 0x23, 0x01}, data48})},
      {[&] { return BslSendPassword(context_, password), true; },
       concat({{0x3F, 0x21, 0x11}, Bytes(password.begin(), password.end())})},
  };
  for (const auto& [call, head] : table) {
    bus::clear_wire();
    EXPECT_TRUE(call());
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_BYTES(report(head), Sent()[0]);
  }
}

// The mass erase's first password is one that no programmed device has (its reset vector, bytes
// 30 and 31, always holds an even address); the second is the erased device's. How they are sent
// and the erase's pauses are the scenarios' (the board erases at the first and unlocks at the
// second, or the update fails).
TEST(BslPasswords, WrongAndErased) {
  EXPECT_EQ(WrongPassword()[30] & 1, 1);
  const BslPassword erased = ErasedDevicePassword();
  EXPECT_BYTES(Bytes(32, 0xFF), Bytes(erased.begin(), erased.end()));
}

// A reply of the other kind, left by an earlier command, is not taken for the one awaited.
TEST_F(BslClientTest, RepliesOfTheOtherKindArePassedOver) {
  VirtualClock clock;
  ASSERT_TRUE(BslSendPassword(context_, WrongPassword()));
  bus::advance(std::chrono::milliseconds(100));
  EXPECT_EQ(BslAwaitReply(context_, clock, 50, BslReplyKind::kData), std::nullopt) << "0x3B 05 is a message";
  EXPECT_EQ(clock.pauses, std::vector<int>(5, 10));
  ASSERT_TRUE(BslSendPassword(context_, WrongPassword()));
  bus::advance(std::chrono::milliseconds(100));
  EXPECT_EQ(BslAwaitReply(context_, clock, 0, BslReplyKind::kMessage), (std::vector<std::uint8_t>{0x3B, 0x05}));
}

// Each segment in blocks of at most 48 bytes, the data running on across its blocks; segments are
// never joined, empty ones send nothing.
TEST_F(BslClientTest, ImagesGoOutInBlocksOfAtMost48Bytes) {
  using Blocks = std::vector<std::pair<std::uint32_t, int>>;
  const std::vector<std::pair<FirmwareImage, Blocks>> table = {
      {image_of({{0x4400, 100}, {0x5000, 48}, {0x6000, 49}, {0x7000, 0}}),
       {{0x4400, 48}, {0x4430, 48}, {0x4460, 4}, {0x5000, 48}, {0x6000, 48}, {0x6030, 1}}},
      {image_of({{0x4400, 40}, {0x4428, 40}}), {{0x4400, 40}, {0x4428, 40}}},
      {FirmwareImage{}, {}},
  };
  for (const auto& [image, blocks] : table) {
    bus::clear_wire();
    BslDownloadImage(context_, image);
    Blocks sent;
    std::vector<std::uint8_t> data;
    for (const Bytes& r : Sent()) {
      ASSERT_EQ(r.size(), 64u);
      EXPECT_EQ(r[2], 0x1B);
      sent.push_back({static_cast<std::uint32_t>(r[3] | r[4] << 8 | r[5] << 16), r[1] - 4});
      data.insert(data.end(), r.begin() + 6, r.begin() + 6 + (r[1] - 4));
      EXPECT_EQ(r[static_cast<std::size_t>(r[1]) + 2], 0xAC) << "filler after the data";
    }
    EXPECT_EQ(sent, blocks);
    std::vector<std::uint8_t> expected;
    for (const ImageSegment& s : image) expected.insert(expected.end(), s.bytes.begin(), s.bytes.end());
    EXPECT_EQ(data, expected);
  }
}

TEST_F(BslClientTest, WritesThatFail) {
  const std::uint8_t byte = 0;
  Bytes data(59, 0x55);
  EXPECT_FALSE(BslWriteBlock(context_, 0x2500, data.data(), 59)) << "larger than a report";
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(BslWriteBlock(context_, 0x2500, data.data(), 58));
  // Anything but the whole report as hidraw or Windows' HID class counts it (64 or 63) is a
  // failure: two bytes fewer or more, -1, and no connection at all.
  for (const std::function<void()>& fault :
       std::vector<std::function<void()>>{[] { bus::set_write_result_offset(1, -2); },
                                          [] { bus::set_write_result_offset(1, +2); },
                                          [] { bus::set_write_result_offset(1, 0), bus::set_faults(1, false, true, false); },
                                          [this] { bus::set_faults(1, false, false, false), Tav_BslClose(context_), bus::clear_wire(); }}) {
    fault();
    EXPECT_FALSE(BslWriteBlock(context_, 0x2500, &byte, 1));
    EXPECT_FALSE(BslLoadPc(context_, 0x2504));
  }
  EXPECT_TRUE(Sent().empty()) << "nothing goes out without a connection";
}

}  // namespace
