// Cardlink's exports, the whole card and boot-loader path, on a virtual bus built from an
// arbitrary CARDSIM_DEVICES text: any number of cards and interfaces (more rows than the card
// table holds), paths of any length, boards that start in their boot loader, answer late, cut
// their replies short, send stale replies, stay silent or fail their opens, writes and reads.
// The simulated boards answer as the real firmware does; fuzz_card_replies covers replies of
// any content.
//
// Beyond the sanitizers: no context while hid_init fails, at most 8 rows and 0xFF past the last
// one, NUL-terminated version and serial texts, out-buffers untouched on failure, a boot-loader
// read that never reports more than it was given room for, and no device handle left open.
#include <chrono>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cardlink.h"
#include "virtual_bus.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

bool all(const char* p, std::size_t n, char c) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != c) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto parsed = cardsim::parse_bus_setup(text, nullptr);
  // Each board costs a 1 MiB memory image: one more than the card table holds is enough.
  if (!parsed || parsed->devices.size() > 9) return 0;

  cardsim::bus::reset();
  cardsim::bus::configure(text);
  CardContext* context = Tav_Init();
  // The library starts the HID layer once per process and never again: a failing hid_init
  // matters only until one has succeeded.
  static bool layer_started = false;
  if (parsed->init_fails && !layer_started) require(context == nullptr, "a context although hid_init failed");
  if (!parsed->init_fails) layer_started = true;
  if (!context) {
    require(cardsim::bus::open_handles() == 0, "a device handle left open by a failed Tav_Init");
    return 0;
  }

  const int cards = Tav_GetCardNum(context);
  require(cards >= 1 && cards <= 8, "card count outside 1..8");
  std::int8_t table[8];
  require(Tav_GetCardIdTable(context, table), "card id table refused");
  for (int i = cards; i < 8; ++i) require(table[i] == -1, "row past the last card not 0xFF");

  std::uint16_t vendor_id = 0, product_id = 0;
  std::uint8_t card_id = 0;
  char fw_version[5], boot_version[5];
  std::memset(fw_version, 'X', sizeof fw_version);
  std::memset(boot_version, 'X', sizeof boot_version);
  if (Tav_GetFirstDevInfoToFlash(context, &vendor_id, &product_id, &card_id, fw_version, boot_version))
    require(fw_version[4] == '\0' && boot_version[4] == '\0', "version without its NUL");
  else
    require(all(fw_version, 5, 'X') && all(boot_version, 5, 'X'), "versions written by a failed call");

  (void)Tav_Write_SN(context, table[0], "SN0123", 6);
  char serial[33];
  std::memset(serial, 'X', sizeof serial);
  if (Tav_Read_SN(context, table[0], serial, 32))
    require(serial[32] == '\0', "serial number without its NUL");
  else
    require(all(serial, sizeof serial, 'X'), "serial number buffer written by a failed call");

  // The updater's path into the boot loader, with its pause in virtual time.
  (void)Tav_SwitchToISP(context);
  cardsim::bus::advance(std::chrono::seconds(10));
  if (Tav_EnumBootDev(context) && Tav_BslConnect(context)) {
    unsigned char packet[64];
    std::memset(packet, 0xAC, sizeof packet);
    packet[0] = 0x3F;
    packet[1] = 33;
    packet[2] = 0x11;  // RX PASSWORD, all 0xFF
    std::memset(packet + 3, 0xFF, 32);
    (void)Tav_BslWrite(context, packet, sizeof packet);
    cardsim::bus::advance(std::chrono::milliseconds(100));
    unsigned char reply[8];
    int count = -7;
    if (Tav_BslRead(context, reply, sizeof reply, &count))
      require(count >= 0 && count <= static_cast<int>(sizeof reply), "boot-loader read count beyond the buffer");
    else
      require(count == -7, "count written by a failed boot-loader read");
    Tav_BslClose(context);
  }

  require(Tav_Close(context), "Tav_Close");
  require(cardsim::bus::open_handles() == 0, "a device handle left open");
  return 0;
}
