// The command channel in both flavours against simulated cards: bytes on the wire, pacing (the
// exact pauses, on virtual time), offered ids, decoders and failure results.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "card_session.h"
#include "command_channel.h"
#include "library_channel.h"
#include "support/bytes.h"
#include "support/virtual_pause.h"
#include "tool_channel.h"
#include "virtual_bus.h"

using namespace cardlink;
using namespace testsupport;
namespace bus = cardsim::bus;

namespace {

const std::vector<int> kTwoPauses = {100, 100}, kFourPauses = {100, 100, 100, 100};

Bytes request(const std::string& text) {
  return concat({{0x3F, static_cast<std::uint8_t>(text.size())}, bytes_of(text)});
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus::reset();
    clear_channel_pauses();
  }
  void TearDown() override {
    if (device_) hid_close(device_);
    EXPECT_EQ(bus::open_handles(), 0);
  }
  hid_device* open_card(const cardsim::BoardSettings& settings = {}) {
    bus::add_card(settings);
    device_ = hid_open_path(bus::path(0).c_str());
    EXPECT_NE(device_, nullptr);
    hid_set_nonblocking(device_, 1);
    return device_;
  }
  hid_device* open_with_faults(bool open, bool write, bool read, const cardsim::BoardSettings& settings = {}) {
    cardsim::DeviceSetup setup;
    setup.board = settings;
    setup.fail_open = open;
    setup.fail_write = write;
    setup.fail_read = read;
    bus::add(setup);
    device_ = hid_open_path(bus::path(0).c_str());
    if (device_) hid_set_nonblocking(device_, 1);
    return device_;
  }
  hid_device* device_ = nullptr;
};

TEST_F(ChannelTest, VersionRequestIsTwelveBytesAndRepliesDecode) {
  cardsim::BoardSettings s;
  s.fw_version = "0102";
  s.boot_version = "0005";
  hid_device* d = open_card(s);
  char fw[5] = "xxxx", boot[5] = "yyyy";
  ASSERT_EQ(mcu_read_fwversion(kLibraryChannel, d, fw, boot), 0);
  EXPECT_STREQ(fw, "0102");
  EXPECT_STREQ(boot, "0005");
  auto w = bus::writes();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_BYTES(request("a100010008"), w[0].bytes);
  EXPECT_EQ(w[0].bytes.size(), 12u);
}

TEST_F(ChannelTest, SwitchRequestIsSeventeenBytesWithLineFeed) {
  for (const ChannelProfile* profile : {&kLibraryChannel, &kToolChannel}) {
    bus::reset();
    device_ = nullptr;
    hid_device* d = open_card();
    EXPECT_EQ(mcu_write_command(*profile, d, MCU_CMD_SWITCH_TO_ISP, "ignored"), 17);
    auto w = bus::writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_BYTES(concat({{0x3F, 15}, bytes_of("2102040004ISPE\n")}), w[0].bytes);
    hid_close(d);
    device_ = nullptr;
  }
}

TEST_F(ChannelTest, ReplyAtFirstPollReturnsAfterTwoPauses) {
  hid_device* d = open_card();
  unsigned char reply[kReportSize] = {};
  EXPECT_EQ(mcu_read_command(kLibraryChannel, d, MCU_CMD_CARD_ID, reply), 64);
  EXPECT_EQ(channel_pauses(), kTwoPauses);
  auto w = bus::wire();
  ASSERT_EQ(w.size(), 2u);  // the request and the one reply read
  EXPECT_GE(w[1].time - w[0].time, std::chrono::milliseconds(100)) << "read before the first pause ended";
}

TEST_F(ChannelTest, NoReplyGivesZeroAfterThreePolls) {
  cardsim::BoardSettings s;
  s.silent = true;
  hid_device* d = open_card(s);
  unsigned char reply[kReportSize] = {};
  EXPECT_EQ(mcu_read_command(kToolChannel, d, MCU_CMD_FW_VERSION, reply), 0);
  EXPECT_EQ(channel_pauses(), kFourPauses);
  auto w = bus::wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_TRUE(w[0].host_to_device);
  char fw[5] = "keep", boot[5] = "same";
  EXPECT_EQ(mcu_read_fwversion(kLibraryChannel, d, fw, boot), -1);
  EXPECT_STREQ(fw, "keep");
  EXPECT_STREQ(boot, "same");
}

TEST_F(ChannelTest, IdsNotOfferedSendNothing) {
  hid_device* d = open_card();
  unsigned char reply[kReportSize] = {};
  for (int id : {1, 2, 3, 4, 6, 7, 8, 18, 19, 21, -1, 40})
    EXPECT_EQ(mcu_read_command(kLibraryChannel, d, id, reply), 0) << "library read id " << id;
  for (int id : {0, 5, 7, 20, 21})
    EXPECT_EQ(mcu_write_command(kLibraryChannel, d, id, "x"), 0) << "library write id " << id;
  for (int id : {0, 5, 18, 19, 20})
    EXPECT_EQ(mcu_write_command(kToolChannel, d, id, "x"), 0) << "tool write id " << id;
  ::testing::internal::CaptureStdout();
  for (int id : {6, 7, 21}) EXPECT_EQ(mcu_read_command(kToolChannel, d, id, reply), 0) << "tool read id " << id;
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "mcu command not support\nmcu command not support\nmcu command not support\n");
  EXPECT_TRUE(bus::writes().empty());
}

TEST_F(ChannelTest, ToolOffersItsReadIds) {
  hid_device* d = open_card();
  unsigned char reply[kReportSize];
  const char* texts[] = {"a100010008", "a100020006", "a101010008", "a101040004",
                         "a101050004", "a102010004", nullptr,      nullptr,
                         "a10209000b"};
  for (int id : {0, 1, 2, 3, 4, 5, 8}) {
    bus::clear_wire();
    std::memset(reply, 0, sizeof reply);
    EXPECT_GT(mcu_read_command(kToolChannel, d, id, reply), 0) << id;
    auto w = bus::writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_BYTES(request(texts[id]), w[0].bytes);
  }
  char product[7];
  EXPECT_EQ(mcu_read_product_id(kToolChannel, d, product), 0);
  EXPECT_STREQ(product, "TAV001");
}

TEST_F(ChannelTest, ShortRepliesDecodeFromZeroFilledBuffer) {
  cardsim::BoardSettings s;
  s.fw_version = "0102";
  s.short_reply = 8;  // only reply bytes 0..7 arrive
  hid_device* d = open_card(s);
  char fw[5] = "xxxx", boot[5] = "yyyy";
  ASSERT_EQ(mcu_read_fwversion(kLibraryChannel, d, fw, boot), 0);
  EXPECT_STREQ(fw, "01");
  EXPECT_STREQ(boot, "");
  std::int8_t id = 5;
  ASSERT_EQ(mcu_read_card_id(kLibraryChannel, d, &id), 0);
  EXPECT_EQ(id, -48);  // byte 9 never arrived and reads as zero
}

TEST_F(ChannelTest, CardIdIsByteNineMinusAsciiZero) {
  for (auto [c, expected] : {std::pair{'7', 7}, std::pair{'A', 17}, std::pair{'0', 0}}) {
    bus::reset();
    cardsim::BoardSettings s;
    s.card_id = c;
    hid_device* d = open_card(s);
    std::int8_t id = -1;
    ASSERT_EQ(mcu_read_card_id(kLibraryChannel, d, &id), 0);
    EXPECT_EQ(id, expected) << c;
    hid_close(d);
    device_ = nullptr;
  }
}

TEST_F(ChannelTest, PrimingReadDrainsAStaleReply) {
  cardsim::BoardSettings s;
  s.stale_reply_at_open = true;
  s.fw_version = "0102";
  hid_device* d = open_card(s);
  char fw[5] = {}, boot[5] = {};
  // Without the priming read the stale report would be taken for the answer.
  ASSERT_EQ(mcu_read_fwversion(kLibraryChannel, d, fw, boot), 0);
  EXPECT_STREQ(fw, "STAL");
  hid_close(d);
  device_ = nullptr;
  CardSession session(kLibraryChannel, bus::path(0).c_str());
  session.start();
  ASSERT_EQ(mcu_read_fwversion(kLibraryChannel, session.device(), fw, boot), 0);
  EXPECT_STREQ(fw, "0102");
  EXPECT_STREQ(boot, "0005");
}

bool held(pthread_mutex_t& lock) {
  if (pthread_mutex_trylock(&lock) != 0) return true;
  pthread_mutex_unlock(&lock);
  return false;
}

// The lock covers the priming read and the exchanges, never the open or the close; whoever owns
// the session last closes the device.
TEST_F(ChannelTest, SessionHoldsTheLockFromPrimingReadToClose) {
  bus::add_card();
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  CardSession outer;
  {
    CardSession session(kLibraryChannel, bus::path(0).c_str(), &lock);
    ASSERT_TRUE(session.is_open());
    EXPECT_FALSE(held(lock));
    EXPECT_TRUE(bus::writes().empty()) << "sent before start()";
    session.start();
    session.start();
    EXPECT_TRUE(held(lock));
    EXPECT_EQ(bus::writes().size(), 1u) << "one priming read";
    outer = std::move(session);
  }
  EXPECT_EQ(bus::open_handles(), 1);
  EXPECT_TRUE(held(lock));
  outer.close();
  EXPECT_FALSE(held(lock));
  EXPECT_EQ(bus::open_handles(), 0);

  // A device that does not open: nothing sent, nothing locked.
  bus::reset();
  bus::set_faults(bus::add_card(), true, false, false);
  CardSession refused(kToolChannel, bus::path(0).c_str(), &lock);
  refused.start();
  EXPECT_FALSE(refused.is_open());
  EXPECT_FALSE(held(lock));
  EXPECT_TRUE(bus::writes().empty());
}

TEST_F(ChannelTest, WriteDataComposesLengthAddressAndText) {
  hid_device* d = open_card();
  std::string sn32(32, 'S');
  EXPECT_GT(mcu_write_data(kLibraryChannel, d, "12c", "23", sn32.c_str()), 0);
  std::string sn16 = "0123456789abcdef";
  EXPECT_GT(mcu_write_data(kLibraryChannel, d, "12c", "13", sn16.c_str()), 0);
  EXPECT_GT(mcu_write_command(kLibraryChannel, d, MCU_CMD_SET_READ_ADDRESS, "0512c20"), 0);
  auto w = bus::writes();
  ASSERT_EQ(w.size(), 3u);
  EXPECT_BYTES(request("21020e0023" "12c" + sn32), w[0].bytes);
  EXPECT_EQ(w[0].bytes[1], 45);
  EXPECT_BYTES(request("21020e0013" "12c" + sn16), w[1].bytes);
  EXPECT_EQ(w[1].bytes[1], 29);
  EXPECT_BYTES(request("21020f000512c20"), w[2].bytes);
  EXPECT_EQ(w[2].bytes[1], 15);
}

TEST_F(ChannelTest, CommandTextOverSixtyTwoCharactersIsRefused) {
  hid_device* d = open_card();
  // "21020e00", length 0x34 (52 characters follow), address, 49 data characters: 62 in all.
  std::string fits = "34" "12c" + std::string(49, 'x'), too_long = "35" "12c" + std::string(50, 'x');
  EXPECT_GT(mcu_write_command(kLibraryChannel, d, MCU_CMD_WRITE_DATA, fits.c_str()), 0);
  ASSERT_EQ(bus::writes().size(), 1u);
  EXPECT_EQ(bus::writes()[0].bytes.size(), 64u);
  EXPECT_EQ(mcu_write_command(kLibraryChannel, d, MCU_CMD_WRITE_DATA, too_long.c_str()), -1);
  EXPECT_EQ(mcu_write_data(kLibraryChannel, d, "12c", "3f", std::string(60, 'y').c_str()), -1);
  EXPECT_EQ(bus::writes().size(), 1u);
}

TEST_F(ChannelTest, FailedWritesInEachFlavour) {
  hid_device* d = open_with_faults(false, true, false);
  ASSERT_NE(d, nullptr);
  unsigned char reply[kReportSize];
  EXPECT_EQ(mcu_read_command(kLibraryChannel, d, MCU_CMD_CARD_ID, reply), -1);
  EXPECT_EQ(mcu_write_command(kLibraryChannel, d, MCU_CMD_SWITCH_TO_ISP, nullptr), -1);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(mcu_read_command(kToolChannel, d, MCU_CMD_CARD_ID, reply), -1);
  EXPECT_EQ(mcu_write_command(kToolChannel, d, MCU_CMD_SWITCH_TO_ISP, nullptr), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Unable to write()\nError: Input/output error\nUnable to write()\nError: Input/output error\n");
  EXPECT_EQ(channel_pauses(), std::vector<int>{}) << "a failed request waits for no reply";
  // The serial-number writes still wait for an acknowledgement after a failed write.
  EXPECT_EQ(mcu_write_command(kLibraryChannel, d, MCU_CMD_SET_READ_ADDRESS, "0512c20"), 0);
  EXPECT_EQ(channel_pauses(), kFourPauses);
}

TEST_F(ChannelTest, FailedReadEndsTheExchangeAtOnce) {
  hid_device* d = open_with_faults(false, false, true);
  ASSERT_NE(d, nullptr);
  unsigned char reply[kReportSize];
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(mcu_read_command(kToolChannel, d, MCU_CMD_FW_VERSION, reply), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Unable to read()\n");
  EXPECT_EQ(channel_pauses(), std::vector<int>{100}) << "the wait before the first poll, then nothing";
  char fw[5] = "keep", boot[5] = "keep";
  EXPECT_EQ(mcu_read_fwversion(kLibraryChannel, d, fw, boot), -1);
  EXPECT_STREQ(fw, "keep");
}

TEST(AsciiToDec, HexDigitsOnly) {
  EXPECT_EQ(ascii_to_dec('f'), 15);
  EXPECT_EQ(ascii_to_dec('F'), 15);
  EXPECT_EQ(ascii_to_dec('g'), -1);
  EXPECT_EQ(ascii_to_dec('9'), 9);
  EXPECT_EQ(ascii_to_dec('0'), 0);
  EXPECT_EQ(ascii_to_dec('a'), 10);
  EXPECT_EQ(ascii_to_dec('@'), -1);
  EXPECT_EQ(ascii_to_dec(' '), -1);
}

}  // namespace
