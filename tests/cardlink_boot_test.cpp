// Boot-loader mode through the exports: the switch to the boot loader, the boot-loader search and the
// raw report transport over the one connection that lives across calls.
#include <chrono>
#include <string>

#include "card_context.h"  // boot_count and boot_device, which no export shows
#include "cardlink_fixture.h"
#include "usb_boot_loader.h"

using namespace cardlink_test;
using namespace std::chrono_literals;

namespace {

Bytes report_of(std::uint8_t first) {
  Bytes r(64);
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(first + i);
  r[0] = 0x3F;
  return r;
}

TEST_F(CardlinkTest, SwitchSendsTheIspCommandToTheFirstCardThenTheBootLoaderIsFound) {
  Context context = init("card id=7 fault=stale; card id=8");
  ASSERT_NE(context, nullptr);
  const std::string card_path = bus::path(0);
  bus::clear_wire();
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_SwitchToISP(context.get())); }), "");
  EXPECT_EQ(writes_to(card_path), (std::vector<Bytes>{request("a102010004"), request("2102040004ISPE\n")}));
  EXPECT_TRUE(writes_to(bus::path(1)).empty()) << "the second card was switched";

  // The card restarts as boot loader after its isp_delay.
  EXPECT_FALSE(Tav_EnumBootDev(context.get()));
  bus::advance(2s);
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_EnumBootDev(context.get())); }), "");
  EXPECT_EQ(context->boot_count, 1);
  EXPECT_STREQ(context->boot_device.path, bus::path(0).c_str());
  EXPECT_EQ(context->boot_device.vendor_id, 0x2047);
  EXPECT_EQ(context->boot_device.product_id, 0x0200);
}

// A switch whose write fails is false without a message. A card gone from the bus, or one whose
// node another device took since: neither the card command nor a boot-loader report may reach
// anything.
TEST_F(CardlinkTest, SwitchThatFails) {
  Context context = init("card id=7; bsl; hid at=60000");
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  bus::set_faults(0, false, true, false);
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_SwitchToISP(context.get())); }), "");
  bus::unplug(0);
  bus::unplug(1);
  bus::clear_wire();
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_SwitchToISP(context.get())); }), "Board 7 Error Access!!\n");
  bus::advance(60s);
  ASSERT_EQ(bus::path(2), "/dev/hidraw0");
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_SwitchToISP(context.get())); }), "Board 7 Error Access!!\n");
  EXPECT_FALSE(Tav_BslConnect(context.get()));
  char serial[33];
  EXPECT_FALSE(Tav_Read_SN(context.get(), 7, serial, 8));
  EXPECT_TRUE(bus::wire().empty());
  EXPECT_TRUE(bus::board(2).faults().empty()) << bus::board(2).faults().front();
}

// The first boot loader listed is recorded and each successful search counts; a search that finds
// nothing forgets the earlier device. A path too long for the row is skipped.
TEST_F(CardlinkTest, BootLoaderSearch) {
  Context context = init("card id=1; bsl; bsl");
  ASSERT_NE(context, nullptr);
  EXPECT_FALSE(Tav_BslConnect(context.get())) << "before any search";
  EXPECT_TRUE(Tav_EnumBootDev(context.get()));
  EXPECT_TRUE(Tav_EnumBootDev(context.get()));
  EXPECT_EQ(context->boot_count, 2);
  EXPECT_STREQ(context->boot_device.path, bus::path(1).c_str());
  bus::unplug(1);
  bus::unplug(2);
  EXPECT_FALSE(Tav_EnumBootDev(context.get()));
  EXPECT_EQ(context->boot_count, 2);
  EXPECT_STREQ(context->boot_device.path, "");
  EXPECT_FALSE(Tav_BslConnect(context.get()));

  ASSERT_TRUE(bus::configure("bsl path=/dev/" + std::string(245, 'b')));  // 250 characters
  EXPECT_FALSE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(bus::configure("bsl fault=open"));
  EXPECT_TRUE(Tav_EnumBootDev(context.get()));
  EXPECT_STREQ(context->boot_device.path, bus::path(4).c_str());
  EXPECT_FALSE(Tav_BslConnect(context.get())) << "it cannot be opened";
}

// One connection, kept across calls (the card exports' included) until Tav_BslClose or Tav_Close;
// reports pass unchanged.
TEST_F(CardlinkTest, BootLoaderConnection) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  unsigned char buffer[65] = {};
  int count = 42;
  EXPECT_EQ(Tav_BslWrite(context.get(), buffer, 64), -1) << "not connected";
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 64, &count));
  Tav_BslClose(context.get());
  ASSERT_TRUE(Tav_EnumBootDev(context.get()));
  ASSERT_TRUE(Tav_BslConnect(context.get()));
  EXPECT_FALSE(Tav_BslConnect(context.get())) << "a second connection";
  EXPECT_HANDLES(1);
  for (int length : {65, 0, -1}) EXPECT_EQ(Tav_BslWrite(context.get(), buffer, length), -1) << length;
  EXPECT_EQ(Tav_BslWrite(context.get(), nullptr, 64), -1);
  EXPECT_TRUE(bus::wire().empty()) << "no priming read or card command on the boot loader";
  EXPECT_EQ(count, 42);

  EXPECT_TRUE(Tav_BslRead(context.get(), buffer, 64, &count));
  EXPECT_EQ(count, 0) << "nothing waits: at once, count 0";
  const Bytes answer = report_of(0x50);
  static_cast<cardsim::UsbBootLoader*>(bus::board(1).firmware())->queue_input(answer);
  EXPECT_TRUE(Tav_BslRead(context.get(), buffer, 64, &count));
  EXPECT_EQ(count, 64);
  EXPECT_BYTES(answer, Bytes(buffer, buffer + 64));  // the report id byte first
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 0, &count));
  EXPECT_FALSE(Tav_BslRead(context.get(), nullptr, 64, &count));
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 64, nullptr));

  Tav_BslClose(context.get());
  Tav_BslClose(context.get());
  EXPECT_HANDLES(0);
  ASSERT_TRUE(Tav_BslConnect(context.get())) << "again, without a new search";
  char sn[9];
  EXPECT_TRUE(Tav_Read_SN(context.get(), 1, sn, 8)) << "a card export beside the connection";
  const Bytes packet = report_of(0x30);
  EXPECT_EQ(Tav_BslWrite(context.get(), packet.data(), 64), 64);
  EXPECT_EQ(writes_to(bus::path(1)), std::vector<Bytes>{packet});
  bus::set_faults(1, false, true, true);
  EXPECT_EQ(Tav_BslWrite(context.get(), packet.data(), 64), -1);
  count = 42;
  EXPECT_FALSE(Tav_BslRead(context.get(), buffer, 64, &count));
  EXPECT_EQ(count, 42);
  EXPECT_HANDLES(1);
  EXPECT_TRUE(Tav_Close(context.release()));
  EXPECT_HANDLES(0);
}

// Several cards, each by its row and its port. Ports are compared whole; a boot loader at another
// port is never recorded, and a search at a port where none is forgets the earlier record.
TEST_F(CardlinkTest, RowsAndPorts) {
  Context context = init("card id=5 fw=0110 port=3-10; card id=5 fw=0120 port=3-1.4; bsl port=3-1");
  ASSERT_NE(context, nullptr);
  char port[TAV_PORT_SIZE] = "x";
  ASSERT_EQ(Tav_GetCardNum(context.get()), 2);
  EXPECT_TRUE(Tav_GetCardPort(context.get(), 0, port, sizeof port));
  EXPECT_STREQ(port, "3-1.4") << "udev lists 3-1.4 before 3-10";
  EXPECT_TRUE(Tav_GetCardPort(context.get(), 1, port, 4));
  EXPECT_STREQ(port, "3-1") << "cut to the size given";
  EXPECT_FALSE(Tav_GetCardPort(context.get(), 2, port, sizeof port));
  EXPECT_STREQ(port, "");
  char ports[2][TAV_PORT_SIZE] = {};
  EXPECT_EQ(Tav_ListBootDevs(context.get(), ports, 2), 1);
  EXPECT_STREQ(ports[0], "3-1");

  std::uint16_t vid = 0, pid = 0;
  std::uint8_t id = 0;
  char fw[5] = {}, boot[5] = {};
  bus::clear_wire();
  EXPECT_TRUE(Tav_GetDevInfoByRow(context.get(), 1, &vid, &pid, &id, fw, boot));
  EXPECT_STREQ(fw, "0110");
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_SwitchToISPByRow(context.get(), 1)); }), "");
  EXPECT_TRUE(writes_to(bus::path(1)).empty()) << "the card of row 0 was touched";
  EXPECT_FALSE(Tav_SwitchToISPByRow(context.get(), 2));
  bus::advance(2s);
  EXPECT_TRUE(Tav_EnumBootDevAtPort(context.get(), "3-10"));
  EXPECT_STREQ(context->boot_device.path, bus::path(0).c_str());
  EXPECT_FALSE(Tav_EnumBootDevAtPort(context.get(), "3-1.4")) << "a card is there, no boot loader";
  EXPECT_STREQ(context->boot_device.path, "");
  EXPECT_FALSE(Tav_EnumBootDevAtPort(context.get(), ""));
  EXPECT_TRUE(bus::board(2).commands().empty() && bus::board(2).bsl_commands().empty());
}

// A node that udev has not yet given to the user is tried again; once it opens, it must still be
// the recorded card's: here another card of the same ids took the node meanwhile, at another port,
// and is left alone.
TEST_F(CardlinkTest, ANodeThatChangedHandsWhileRootOnly) {
  Context context = init("card id=1 port=1-1");
  ASSERT_NE(context, nullptr);
  const std::string path = bus::path(0);
  bus::unplug(0);
  ASSERT_TRUE(bus::configure("card id=1 port=1-2 acl_delay=300"));
  ASSERT_EQ(bus::path(1), path);
  bus::clear_wire();
  std::uint16_t vid = 0, pid = 0;
  std::uint8_t id = 0;
  char fw[5] = {}, boot[5] = {}, why[128] = {};
  EXPECT_FALSE(Tav_GetDevInfoByRow(context.get(), 0, &vid, &pid, &id, fw, boot));
  EXPECT_EQ(Tav_GetLastFailure(context.get(), why, sizeof why), TAV_FAILURE_GONE) << why;
  EXPECT_TRUE(bus::writes().empty());
  EXPECT_GE(bus::now(), std::chrono::milliseconds(300)) << "it was waited for";
}

}  // namespace
