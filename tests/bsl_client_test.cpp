// Boot-loader packets as they leave through the card library's transport.
#include <gtest/gtest.h>

#include "bsl_client.h"
#include "support/bytes.h"
#include "support/update_fixture.h"
#include "virtual_bus.h"

using namespace cardflash;
using namespace testsupport;
namespace bus = cardsim::bus;

namespace {

Bytes filled(std::initializer_list<std::uint8_t> head, std::size_t fill_count) {
  Bytes b(head);
  b.insert(b.end(), fill_count, 0xAC);
  return b;
}

// A context connected to a boot loader (card 0 is the card, device 1 a board in its boot loader).
class BslClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus::reset();
    bus::add_card();
    cardsim::DeviceSetup bsl;
    bsl.board.start_mode = cardsim::Mode::UsbBootLoader;
    bsl_index_ = bus::add(bsl);
    context_ = Tav_Init();
    ASSERT_NE(context_, nullptr);
    ASSERT_TRUE(Tav_EnumBootDev(context_));
    ASSERT_TRUE(Tav_BslConnect(context_));
    bsl_path_ = bus::path(bsl_index_);
    bus::clear_wire();
  }
  void TearDown() override {
    Tav_Close(context_);
    EXPECT_EQ(bus::open_handles(), 0);
  }
  std::vector<Bytes> sent() {
    std::vector<Bytes> out;
    for (auto& w : bus::writes())
      if (w.path == bsl_path_) out.push_back(w.bytes);
    return out;
  }
  CardContext* context_ = nullptr;
  std::size_t bsl_index_ = 0;
  std::string bsl_path_;
};

TEST_F(BslClientTest, WorkedReports) {
  ASSERT_TRUE(BslLoadPc(context_, 0x2504));
  const std::uint8_t reset[] = {0xA5, 0x06};
  ASSERT_TRUE(BslWriteBlock(context_, 0x0120, reset, 2));
  Bytes data48(48);
  for (int i = 0; i < 48; ++i) data48[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 5);
  ASSERT_TRUE(BslWriteBlock(context_, 0x012345, data48.data(), 48));
  BslPassword password = WrongPassword();
  BslSendPassword(context_, password);

  auto reports = sent();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_BYTES(filled({0x3F, 0x04, 0x17, 0x04, 0x25, 0x00}, 58), reports[0]);
  EXPECT_BYTES(filled({0x3F, 0x06, 0x1B, 0x20, 0x01, 0x00, 0xA5, 0x06}, 56), reports[1]);
  Bytes block = concat({{0x3F, 0x34, 0x1B, 0x45, 0x23, 0x01}, data48});
  block.insert(block.end(), 10, 0xAC);
  EXPECT_BYTES(block, reports[2]);
  Bytes pw = concat({{0x3F, 0x21, 0x11}, Bytes(password.begin(), password.end())});
  pw.insert(pw.end(), 29, 0xAC);
  EXPECT_BYTES(pw, reports[3]);
}

TEST_F(BslClientTest, PasswordsForEraseAndUnlock) {
  BslPassword wrong = WrongPassword(), erased = ErasedDevicePassword();
  EXPECT_NE(wrong, erased);
  BslPassword all_ff;
  all_ff.fill(0xFF);
  EXPECT_EQ(erased, all_ff);
  // A reset vector always holds an even address, so no programmed device has this password.
  EXPECT_EQ(wrong[30] & 1, 1);
  VirtualClock clock;
  BslMassErase(context_, clock);
  EXPECT_EQ(clock.pauses, std::vector<int>{1500});
  auto reports = sent();
  ASSERT_EQ(reports.size(), 2u);
  for (const Bytes& r : reports) EXPECT_BYTES((Bytes{0x3F, 0x21, 0x11}), Bytes(r.begin(), r.begin() + 3));
  EXPECT_EQ(Bytes(reports[0].begin() + 3, reports[0].begin() + 35), Bytes(wrong.begin(), wrong.end()));
  EXPECT_EQ(Bytes(reports[1].begin() + 3, reports[1].begin() + 35), Bytes(32, 0xFF));
}

TEST_F(BslClientTest, AddressBitsAboveTwentyFourAreDropped) {
  const std::uint8_t one = 0x11;
  ASSERT_TRUE(BslWriteBlock(context_, 0xAB012345u, &one, 1));
  ASSERT_TRUE(BslLoadPc(context_, 0xFF002504u));
  auto reports = sent();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_BYTES(filled({0x3F, 0x05, 0x1B, 0x45, 0x23, 0x01, 0x11}, 57), reports[0]);
  EXPECT_BYTES(filled({0x3F, 0x04, 0x17, 0x04, 0x25, 0x00}, 58), reports[1]);
}

FirmwareImage image_of(std::initializer_list<std::pair<std::uint32_t, int>> segments) {
  FirmwareImage image;
  std::uint8_t value = 0;
  for (auto [address, count] : segments) {
    ImageSegment s;
    s.start_address = address;
    s.byte_count = count;
    for (int i = 0; i < count; ++i) s.bytes.push_back(value++);
    image.append(std::move(s));
  }
  return image;
}

struct Block {
  std::uint32_t address;
  int size;
};

std::vector<Block> blocks_of(const std::vector<Bytes>& reports) {
  std::vector<Block> out;
  for (const Bytes& r : reports) {
    EXPECT_EQ(r.size(), 64u);
    EXPECT_EQ(r[2], 0x1B);
    out.push_back({static_cast<std::uint32_t>(r[3] | r[4] << 8 | r[5] << 16), r[1] - 4});
  }
  return out;
}

TEST_F(BslClientTest, SegmentsGoOutInBlocksOfAtMost48Bytes) {
  BslDownloadImage(context_, image_of({{0x4400, 100}, {0x5000, 48}, {0x6000, 49}, {0x7000, 0}}));
  auto reports = sent();
  auto blocks = blocks_of(reports);
  ASSERT_EQ(blocks.size(), 6u);
  const std::vector<std::pair<std::uint32_t, int>> expected = {
      {0x4400, 48}, {0x4430, 48}, {0x4460, 4}, {0x5000, 48}, {0x6000, 48}, {0x6030, 1}};
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].address, expected[i].first) << i;
    EXPECT_EQ(blocks[i].size, expected[i].second) << i;
  }
  EXPECT_EQ(reports[0][1], 0x34);
  EXPECT_EQ(reports[2][1], 0x08);
  EXPECT_EQ(reports[5][1], 0x05);
  // The data bytes run on across the blocks of a segment.
  EXPECT_EQ(reports[1][6], 48);
  EXPECT_EQ(reports[2][6 + 3], 99);
  EXPECT_EQ(reports[2][6 + 4], 0xAC);
}

TEST_F(BslClientTest, TouchingSegmentsAreNeverJoined) {
  BslDownloadImage(context_, image_of({{0x4400, 40}, {0x4428, 40}}));
  auto blocks = blocks_of(sent());
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].address, 0x4400u);
  EXPECT_EQ(blocks[0].size, 40);
  EXPECT_EQ(blocks[1].address, 0x4428u);
  EXPECT_EQ(blocks[1].size, 40);
}

TEST_F(BslClientTest, EmptyImageSendsNothing) {
  BslDownloadImage(context_, FirmwareImage{});
  BslDownloadImage(context_, image_of({{0x4400, 0}}));
  EXPECT_TRUE(sent().empty());
}

TEST_F(BslClientTest, AnythingButSixtyFourBytesWrittenIsAFailure) {
  const std::uint8_t byte = 0;
  for (int offset : {-1, +1}) {
    bus::set_write_result_offset(bsl_index_, offset);  // the transport reports 63, then 65
    EXPECT_FALSE(BslWriteBlock(context_, 0x2500, &byte, 1)) << offset;
    EXPECT_FALSE(BslLoadPc(context_, 0x2504)) << offset;
  }
  bus::set_write_result_offset(bsl_index_, 0);
  bus::set_faults(bsl_index_, false, true, false);  // -1
  EXPECT_FALSE(BslWriteBlock(context_, 0x2500, &byte, 1));
  EXPECT_FALSE(BslLoadPc(context_, 0x2504));
  Tav_BslClose(context_);  // no connection: Tav_BslWrite gives -1 without I/O
  bus::set_faults(bsl_index_, false, false, false);
  bus::clear_wire();
  EXPECT_FALSE(BslWriteBlock(context_, 0x2500, &byte, 1));
  EXPECT_FALSE(BslLoadPc(context_, 0x2504));
  EXPECT_TRUE(sent().empty());
}

TEST_F(BslClientTest, BlockLargerThanAReportIsRefused) {
  Bytes data(59, 0x55);
  EXPECT_FALSE(BslWriteBlock(context_, 0x2500, data.data(), 59));
  EXPECT_TRUE(BslWriteBlock(context_, 0x2500, data.data(), 58));
  auto reports = sent();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0][1], 62);
}

}  // namespace
