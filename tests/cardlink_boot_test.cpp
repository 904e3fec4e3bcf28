// Boot-loader mode through the exports: the switch to the boot loader, the boot-loader search and the
// raw report transport over the one connection that lives across calls.
#include <chrono>
#include <cstring>
#include <string>

#include "card_context.h"  // boot_count and boot_device, which no export shows
#include "cardlink_fixture.h"
#include "usb_boot_loader.h"

using namespace cardlink_test;
using namespace std::chrono_literals;
using testsupport::Bytes;

namespace {

Bytes report_of(std::uint8_t first) {
  Bytes r(64);
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(first + i);
  r[0] = 0x3F;
  return r;
}

// Queues a report in the IN queue of the boot loader behind device `index`.
void queue_input(std::size_t index, const Bytes& report) {
  cardsim::Board& board = bus::board(index);
  ASSERT_EQ(board.mode(), cardsim::Mode::UsbBootLoader);
  static_cast<cardsim::UsbBootLoader*>(board.firmware())->queue_input(report);
}

TEST_F(CardlinkTest, SwitchSendsTheIspCommandToTheFirstCardThenTheBootLoaderIsFound) {
  Context context = init("card id=7 fault=stale; card id=8");
  ASSERT_NE(context, nullptr);
  std::string card_path = bus::path(0);
  bus::clear_wire();
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_SwitchToISP(context.get())); }), "");
  EXPECT_HANDLES(0);
  std::vector<Bytes> w = writes_to(card_path);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_BYTES(request("a102010004"), w[0]);  // the priming read
  EXPECT_BYTES(testsupport::concat({{0x3F, 15}, testsupport::bytes_of("2102040004ISPE\n")}), w[1]);
  EXPECT_EQ(w[1].size(), 17u);
  EXPECT_TRUE(writes_to(bus::path(1)).empty()) << "the second card was switched";
  EXPECT_EQ(Tav_GetCardNum(context.get()), 2) << "the card table changes";

  // The card restarts as boot loader after its isp_delay.
  EXPECT_FALSE(Tav_EnumBootDev(context.get()));
  bus::advance(2s);
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_EnumBootDev(context.get())); }), "");
  EXPECT_HANDLES(0);
  EXPECT_EQ(context->boot_count, 1);
  EXPECT_STREQ(context->boot_device.path, bus::path(0).c_str());
  EXPECT_EQ(context->boot_device.vendor_id, 0x2047);
  EXPECT_EQ(context->boot_device.product_id, 0x0200);
  EXPECT_EQ(context->boot_device.card_id, 0);

  bus::clear_wire();
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(1);
  EXPECT_TRUE(bus::wire().empty()) << "no priming read or card command on the boot loader";
  Bytes packet = report_of(0x10);
  EXPECT_EQ(Tav_BslWrite(context.get(), packet.data(), 64), 64);
  std::vector<Bytes> sent = writes_to(bus::path(0));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_BYTES(packet, sent[0]);
  Tav_BslClose(context.get());
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, SwitchAfterTheCardLeftTheBus) {
  Context context = init("card id=7");
  ASSERT_NE(context, nullptr);
  bus::unplug(0);
  bus::clear_wire();
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_SwitchToISP(context.get())); }), "Board 7 Error Access!!\n");
  EXPECT_TRUE(bus::wire().empty());
  EXPECT_HANDLES(0);
}

// A recorded path outlives its device: once another device has taken the node, neither the card
// command nor a boot-loader report may reach it.
TEST_F(CardlinkTest, RecordedPathsTakenByAnotherDeviceAreNotUsed) {
  Context context = init("card id=7; bsl; hid at=60000");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  bus::unplug(0);
  bus::unplug(1);
  bus::advance(60s);
  ASSERT_EQ(bus::path(2), "/dev/hidraw0");
  bus::clear_wire();
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_SwitchToISP(context.get())); }), "Board 7 Error Access!!\n");
  EXPECT_FALSE(Tav_BslConnect(context.get()));
  char serial[33];
  EXPECT_FALSE(Tav_Read_SN(context.get(), 7, serial, 8));
  EXPECT_TRUE(bus::wire().empty());
  EXPECT_TRUE(bus::board(2).faults().empty()) << bus::board(2).faults().front();
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, SwitchWhoseWriteFailsIsFalse) {
  Context context = init("card id=7");
  ASSERT_NE(context, nullptr);
  bus::set_faults(0, false, true, false);
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_SwitchToISP(context.get())); }), "");
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, ConnectBeforeAnySearchFails) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  EXPECT_FALSE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(0);
  unsigned char buffer[64];
  int count = 42;
  EXPECT_EQ(Tav_BslWrite(context.get(), buffer, 64), -1);
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 64, &count));
  EXPECT_EQ(count, 42);
  Tav_BslClose(context.get());  // without a connection: nothing
  EXPECT_TRUE(bus::wire().empty());
}

TEST_F(CardlinkTest, DoubleConnectFailsAndTheFirstConnectionGoesOn) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(1);
  EXPECT_FALSE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(1);
  Bytes packet = report_of(0x20);
  EXPECT_EQ(Tav_BslWrite(context.get(), packet.data(), 64), 64);
  ASSERT_EQ(writes_to(bus::path(1)).size(), 1u);
  EXPECT_BYTES(packet, writes_to(bus::path(1))[0]);
  Tav_BslClose(context.get());
  EXPECT_HANDLES(0);
  Tav_BslClose(context.get());
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, CloseThenReconnectWithoutANewSearch) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  Tav_BslClose(context.get());
  EXPECT_HANDLES(0);
  EXPECT_EQ(context->boot_count, 1);
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(1);
  EXPECT_EQ(context->boot_count, 1);
  Bytes packet = report_of(0x30);
  EXPECT_EQ(Tav_BslWrite(context.get(), packet.data(), 64), 64);
  EXPECT_EQ(writes_to(bus::path(1)).size(), 1u);
  Tav_BslClose(context.get());
}

TEST_F(CardlinkTest, WriteLengthsOutsideOneTo64SendNothing) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  bus::clear_wire();
  Bytes big(65, 0x3F);
  for (int length : {65, 0, -1, -64}) EXPECT_EQ(Tav_BslWrite(context.get(), big.data(), length), -1) << length;
  EXPECT_EQ(Tav_BslWrite(context.get(), nullptr, 64), -1);
  EXPECT_TRUE(bus::wire().empty());
  EXPECT_EQ(Tav_BslWrite(context.get(), big.data(), 64), 64);
  EXPECT_EQ(bus::writes().size(), 1u);
  EXPECT_HANDLES(1);
  Tav_BslClose(context.get());
}

TEST_F(CardlinkTest, FailedBootLoaderWriteIsMinusOne) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  bus::set_faults(1, false, true, true);
  Bytes packet = report_of(0x40);
  EXPECT_EQ(Tav_BslWrite(context.get(), packet.data(), 64), -1);
  unsigned char buffer[64];
  int count = 42;
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 64, &count));
  EXPECT_EQ(count, 42);
  EXPECT_HANDLES(1);
  Tav_BslClose(context.get());
}

TEST_F(CardlinkTest, ReadGivesQueuedReportsAndZeroWhenNothingWaits) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  unsigned char buffer[64];
  std::memset(buffer, 0xAA, sizeof buffer);
  int count = 42;
  EXPECT_TRUE(Tav_BslRead(context.get(), buffer, 64, &count));  // empty: at once, count 0
  EXPECT_EQ(count, 0);

  Bytes answer = report_of(0x50);
  queue_input(1, answer);
  count = 42;
  EXPECT_TRUE(Tav_BslRead(context.get(), buffer, 64, &count));
  EXPECT_EQ(count, 64);
  EXPECT_BYTES(answer, Bytes(buffer, buffer + 64));  // the report id byte first
  count = 42;
  EXPECT_TRUE(Tav_BslRead(context.get(), buffer, 64, &count));
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 0, &count));
  EXPECT_FALSE(Tav_BslRead(context.get(), nullptr, 64, &count));
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 64, nullptr));
  EXPECT_EQ(count, 0);
  EXPECT_HANDLES(1);
  Tav_BslClose(context.get());
}

TEST_F(CardlinkTest, TwoBootLoadersTheFirstListedIsRecorded) {
  Context context = init("card id=1; bsl; bsl");
  ASSERT_NE(context, nullptr);
  EXPECT_TRUE(Tav_EnumBootDev(context.get()));
  EXPECT_EQ(context->boot_count, 1);
  EXPECT_STREQ(context->boot_device.path, bus::path(1).c_str());
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  Bytes packet = report_of(0x60);
  EXPECT_EQ(Tav_BslWrite(context.get(), packet.data(), 64), 64);
  EXPECT_EQ(writes_to(bus::path(1)).size(), 1u);
  EXPECT_TRUE(writes_to(bus::path(2)).empty());
  Tav_BslClose(context.get());
  // Each successful search counts.
  EXPECT_TRUE(Tav_EnumBootDev(context.get()));
  EXPECT_EQ(context->boot_count, 2);
}

TEST_F(CardlinkTest, FreshSearchThatFindsNothingForgetsTheEarlierDevice) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  bus::unplug(1);
  EXPECT_FALSE(Tav_EnumBootDev(context.get()));
  EXPECT_EQ(context->boot_count, 1);
  EXPECT_STREQ(context->boot_device.path, "");
  EXPECT_FALSE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, BootLoaderWithTooLongAPathIsSkipped) {
  bus::configure("card id=1");
  cardsim::DeviceSetup long_one;
  long_one.board.start_mode = cardsim::Mode::UsbBootLoader;
  long_one.path = "/dev/" + std::string(245, 'b');  // 250 characters
  bus::add(long_one);
  cardsim::DeviceSetup short_one = long_one;
  short_one.path = "/dev/bsl-short";
  bus::add(short_one);
  Context context(Tav_Init());
  ASSERT_NE(context, nullptr);
  EXPECT_TRUE(Tav_EnumBootDev(context.get()));
  EXPECT_STREQ(context->boot_device.path, "/dev/bsl-short");
  bus::unplug(2);
  EXPECT_FALSE(Tav_EnumBootDev(context.get())) << "only the long path is listed";
}

TEST_F(CardlinkTest, BootLoaderThatCannotBeOpened) {
  Context context = init("card id=1; bsl fault=open");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  EXPECT_FALSE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, CloseOnAConnectedContextClosesTheConnection) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  EXPECT_HANDLES(1);
  EXPECT_TRUE(Tav_Close(context.release()));
  EXPECT_HANDLES(0);
}

// Every export, in its successful and failing forms, leaves no card handle open; only the
// boot-loader connection outlives the call.
TEST_F(CardlinkTest, NoHandleLeftOpenAfterAnyExport) {
  Context context = init("card id=1 fault=stale; card id=2 fault=silent; bsl");
  ASSERT_NE(context, nullptr);
  EXPECT_HANDLES(0);
  int8_t table[8];
  uint16_t vendor, product;
  uint8_t card;
  char fw[5], boot[5], sn[33];
  unsigned char report[64] = {0x3F};
  int count = 0;
  auto card_exports = [&](const char* when, int connection = 0) {
    SCOPED_TRACE(when);
    Tav_GetCardNum(context.get());
    EXPECT_HANDLES(connection);
    Tav_GetCardIdTable(context.get(), table);
    EXPECT_HANDLES(connection);
    Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot);
    EXPECT_HANDLES(connection);
    for (int8_t id : {1, 2, 9}) {
      Tav_Write_SN(context.get(), id, "SERIAL01", 8);
      EXPECT_HANDLES(connection);
      Tav_Read_SN(context.get(), id, sn, 8);
      EXPECT_HANDLES(connection);
    }
  };
  // Not captured: a failure reported while standard output is captured would be lost. The
  // library's three lines appear in the test's output.
  {
    card_exports("cards present");
    bus::set_faults(0, false, true, true);
    bus::set_faults(1, false, true, true);
    card_exports("cards whose reads and writes fail");
    bus::set_faults(0, true, false, false);
    bus::set_faults(1, true, false, false);
    card_exports("cards that cannot be opened");
    EXPECT_FALSE(Tav_SwitchToISP(context.get()));
    EXPECT_HANDLES(0);
    bus::set_faults(0, false, false, false);
    EXPECT_TRUE(Tav_SwitchToISP(context.get()));
    EXPECT_HANDLES(0);
    EXPECT_TRUE(Tav_EnumBootDev(context.get()));
    EXPECT_HANDLES(0);
    EXPECT_TRUE(Tav_BslConnect(context.get()));
    EXPECT_HANDLES(1);
    EXPECT_FALSE(Tav_BslConnect(context.get()));
    EXPECT_HANDLES(1);
    EXPECT_EQ(Tav_BslWrite(context.get(), report, 64), 64);
    EXPECT_HANDLES(1);
    EXPECT_TRUE(Tav_BslRead(context.get(), report, 64, &count));
    EXPECT_HANDLES(1);
    card_exports("while connected", 1);  // card exports add nothing to the connection
    EXPECT_HANDLES(1);
    Tav_BslClose(context.get());
    EXPECT_HANDLES(0);
  }
}

}  // namespace
