// Serial numbers through the exports: Tav_Write_SN and Tav_Read_SN, the texts on the wire, the card
// selection by card id and the failures.
#include <cstring>
#include <string>

#include "cardlink_fixture.h"

using namespace cardlink_test;

namespace {

const std::string kSerial = "0123456789abcdefGHIJKLMNOPQRSTUV";

// Write "21020e00" + (length + 3, two lower-case hex digits) + "12c" + the characters the length
// counts; read "21020f0005" + "12c" + (length, two digits), then "a1021000" + "20".
TEST_F(CardlinkTest, SerialNumberTextsOnTheWire) {
  for (const auto& [length, write_length, read_length] : std::vector<std::tuple<int, const char*, const char*>>{
           {1, "04", "01"}, {8, "0b", "08"}, {13, "10", "0d"}, {16, "13", "10"}, {26, "1d", "1a"}, {32, "23", "20"}}) {
    SCOPED_TRACE(length);
    bus::reset();
    Context context = init("card id=3 fault=stale");
    ASSERT_NE(context, nullptr);
    const std::string sn = kSerial.substr(0, static_cast<std::size_t>(length));
    bus::clear_wire();
    EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_Write_SN(context.get(), 3, (sn + "-more").c_str(), length)); }), "");
    EXPECT_EQ(writes_to(bus::path(0)),
              (std::vector<Bytes>{request("a102010004"), request(std::string("21020e00") + write_length + "12c" + sn)}));
    const auto& storage = bus::board(0).storage();
    EXPECT_EQ(std::string(storage.begin() + 0x12C, storage.begin() + 0x12C + length), sn);

    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    bus::clear_wire();
    EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_Read_SN(context.get(), 3, buffer, length)); }), "");
    EXPECT_EQ(writes_to(bus::path(0)), (std::vector<Bytes>{request("a102010004"),
                                                           request(std::string("21020f000512c") + read_length),
                                                           request("a102100020")}));
    EXPECT_EQ(std::string(buffer, sn.size() + 2), sn + std::string("\0x", 2));
    EXPECT_HANDLES(0);
  }
}

// Refused before any I/O: more than 32 characters, a length outside 1..32, a text shorter than its
// length, no text or buffer, a card id no row has. Only the unknown card id prints a line.
TEST_F(CardlinkTest, RefusedWithoutIo) {
  Context context = init("card id=3; card id=A serial=ABC");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  const std::string sn33(33, 'S');
  EXPECT_EQ(stdout_of([&] {
              EXPECT_FALSE(Tav_Write_SN(context.get(), 3, sn33.c_str(), 33));
              EXPECT_FALSE(Tav_Write_SN(context.get(), 3, "ABCD", -1));
              EXPECT_FALSE(Tav_Write_SN(context.get(), 3, "ABCD", 8));
              EXPECT_FALSE(Tav_Write_SN(context.get(), 3, nullptr, 8));
              for (int length : {0, -1, 33, 64}) EXPECT_FALSE(Tav_Read_SN(context.get(), 3, buffer, length)) << length;
              EXPECT_FALSE(Tav_Read_SN(context.get(), 3, nullptr, 8));
            }),
            "");
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_Write_SN(context.get(), 4, "SERIAL01", 8)); }), "Card ID Error\n");
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_Read_SN(context.get(), 0, buffer, 8)); }), "Card ID Error\n");
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_TRUE(bus::writes().empty());
}

// The card is chosen by its card id, compared as 8-bit values ('A' is 17); of two rows with the
// same id, the first. The other card is never written.
TEST_F(CardlinkTest, CardChosenByItsCardId) {
  Context context = init("card id=1; card id=A; card id=A");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  EXPECT_TRUE(Tav_Write_SN(context.get(), 17, "CARD-TWO", 8));
  char buffer[9] = {};
  EXPECT_TRUE(Tav_Read_SN(context.get(), 17, buffer, 8));
  EXPECT_STREQ(buffer, "CARD-TWO");
  EXPECT_TRUE(writes_to(bus::path(0)).empty());
  EXPECT_EQ(writes_to(bus::path(1)).size(), 5u);
  EXPECT_TRUE(writes_to(bus::path(2)).empty());
}

// True only when the card acknowledges; a failing card leaves the buffer and prints nothing.
TEST_F(CardlinkTest, CardThatFailsTheExchange) {
  struct Case {
    const char* devices;
    void (*fault)();
  };
  for (const Case& c : {Case{"card id=0 fault=silent", [] {}}, Case{"card id=0", [] { bus::set_faults(0, false, true, false); }},
                        Case{"card id=0", [] { bus::set_faults(0, false, false, true); }},
                        Case{"card id=0", [] { bus::unplug(0); }}}) {
    SCOPED_TRACE(c.devices);
    bus::reset();
    Context context = init(c.devices);
    ASSERT_NE(context, nullptr);
    c.fault();
    bus::clear_wire();
    char buffer[9] = "keepthis";
    EXPECT_EQ(stdout_of([&] {
                EXPECT_FALSE(Tav_Write_SN(context.get(), 0, "SERIAL01", 8));
                EXPECT_FALSE(Tav_Read_SN(context.get(), 0, buffer, 8));
              }),
              "");
    EXPECT_STREQ(buffer, "keepthis");
    EXPECT_HANDLES(0);
  }
}

}  // namespace
