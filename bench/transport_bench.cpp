// Boot-loader reports per second through Cardlink's transport and the packet client, on the
// virtual bus. The real bus carries at most one 64-byte report per millisecond (1000/s).
//   bench_transport [REPORTS]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bsl_client.h"
#include "virtual_bus.h"

int main(int argc, char** argv) {
  const int reports = argc > 1 ? std::atoi(argv[1]) : 20000;
  namespace bus = cardsim::bus;
  bus::reset();
  bus::add_card();
  cardsim::BoardSettings bsl;
  bsl.start_mode = cardsim::Mode::UsbBootLoader;
  bus::add_card(bsl);
  CardContext* context = Tav_Init();
  if (!context || !Tav_EnumBootDev(context) || !Tav_BslConnect(context)) {
    std::fprintf(stderr, "no boot loader on the virtual bus\n");
    return 1;
  }
  std::uint8_t block[cardflash::kDownloadBlockSize] = {};
  auto t = std::chrono::steady_clock::now();
  int ok = 0;
  for (int i = 0; i < reports; ++i)
    ok += cardflash::BslWriteBlock(context, 0x2500 + static_cast<std::uint32_t>(i % 64) * 48, block, 48);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  Tav_Close(context);
  std::printf("%d reports (%d accepted) in %.3f s: %.0f reports/s, %.1f us each (USB full speed: 1000/s)\n", reports,
              ok, s, reports / s, 1e6 * s / reports);
  return 0;
}
