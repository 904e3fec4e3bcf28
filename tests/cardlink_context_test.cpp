// Card discovery and the context through the exports of libCardlink.so against the virtual bus: Tav_Init and its card
// table, Tav_GetCardNum, Tav_GetCardIdTable, Tav_GetFirstDevInfoToFlash and Tav_Close.
#include <array>
#include <chrono>
#include <cstring>
#include <string>

#include "card_context.h"  // layout of the context, to look at what the exports do not show
#include "cardlink_fixture.h"

using namespace cardlink_test;
using testsupport::Bytes;

namespace {

using Clock = std::chrono::steady_clock;

std::array<int8_t, 8> id_table(CardContext* context) {
  std::array<int8_t, 8> table;
  table.fill(0x55);
  EXPECT_TRUE(Tav_GetCardIdTable(context, table.data()));
  EXPECT_HANDLES(0);
  return table;
}

using Table = std::array<int8_t, 8>;
constexpr int8_t kNone = -1;  // 0xFF past the last card

TEST_F(CardlinkTest, NoCardGivesNullWithoutAMessage) {
  Context context = init("");
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(nullptr), 0);
  EXPECT_TRUE(bus::writes().empty());
}

TEST_F(CardlinkTest, OnlyBootLoadersOnTheBusIsNoCard) {
  Context context = init("bsl; bsl");
  EXPECT_EQ(context, nullptr);
  EXPECT_TRUE(bus::writes().empty());
}

TEST_F(CardlinkTest, ThreeCardsFillTheIdTableWithAnFFTail) {
  Context context = init("card id=3; card id=A; card id=7");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 3);
  EXPECT_EQ(id_table(context.get()), (Table{3, 17, 7, kNone, kNone, kNone, kNone, kNone}));
  // Written in full on every call, whatever the table held.
  EXPECT_EQ(id_table(context.get()), (Table{3, 17, 7, kNone, kNone, kNone, kNone, kNone}));
  // Rows in the order the HID layer listed the devices.
  for (std::size_t i = 0; i < 3; ++i) EXPECT_STREQ(context->cards[i].path, bus::path(i).c_str());
  EXPECT_EQ(context->cards[1].vendor_id, 0x2933);
  EXPECT_EQ(context->cards[1].product_id, 0x0001);
}

TEST_F(CardlinkTest, CardIdsThreeAndLetterA) {
  Context three = init("card id=3");
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(id_table(three.get())[0], 3);
  bus::reset();
  Context letter = init("card id=A");
  ASSERT_NE(letter, nullptr);
  EXPECT_EQ(id_table(letter.get())[0], 17);  // 'A' - '0', no digit check
}

TEST_F(CardlinkTest, NineCardsGiveEightAndTheNinthIsInvisible) {
  Context context = init("card id=1; card id=2; card id=3; card id=4; card id=5; card id=6; card id=7; "
                         "card id=8; card id=9");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 8);
  EXPECT_EQ(id_table(context.get()), (Table{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(commands_of(8).empty()) << "the ninth card was spoken to";
  // Invisible to the exports that select by card id too.
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_Write_SN(context.get(), 9, "SN", 2)); }), "Card ID Error\n");
  EXPECT_TRUE(commands_of(8).empty());
}

TEST_F(CardlinkTest, SilentCardIsCountedWithCardIdZero) {
  auto start = Clock::now();
  Context context = init("card id=4 fault=silent");
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 1);
  EXPECT_EQ(id_table(context.get()), (Table{0, kNone, kNone, kNone, kNone, kNone, kNone, kNone}));
  EXPECT_GE(seconds, 0.8);  // priming read and query each give up after 400 ms
}

TEST_F(CardlinkTest, CardThatCannotBeOpenedKeepsItsRowWithIdZero) {
  Context context = init("card id=4; card id=5 fault=open; card id=6");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 3);
  EXPECT_EQ(id_table(context.get()), (Table{4, 0, 6, kNone, kNone, kNone, kNone, kNone}));
  EXPECT_STREQ(context->cards[1].path, bus::path(1).c_str());
}

TEST_F(CardlinkTest, PathOf250CharactersIsSkippedNeverCut) {
  std::string long_path = "/dev/" + std::string(245, 'x');  // 250 characters
  std::string longest = "/dev/" + std::string(244, 'y');    // 249 characters: fits
  ASSERT_EQ(long_path.size(), 250u);
  for (const std::string& p : {long_path, longest, std::string("/dev/ok")}) {
    cardsim::DeviceSetup setup;
    setup.path = p;
    setup.board.card_id = p == long_path ? '1' : p == longest ? '2' : '3';
    bus::add(setup);
  }
  Context context;
  EXPECT_EQ(stdout_of([&] { context.reset(Tav_Init()); }), "");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 2);
  EXPECT_EQ(id_table(context.get()), (Table{2, 3, kNone, kNone, kNone, kNone, kNone, kNone}));
  EXPECT_EQ(std::string(context->cards[0].path), longest);
  EXPECT_TRUE(commands_of(0).empty()) << "the device with the long path was spoken to";
}

TEST_F(CardlinkTest, OnlyALongPathIsNoCard) {
  cardsim::DeviceSetup setup;
  setup.path = "/dev/" + std::string(300, 'z');
  bus::add(setup);
  EXPECT_EQ(stdout_of([] { EXPECT_EQ(Tav_Init(), nullptr); }), "");
  EXPECT_TRUE(bus::writes().empty());
}

TEST_F(CardlinkTest, EachCardSeesTheCardIdCommandTwice) {
  // The simulated cards hold a stale reply when opened: only the priming read makes the query
  // see the card's own answer.
  Context context = init("card id=3 fault=stale; card id=5 fault=stale");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(id_table(context.get()), (Table{3, 5, kNone, kNone, kNone, kNone, kNone, kNone}));
  for (std::size_t board : {0u, 1u}) {
    EXPECT_EQ(commands_of(board), (std::vector<std::string>{"a102010004", "a102010004"}));
    std::vector<Bytes> w = writes_to(bus::path(board));
    ASSERT_EQ(w.size(), 2u);
    EXPECT_BYTES(request("a102010004"), w[0]);
    EXPECT_BYTES(request("a102010004"), w[1]);
  }
}

TEST_F(CardlinkTest, VersionReplyGivesTwoNulTerminatedVersions) {
  Context context = init("card id=3 fw=0102 boot=0005 usb_pid=0042 fault=stale");
  ASSERT_NE(context, nullptr);
  uint16_t vendor = 0, product = 0;
  uint8_t card = 0xEE;
  char fw[8], boot[12];  // the updater's buffer sizes
  std::memset(fw, 'x', sizeof fw);
  std::memset(boot, 'x', sizeof boot);
  bus::clear_wire();
  std::string out = stdout_of([&] {
    EXPECT_TRUE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot));
  });
  EXPECT_EQ(out, "");
  EXPECT_HANDLES(0);
  EXPECT_EQ(vendor, 0x2933);
  EXPECT_EQ(product, 0x0042);
  EXPECT_EQ(card, 3);
  EXPECT_BYTES(Bytes({'0', '1', '0', '2', 0, 'x', 'x', 'x'}), Bytes(fw, fw + sizeof fw));
  EXPECT_BYTES(Bytes({'0', '0', '0', '5', 0, 'x', 'x', 'x', 'x', 'x', 'x', 'x'}), Bytes(boot, boot + sizeof boot));
  std::vector<Bytes> w = writes_to(bus::path(0));
  ASSERT_EQ(w.size(), 2u);
  EXPECT_BYTES(request("a102010004"), w[0]);  // the priming read
  EXPECT_BYTES(request("a100010008"), w[1]);
}

TEST_F(CardlinkTest, FirstDevInfoAsksTheFirstCardOnly) {
  Context context = init("card id=1 fw=1111; card id=2 fw=2222");
  ASSERT_NE(context, nullptr);
  uint16_t vendor, product;
  uint8_t card;
  char fw[5], boot[5];
  bus::clear_wire();
  EXPECT_TRUE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot));
  EXPECT_STREQ(fw, "1111");
  EXPECT_EQ(card, 1);
  EXPECT_TRUE(writes_to(bus::path(1)).empty());
}

TEST_F(CardlinkTest, VersionQueryWithoutReplyLeavesVersionsButGivesIds) {
  Context context = init("card id=6 usb_pid=0007");
  ASSERT_NE(context, nullptr);
  bus::set_faults(0, false, false, true);  // reads fail once the table is built
  uint16_t vendor = 0, product = 0;
  uint8_t card = 0;
  char fw[5] = "keep", boot[5] = "same";
  EXPECT_EQ(stdout_of([&] {
              EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot));
            }),
            "");
  EXPECT_HANDLES(0);
  EXPECT_EQ(vendor, 0x2933);
  EXPECT_EQ(product, 0x0007);
  EXPECT_EQ(card, 6);
  EXPECT_STREQ(fw, "keep");
  EXPECT_STREQ(boot, "same");
}

TEST_F(CardlinkTest, SilentFirstCardGivesFalseAndUntouchedVersions) {
  Context context = init("card fault=silent");
  ASSERT_NE(context, nullptr);
  uint16_t vendor = 0, product = 0;
  uint8_t card = 0xEE;
  char fw[5] = "keep", boot[5] = "same";
  EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot));
  EXPECT_EQ(vendor, 0x2933);
  EXPECT_EQ(card, 0);
  EXPECT_STREQ(fw, "keep");
  EXPECT_STREQ(boot, "same");
}

TEST_F(CardlinkTest, FirstCardGoneGivesBoardErrorAccessWithItsCardId) {
  for (const char* id : {"3", "!"}) {  // '!' - '0' = -15, printed as a signed number
    bus::reset();
    Context context = init(std::string("card id=") + id);
    ASSERT_NE(context, nullptr);
    bus::unplug(0);
    uint16_t vendor = 0, product = 0;
    uint8_t card = 0;
    char fw[5] = "keep", boot[5] = "same";
    std::string out = stdout_of([&] {
      EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, boot));
    });
    EXPECT_EQ(out, *id == '3' ? "Board 3 Error Access!!\n" : "Board -15 Error Access!!\n");
    EXPECT_HANDLES(0);
    EXPECT_EQ(vendor, 0x2933);
    EXPECT_EQ(static_cast<int8_t>(card), *id - '0');
    EXPECT_STREQ(fw, "keep");
  }
}

TEST_F(CardlinkTest, TableIsFixedWhenTheContextIsMade) {
  Context context = init("card id=1");
  ASSERT_NE(context, nullptr);
  bus::configure("card id=2");
  EXPECT_EQ(Tav_GetCardNum(context.get()), 1);
  // A new context sees the changed bus; several contexts live side by side.
  Context second = init("");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Tav_GetCardNum(second.get()), 2);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 1);
}

TEST_F(CardlinkTest, NullArgumentsFailWithoutIo) {
  Context context = init("card id=1");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  uint16_t vendor = 7, product = 7;
  uint8_t card = 7;
  char fw[5] = "keep", boot[5] = "same";
  std::string out = stdout_of([&] {
    EXPECT_FALSE(Tav_GetCardIdTable(context.get(), nullptr));
    EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), nullptr, &product, &card, fw, boot));
    EXPECT_FALSE(Tav_GetFirstDevInfoToFlash(context.get(), &vendor, &product, &card, fw, nullptr));
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(vendor, 7);
  EXPECT_EQ(product, 7);
  EXPECT_EQ(card, 7);
  EXPECT_TRUE(bus::writes().empty());
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, NullContextMakesEveryExportReturnAtOnce) {
  bus::configure("card id=1; bsl");
  uint16_t vendor = 7, product = 7;
  uint8_t card = 7;
  char fw[5] = "keep", boot[5] = "same", sn[33] = "keep";
  int8_t table[8] = {5, 5, 5, 5, 5, 5, 5, 5};
  unsigned char report[64] = {};
  int count = 42;
  std::string out = stdout_of([&] {
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
  });
  EXPECT_EQ(out, "");  // not even "Card ID Error"
  EXPECT_EQ(table[0], 5);
  EXPECT_EQ(vendor, 7);
  EXPECT_STREQ(sn, "keep");
  EXPECT_EQ(count, 42);
  EXPECT_TRUE(bus::wire().empty());
  EXPECT_HANDLES(0);
}

}  // namespace
