#include "clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "stop_request.h"

namespace cardflash {

void SystemClock::Pause(int milliseconds) {
  if (!stop_) return std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (auto now = std::chrono::steady_clock::now(); now < end && !stop_->CutsPauses();
       now = std::chrono::steady_clock::now())
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(10)));
}

std::int64_t SystemClock::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PauseUntil(Clock& clock, std::int64_t deadline_ms) {
  const std::int64_t left = deadline_ms - clock.NowMs();
  if (left > 0) clock.Pause(static_cast<int>(left));
}

}  // namespace cardflash
