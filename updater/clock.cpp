#include "clock.h"

#include <chrono>
#include <thread>

namespace cardflash {

void SystemClock::Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

std::int64_t SystemClock::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PauseUntil(Clock& clock, std::int64_t deadline_ms) {
  const std::int64_t left = deadline_ms - clock.NowMs();
  if (left > 0) clock.Pause(static_cast<int>(left));
}

}  // namespace cardflash
