// Cardlink's exports against two simulated cards whose every report to the host comes from the
// fuzzer's input: any length, any content, or none, in any order (unsolicited, stale at the
// priming read, bursts, missing on some polls). Byte 0 picks the serial-number length to read
// (1 to 32); in the rest, each time a card is asked for input, a control byte below 0x40 means
// nothing now, any other sends the next (control % 66) bytes as a report.
//
// Beyond the sanitizers (the out-buffers are heap blocks of their documented size), the exports'
// promises: one row per card, NUL-terminated texts, out-buffers untouched when a call fails, no
// handle left open. The boards are reused: their replies come from the stream, so nothing of an
// earlier input shows in a later one.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "cardlink.h"
#include "virtual_bus.h"

namespace {

struct ReportStream {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  std::optional<cardsim::Report> next() {
    if (at >= size) return std::nullopt;
    std::uint8_t control = data[at++];
    if (control < 0x40) return std::nullopt;
    std::size_t n = std::min<std::size_t>(control % 66, size - at);
    cardsim::Report r(data + at, data + at + n);
    at += n;
    return r;
  }
};

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

constexpr int kCards = 2;
ReportStream current{nullptr, 0};
int runs_on_this_bus = 0;

void make_bus() {
  cardsim::bus::reset();
  for (int i = 0; i < kCards; ++i) {
    cardsim::BoardSettings settings;
    settings.card_id = static_cast<char>('1' + i);
    settings.reply_source = [](cardsim::SimTime) { return current.next(); };
    cardsim::bus::add_card(settings);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int serial_length = 1 + data[0] % 32;
  current = ReportStream{data + 1, size - 1};
  // Afresh now and then: the boards keep a record of the commands they received.
  if (runs_on_this_bus++ % 4096 == 0) make_bus();
  cardsim::bus::clear_wire();

  CardContext* context = Tav_Init();
  require(context != nullptr, "cards present but no context");
  require(Tav_GetCardNum(context) == kCards, "card count differs from the cards listed");

  auto table = std::make_unique<std::int8_t[]>(8);
  require(Tav_GetCardIdTable(context, table.get()), "card id table refused");

  // Out-buffers start filled with 'X', so that a missing NUL or a write on failure shows.
  auto filled = [](std::size_t n) {
    auto p = std::make_unique<char[]>(n);
    std::memset(p.get(), 'X', n);
    return p;
  };
  auto untouched = [](const char* p, std::size_t n) { return std::all_of(p, p + n, [](char c) { return c == 'X'; }); };
  auto vendor_id = std::make_unique<std::uint16_t>();
  auto product_id = std::make_unique<std::uint16_t>();
  auto card_id = std::make_unique<std::uint8_t>();
  auto fw_version = filled(5);
  auto boot_version = filled(5);
  if (Tav_GetFirstDevInfoToFlash(context, vendor_id.get(), product_id.get(), card_id.get(), fw_version.get(),
                                 boot_version.get())) {
    require(fw_version[4] == '\0' && boot_version[4] == '\0', "version without its NUL");
  } else {
    require(untouched(fw_version.get(), 5) && untouched(boot_version.get(), 5), "versions written by a failed call");
  }
  require(*vendor_id == 0x2933, "first card's vendor id");

  const auto serial_size = static_cast<std::size_t>(serial_length) + 1;
  auto serial = filled(serial_size);
  if (Tav_Read_SN(context, table[0], serial.get(), serial_length))
    require(serial[serial_size - 1] == '\0', "serial number without its NUL");
  else
    require(untouched(serial.get(), serial_size), "serial number buffer written by a failed call");

  require(Tav_Close(context), "Tav_Close");
  require(cardsim::bus::open_handles() == 0, "a device handle left open");
  return 0;
}
