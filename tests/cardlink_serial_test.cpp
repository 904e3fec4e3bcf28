// Serial numbers through the exports: Tav_Write_SN and Tav_Read_SN, the texts on the wire, the card
// selection by card id and the failures.
#include <cstring>
#include <string>

#include "cardlink_fixture.h"

using namespace cardlink_test;
using testsupport::Bytes;

namespace {

std::string serial_of_length(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back("ABCDEFGHJKLMNPQRSTUVWXYZ23456789"[i % 32]);
  return s;
}

std::string stored(std::size_t board, std::size_t n) {
  const auto& storage = bus::board(board).storage();
  return std::string(storage.begin() + 0x12C, storage.begin() + 0x12C + static_cast<long>(n));
}

TEST_F(CardlinkTest, ReadLengthTextIsTwoLowerCaseHexDigits) {
  Context context = init("card id=3 serial=0123456789abcdefGHIJKLMNOPQRSTUV");
  ASSERT_NE(context, nullptr);
  for (auto [len, length_text] : std::initializer_list<std::pair<int, const char*>>{
           {1, "01"}, {13, "0d"}, {16, "10"}, {26, "1a"}, {32, "20"}}) {
    bus::clear_wire();
    char buffer[33];
    EXPECT_TRUE(Tav_Read_SN(context.get(), 3, buffer, len));
    std::vector<Bytes> w = writes_to(bus::path(0));
    ASSERT_EQ(w.size(), 3u);
    EXPECT_BYTES(request(std::string("21020f000512c") + length_text), w[1]);
    EXPECT_EQ(std::string(buffer), std::string("0123456789abcdefGHIJKLMNOPQRSTUV").substr(0, static_cast<std::size_t>(len)));
  }
}

TEST_F(CardlinkTest, WriteSerialNumberTextsOnTheWire) {
  for (auto [len, length_text] : std::initializer_list<std::pair<int, const char*>>{{8, "0b"}, {16, "13"}, {32, "23"}}) {
    bus::reset();
    Context context = init("card id=3 fault=stale");
    ASSERT_NE(context, nullptr);
    bus::clear_wire();
    std::string sn = serial_of_length(static_cast<std::size_t>(len));
    EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_Write_SN(context.get(), 3, sn.c_str(), len)); }), "");
    EXPECT_HANDLES(0);
    std::vector<Bytes> w = writes_to(bus::path(0));
    ASSERT_EQ(w.size(), 2u) << len;
    EXPECT_BYTES(request("a102010004"), w[0]);  // the priming read
    std::string text = std::string("21020e00") + length_text + "12c" + sn;
    EXPECT_BYTES(request(text), w[1]);
    EXPECT_EQ(w[1][1], 13 + len) << "report byte 1";
    EXPECT_EQ(stored(0, static_cast<std::size_t>(len)), sn);
  }
}

TEST_F(CardlinkTest, WriteOf33CharactersIsRefusedWithoutTouchingTheCard) {
  Context context = init("card id=3");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  std::string sn = serial_of_length(33);
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_Write_SN(context.get(), 3, sn.c_str(), 33)); }), "");
  EXPECT_TRUE(bus::writes().empty());
  EXPECT_HANDLES(0);
  // Nor a negative length, nor a text shorter than the length it claims.
  EXPECT_FALSE(Tav_Write_SN(context.get(), 3, "ABCD", -1));
  EXPECT_FALSE(Tav_Write_SN(context.get(), 3, "ABCD", 8));
  EXPECT_FALSE(Tav_Write_SN(context.get(), 3, nullptr, 8));
  EXPECT_TRUE(bus::writes().empty());
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, WriteSendsTheCharactersTheLengthCounts) {
  Context context = init("card id=3");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  EXPECT_TRUE(Tav_Write_SN(context.get(), 3, "SERIAL01-and-more", 8));
  std::vector<Bytes> w = writes_to(bus::path(0));
  ASSERT_EQ(w.size(), 2u);
  EXPECT_BYTES(request("21020e000b12cSERIAL01"), w[1]);
}

TEST_F(CardlinkTest, WriteIsTrueOnlyWhenAcknowledged) {
  Context context = init("card id=0 fault=silent");  // the silent card holds card id 0
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  EXPECT_FALSE(Tav_Write_SN(context.get(), 0, "SERIAL01", 8));
  EXPECT_HANDLES(0);
  std::vector<Bytes> w = writes_to(bus::path(0));
  ASSERT_EQ(w.size(), 2u);  // the write was sent, the acknowledgement never came
  EXPECT_BYTES(request("21020e000b12cSERIAL01"), w[1]);

  bus::reset();
  Context failing = init("card id=2");
  ASSERT_NE(failing, nullptr);
  bus::set_faults(0, false, true, false);  // writes fail from now on
  EXPECT_FALSE(Tav_Write_SN(failing.get(), 2, "SERIAL01", 8));
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, ReadSerialNumberTextsOnTheWire) {
  Context context = init("card id=3 fault=stale serial=0123456789abcdefGHIJKLMNOPQRSTUV");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  char buffer[40];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_Read_SN(context.get(), 3, buffer, 16)); }), "");
  EXPECT_HANDLES(0);
  EXPECT_BYTES(testsupport::concat({testsupport::bytes_of("0123456789abcdef"), {0, 'x'}}),
               Bytes(buffer, buffer + 18));
  std::vector<Bytes> w = writes_to(bus::path(0));
  ASSERT_EQ(w.size(), 3u);
  EXPECT_BYTES(request("a102010004"), w[0]);
  EXPECT_BYTES(request("21020f000512c10"), w[1]);
  EXPECT_BYTES(request("a102100020"), w[2]);

  EXPECT_TRUE(Tav_Read_SN(context.get(), 3, buffer, 32));
  EXPECT_STREQ(buffer, "0123456789abcdefGHIJKLMNOPQRSTUV");
  EXPECT_TRUE(Tav_Read_SN(context.get(), 3, buffer, 1));
  EXPECT_STREQ(buffer, "0");
}

TEST_F(CardlinkTest, WrittenSerialNumberReadsBack) {
  Context context = init("card id=1; card id=2");
  ASSERT_NE(context, nullptr);
  EXPECT_TRUE(Tav_Write_SN(context.get(), 2, "CARD-TWO", 8));
  char buffer[9] = {};
  EXPECT_TRUE(Tav_Read_SN(context.get(), 2, buffer, 8));
  EXPECT_STREQ(buffer, "CARD-TWO");
  EXPECT_EQ(stored(0, 8), std::string(8, '\0')) << "the other card was written";
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, ReadLengthOutsideOneTo32FailsWithoutIo) {
  Context context = init("card id=3 serial=ABC");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  for (int len : {0, -1, 33, 64}) EXPECT_FALSE(Tav_Read_SN(context.get(), 3, buffer, len)) << len;
  EXPECT_FALSE(Tav_Read_SN(context.get(), 3, nullptr, 8));
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_TRUE(bus::writes().empty());
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, ReadWithoutReplyIsFalseAndLeavesTheBuffer) {
  Context context = init("card id=0 fault=silent");
  ASSERT_NE(context, nullptr);
  char buffer[9] = "keepthis";
  EXPECT_FALSE(Tav_Read_SN(context.get(), 0, buffer, 8));
  EXPECT_STREQ(buffer, "keepthis");
  EXPECT_HANDLES(0);

  bus::set_faults(0, false, false, true);  // transport error on every read
  EXPECT_FALSE(Tav_Read_SN(context.get(), 0, buffer, 8));
  EXPECT_STREQ(buffer, "keepthis");
  EXPECT_HANDLES(0);
}

TEST_F(CardlinkTest, UnknownCardIdPrintsCardIdError) {
  Context context = init("card id=3; card id=A");
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  char buffer[9] = "keepthis";
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_Write_SN(context.get(), 4, "SERIAL01", 8)); }), "Card ID Error\n");
  EXPECT_EQ(stdout_of([&] { EXPECT_FALSE(Tav_Read_SN(context.get(), 0, buffer, 8)); }), "Card ID Error\n");
  EXPECT_STREQ(buffer, "keepthis");
  EXPECT_TRUE(bus::writes().empty());
  EXPECT_HANDLES(0);
  // Card id 17 ('A') is found: the card ids compare as 8-bit values.
  EXPECT_EQ(stdout_of([&] { EXPECT_TRUE(Tav_Write_SN(context.get(), 17, "SERIAL01", 8)); }), "");
  EXPECT_EQ(writes_to(bus::path(0)).size(), 0u);
  EXPECT_EQ(writes_to(bus::path(1)).size(), 2u);
}

TEST_F(CardlinkTest, TwoRowsWithTheSameCardIdAddressTheFirst) {
  Context context = init("card fault=silent; card fault=silent");  // both hold card id 0
  ASSERT_NE(context, nullptr);
  bus::clear_wire();
  EXPECT_FALSE(Tav_Write_SN(context.get(), 0, "SERIAL01", 8));
  char buffer[9];
  EXPECT_FALSE(Tav_Read_SN(context.get(), 0, buffer, 8));
  EXPECT_EQ(writes_to(bus::path(0)).size(), 5u);
  EXPECT_TRUE(writes_to(bus::path(1)).empty());
}

TEST_F(CardlinkTest, CardThatLeftTheBusFailsWithoutAMessage) {
  Context context = init("card id=3");
  ASSERT_NE(context, nullptr);
  bus::unplug(0);
  char buffer[9] = "keepthis";
  std::string out = stdout_of([&] {
    EXPECT_FALSE(Tav_Write_SN(context.get(), 3, "SERIAL01", 8));
    EXPECT_FALSE(Tav_Read_SN(context.get(), 3, buffer, 8));
  });
  EXPECT_EQ(out, "");
  EXPECT_STREQ(buffer, "keepthis");
  EXPECT_HANDLES(0);
}

}  // namespace
