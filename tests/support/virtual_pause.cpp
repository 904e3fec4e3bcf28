#include "virtual_pause.h"

#include <chrono>
#include <mutex>

#include "command_channel.h"
#include "virtual_bus.h"

namespace {

std::mutex record_lock;
std::vector<int> record;
// A fuzzer's long run must not grow the record without end; no test looks this far.
constexpr std::size_t kRecordLimit = 1 << 16;

}  // namespace

namespace cardlink {

void pause_ms(int milliseconds) {
  {
    std::lock_guard<std::mutex> hold(record_lock);
    if (record.size() < kRecordLimit) record.push_back(milliseconds);
  }
  cardsim::bus::advance(std::chrono::milliseconds(milliseconds));
}

}  // namespace cardlink

namespace testsupport {

std::vector<int> channel_pauses() {
  std::lock_guard<std::mutex> hold(record_lock);
  return record;
}

void clear_channel_pauses() {
  std::lock_guard<std::mutex> hold(record_lock);
  record.clear();
}

}  // namespace testsupport
