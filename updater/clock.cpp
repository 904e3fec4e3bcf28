#include "clock.h"

#include <chrono>
#include <thread>

namespace cardflash {

void SystemClock::Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace cardflash
