// How long one Tav_Init takes with one and with three simulated cards. Each card costs two
// card-id exchanges (priming read and query) of at least 200 ms each (the channel's fixed pauses),
// so the figures are about 0.4 s per card. Prints the figures; run on its own with
//   ctest --test-dir BUILD -R cardlink_timing -V
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cardlink.h"
#include "virtual_bus.h"

namespace bus = cardsim::bus;

namespace {

double init_ms(int cards) {
  bus::reset();
  for (int i = 0; i < cards; ++i) {
    cardsim::BoardSettings s;
    s.card_id = static_cast<char>('1' + i);
    bus::add_card(s);
  }
  auto start = std::chrono::steady_clock::now();
  CardContext* context = Tav_Init();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context), cards);
  Tav_Close(context);
  return ms;
}

TEST(CardlinkTiming, InitWithOneAndWithThreeCards) {
  constexpr int kRuns = 3;
  for (int cards : {1, 3}) {
    std::vector<double> runs;
    for (int i = 0; i < kRuns; ++i) runs.push_back(init_ms(cards));
    double lowest = *std::min_element(runs.begin(), runs.end());
    double highest = *std::max_element(runs.begin(), runs.end());
    double mean = 0;
    for (double r : runs) mean += r;
    mean /= kRuns;
    std::printf("Tav_Init with %d simulated card%s: mean %.1f ms, min %.1f ms, max %.1f ms (%d runs)\n", cards,
                cards == 1 ? "" : "s", mean, lowest, highest, kRuns);
    RecordProperty("init_ms_" + std::to_string(cards) + "_cards", std::to_string(mean));
    EXPECT_GE(lowest, 400.0 * cards - 1);   // two exchanges of at least 200 ms per card
    EXPECT_LT(highest, 400.0 * cards + 300);  // and nothing else of weight
  }
}

}  // namespace
