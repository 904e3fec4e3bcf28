// Every card of a server at once: the cards listed without a word to any of them, a context for
// the card at one port, and threads that each talk to their own card through their own context
// while the others do the same, hidapi's process-wide calls among them.
#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cardlink_fixture.h"

using namespace cardlink_test;

namespace {

using Ports = std::array<std::array<char, TAV_PORT_SIZE>, 8>;

std::vector<std::string> listed_ports(int* rows, int capacity = 8) {
  char ports[8][TAV_PORT_SIZE];
  std::memset(ports, 'x', sizeof ports);
  *rows = Tav_ListCardPorts(ports, capacity);
  std::vector<std::string> out;
  for (int i = 0; i < 8; ++i) out.push_back(std::string(ports[i], strnlen(ports[i], TAV_PORT_SIZE)));
  return out;
}

// One row per listed device, as Tav_Init's table has them; no card is opened.
TEST_F(CardlinkTest, ListCardPortsOpensNoCard) {
  ASSERT_TRUE(bus::configure("card id=1 port=3-1.4; bsl port=3-1.6; card id=2 port=3-1.5 interfaces=2"));
  int rows = 0;
  const std::vector<std::string> all = listed_ports(&rows);
  EXPECT_EQ(rows, 3);
  const std::string untouched(TAV_PORT_SIZE, 'x');
  EXPECT_EQ(all, (std::vector<std::string>{"3-1.4", "3-1.5", "3-1.5", untouched, untouched, untouched, untouched,
                                           untouched}));
  const std::vector<std::string> first = listed_ports(&rows, 1);
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(first[0], "3-1.4");
  EXPECT_EQ(first[1], untouched) << "written past the capacity";
  EXPECT_EQ(Tav_ListCardPorts(nullptr, 8), 3);
  EXPECT_TRUE(bus::wire().empty()) << "a card was spoken to";
}

TEST_F(CardlinkTest, ListCardPortsWithoutSysfsGivesEmptyPorts) {
  ASSERT_TRUE(bus::configure("sysfs none; card id=1; card id=2"));
  int rows = 0;
  const std::vector<std::string> all = listed_ports(&rows, 2);
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(all[0], "");
  EXPECT_EQ(all[1], "");
}

// Only the card at the port, its port taken whole: 3-1 is neither 3-10 nor 3-1.4, whose cards are
// never opened.
TEST_F(CardlinkTest, InitAtPortOpensOnlyTheCardThere) {
  ASSERT_TRUE(bus::configure("card id=2 port=3-10; card id=3 port=3-1.4; card id=1 fw=0107 port=3-1"));
  Context context;
  EXPECT_EQ(stdout_of([&] { context.reset(Tav_InitAtPort("3-1")); }), "");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context.get()), 1);
  std::array<int8_t, 8> ids;
  ASSERT_TRUE(Tav_GetCardIdTable(context.get(), ids.data()));
  EXPECT_EQ(ids, (std::array<int8_t, 8>{1, -1, -1, -1, -1, -1, -1, -1}));
  char port[TAV_PORT_SIZE];
  ASSERT_TRUE(Tav_GetCardPort(context.get(), 0, port, sizeof port));
  EXPECT_STREQ(port, "3-1");
  uint16_t vendor_id = 0, product_id = 0;
  uint8_t card_id = 0;
  char fw[5] = {}, boot[5] = {};
  ASSERT_TRUE(Tav_GetDevInfoByRow(context.get(), 0, &vendor_id, &product_id, &card_id, fw, boot));
  EXPECT_STREQ(fw, "0107");
  EXPECT_TRUE(writes_to(bus::path(0)).empty());
  EXPECT_TRUE(writes_to(bus::path(1)).empty());
  EXPECT_FALSE(writes_to(bus::path(2)).empty());
}

TEST_F(CardlinkTest, InitAtPortWithoutACardThereIsNull) {
  ASSERT_TRUE(bus::configure("card id=1 port=3-1; bsl port=3-2"));
  for (const char* port : {"3-2", "3-1.1", "3", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(Tav_InitAtPort(port), nullptr) << (port ? port : "null"); }), "");
  EXPECT_TRUE(bus::wire().empty());
  ASSERT_TRUE(bus::configure("sysfs none; card id=1"));
  EXPECT_EQ(Tav_InitAtPort("1-1"), nullptr) << "no ports, no card at any";
}

// Eight threads, one per card, each with a context of its own over and over; their nodes are
// root-only at first, so that opens fail and hidapi's global error is written and read while the
// other threads list and open. Each thread reads its own card, and each card hears only its own.
TEST_F(CardlinkTest, ThreadsEachWithTheirOwnCardNeverCrossTalk) {
  constexpr int kCards = 8, kRounds = 4;
  std::string devices;
  for (int i = 1; i <= kCards; ++i)
    devices += "card id=" + std::to_string(i) + " fw=010" + std::to_string(i) + " serial=SN" + std::to_string(i) +
               " port=" + (i % 2 ? "3-1." : "4-1.") + std::to_string(i) + " acl_delay=250;";
  ASSERT_TRUE(bus::configure(devices));
  std::vector<std::string> seen(kCards);
  std::string printed = stdout_of([&] {
    std::vector<std::thread> threads;
    for (int i = 1; i <= kCards; ++i)
      threads.emplace_back([&seen, i] {
        const std::string port = (i % 2 ? "3-1." : "4-1.") + std::to_string(i);
        for (int round = 0; round < kRounds; ++round) {
          CardContext* context = Tav_InitAtPort(port.c_str());
          std::array<int8_t, 8> ids{};
          uint16_t vendor_id = 0, product_id = 0;
          uint8_t card_id = 0;
          char fw[5] = {}, boot[5] = {}, sn[8] = {};
          if (context && Tav_GetCardIdTable(context, ids.data()) &&
              Tav_GetDevInfoByRow(context, 0, &vendor_id, &product_id, &card_id, fw, boot) &&
              Tav_Read_SN_ByRow(context, 0, sn, 3))
            seen[static_cast<std::size_t>(i - 1)] += std::to_string(ids[0]) + " " + fw + " " + sn + ";";
          Tav_Close(context);
        }
      });
    for (std::thread& thread : threads) thread.join();
  });
  EXPECT_EQ(printed, "");
  for (int i = 1; i <= kCards; ++i) {
    std::string expected;
    for (int round = 0; round < kRounds; ++round)
      expected += std::to_string(i) + " 010" + std::to_string(i) + " SN" + std::to_string(i) + ";";
    EXPECT_EQ(seen[static_cast<std::size_t>(i - 1)], expected) << "card " << i;
  }
  // Every card heard the same conversation, each round: the one thread's that owns it.
  const std::vector<std::string> first = bus::board(0).commands();
  ASSERT_FALSE(first.empty());
  for (std::size_t i = 1; i < kCards; ++i) EXPECT_EQ(bus::board(i).commands(), first) << "card " << i + 1;
}

}  // namespace
