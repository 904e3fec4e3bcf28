// Card discovery and the context through the exports of libCardlink.so against the virtual bus: Tav_Init and its card
// table, Tav_GetCardNum, Tav_GetCardIdTable, Tav_GetFirstDevInfoToFlash and Tav_Close.
#include <array>
#include <cstring>
#include <string>
#include <tuple>

#include "card_context.h"  // layout of the context, to look at what the exports do not show
#include "cardlink_fixture.h"

using namespace cardlink_test;

namespace {

using Table = std::array<int8_t, 8>;
constexpr int8_t kNone = -1;  // 0xFF past the last card

Table id_table(CardContext* context) {
  Table table;
  table.fill(0x55);  // written in full, whatever the table held
  EXPECT_TRUE(Tav_GetCardIdTable(context, table.data()));
  return table;
}

TEST_F(CardlinkTest, NoCardGivesNullWithoutIo) {
  for (const char* devices : {"", "bsl; bsl"}) {
    EXPECT_EQ(init(devices), nullptr) << devices;
    EXPECT_TRUE(bus::writes().empty()) << devices;
  }
}

// Rows in the order the HID layer listed the devices; the card id is the reply's character
// minus '0' ('A' is 17); a card that cannot be opened or does not answer keeps its row with id 0.
TEST_F(CardlinkTest, CardTable) {
  Context context = init("card id=3; card id=A usb_pid=0042; card id=5 fault=open; card id=7; card fault=silent");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 5);
  EXPECT_EQ(id_table(context.get()), (Table{3, 17, 0, 7, 0, kNone, kNone, kNone}));
  for (std::size_t i = 0; i < 5; ++i) EXPECT_STREQ(context->cards[i].path, bus::path(i).c_str());
  EXPECT_EQ(context->cards[1].vendor_id, 0x2933);
  EXPECT_EQ(context->cards[1].product_id, 0x0042);

  // Fixed when the context is made; a new one sees the changed bus, side by side with the first.
  bus::configure("card id=2");
  EXPECT_EQ(Tav_GetCardNum(context.get()), 5);
  Context second = init("");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Tav_GetCardNum(second.get()), 6);
}

TEST_F(CardlinkTest, NineCardsGiveEightAndTheNinthIsInvisible) {
  Context context = init("card id=1; card id=2; card id=3; card id=4; card id=5; card id=6; card id=7; "
                         "card id=8; card id=9");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 8);
  EXPECT_EQ(id_table(context.get()), (Table{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_Write_SN(context.get(), 9, "SN", 2)); }), "Card ID Error\n");
  EXPECT_TRUE(bus::board(8).commands().empty()) << "the ninth card was spoken to";
}

// A path of 250 characters does not fit the row: the device is skipped, never cut.
TEST_F(CardlinkTest, PathOf250CharactersIsSkipped) {
  const std::string too_long = "/dev/" + std::string(245, 'x'), longest = "/dev/" + std::string(244, 'y');
  Context context = init("card id=1 path=" + too_long + "; card id=2 path=" + longest + "; card id=3 path=/dev/ok");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(id_table(context.get()), (Table{2, 3, kNone, kNone, kNone, kNone, kNone, kNone}));
  EXPECT_EQ(std::string(context->cards[0].path), longest);
  EXPECT_TRUE(bus::board(0).commands().empty()) << "the device with the long path was spoken to";
}

// The first card only; both versions NUL-terminated in the updater's buffer sizes.
TEST_F(CardlinkTest, FirstDevInfo) {
  Context context = init("card id=3 fw=0102 boot=0005 usb_pid=0042 fault=stale; card id=4");
  ASSERT_NE(context, nullptr);
  uint16_t vendor = 0, product = 0;
  uint8_t card = 0xEE;
  char fw[8], boot[12];
  std::memset(fw, 'x', sizeof fw);
  std::memset(boot, 'x', sizeof boot);
  bus::clear_wire();
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot)); }), "");
  EXPECT_EQ(vendor, 0x2933);
  EXPECT_EQ(product, 0x0042);
  EXPECT_EQ(card, 3);
  EXPECT_BYTES(Bytes({'0', '1', '0', '2', 0, 'x', 'x', 'x'}), Bytes(fw, fw + sizeof fw));
  EXPECT_BYTES(Bytes({'0', '0', '0', '5', 0, 'x', 'x', 'x', 'x', 'x', 'x', 'x'}), Bytes(boot, boot + sizeof boot));
  EXPECT_EQ(writes_to(bus::path(0)), (std::vector<Bytes>{request("a102010004"), request("a100010008")}));
  EXPECT_TRUE(writes_to(bus::path(1)).empty());
}

// Without a version reply: false, the ids still given, the versions untouched. A card gone from
// the bus, or one that cannot be made non-blocking, is named by its card id, printed signed ('!' -
// '0' is -15).
TEST_F(CardlinkTest, FirstDevInfoThatFails) {
  struct Case {
    const char* devices;
    void (*fault)();
    const char* printed;
    int8_t card_id;
  };
  for (const Case& c : {Case{"card id=6", [] { bus::set_faults(0, false, false, true); }, "", 6},
                        Case{"card id=6 fault=silent", [] {}, "", 0},
                        Case{"card id=!", [] { bus::unplug(0); }, "Board -15 Error Access!!\n", -15},
                        // Opened, but its reads would wait: not used.
                        Case{"card id=6", [] { bus::set_nonblocking_fails(0, true); }, "Board 6 Error Access!!\n", 6}}) {
    SCOPED_TRACE(c.devices);
    bus::reset();
    Context context = init(c.devices);
    ASSERT_NE(context, nullptr);
    c.fault();
    uint16_t vendor = 0, product = 0;
    uint8_t card = 0xEE;
    char fw[5] = "keep", boot[5] = "same";
    EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot)); }),
              c.printed);
    EXPECT_HANDLES(0);
    EXPECT_EQ(vendor, 0x2933);
    EXPECT_EQ(static_cast<int8_t>(card), c.card_id);
    EXPECT_STREQ(fw, "keep");
    EXPECT_STREQ(boot, "same");
  }
}

// Any null argument fails at once: no I/O, no message, nothing written to the others.
TEST_F(CardlinkTest, NullArgumentsFailWithoutIoOrMessage) {
  Context context = init("card id=1; bsl");
  ASSERT_NE(context, nullptr);
  uint16_t vendor = 7, product = 7;
  uint8_t card = 7, report[64] = {};
  char fw[5] = "keep", boot[5] = "same", sn[33] = "keep";
  int8_t table[8] = {5, 5, 5, 5, 5, 5, 5, 5};
  int count = 42;
  bus::clear_wire();
  EXPECT_EQ(stdout_of([&] {
              EXPECT_FALSE(Tav_GetCardIdTable(context.get(), nullptr));
              EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), nullptr, &product, &card, fw, boot));
              EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, nullptr));
              EXPECT_EQ(Tav_GetCardNum(nullptr), 0);
              EXPECT_FALSE(Tav_GetCardIdTable(nullptr, table));
              EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(nullptr, &vendor, &product, &card, fw, boot));
              EXPECT_FALSE(Tav_Write_SN(nullptr, 1, "SERIAL01", 8));
              EXPECT_FALSE(Tav_Read_SN(nullptr, 1, sn, 8));
              EXPECT_FALSE(Tav_SwitchToISP(nullptr));
              EXPECT_FALSE(Tav_EnumBootDev(nullptr));
              EXPECT_FALSE(Tav_BslConnect(nullptr));
              EXPECT_EQ(Tav_BslWrite(nullptr, report, 64), -1);
              EXPECT_FALSE(Tav_BslRead(nullptr, report, 64, &count));
              Tav_BslClose(nullptr);
              EXPECT_TRUE(Tav_Close(nullptr));
            }),
            "");  // not even "Card ID Error"
  EXPECT_EQ(std::tuple(table[0], vendor, product, card, count), std::tuple(5, 7, 7, 7, 42));
  EXPECT_STREQ(sn, "keep");
  EXPECT_TRUE(bus::wire().empty());
}

}  // namespace
