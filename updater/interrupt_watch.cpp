#include "interrupt_watch.h"

#include <algorithm>
#include <cstring>

namespace cardflash {

namespace {

constexpr std::int64_t kSecondInterruptMs = 2000;
constexpr char kStoppedAtOnce[] = "Cardflash: stopped at once\n";

std::atomic<InterruptWatch*> watch_now{nullptr};
static_assert(std::atomic<std::int64_t>::is_always_lock_free && std::atomic<InterruptWatch*>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free);

}  // namespace

InterruptWatch::InterruptWatch() : guard_(OnInterrupt) { watch_now = this; }

InterruptWatch::~InterruptWatch() { watch_now = nullptr; }

bool InterruptWatch::Watch(StopRequest& stop, const std::string& prefix) {
  const int index = count_.load();
  if (index >= kMaxRuns) return false;
  Followed& slot = runs_[index];
  slot.stop = &stop;
  slot.prefix = prefix;
  slot.words[static_cast<int>(CardState::kUntouched)] = prefix + StateLine(CardState::kUntouched, "") + "\n";
  count_ = index + 1;
  return true;
}

void InterruptWatch::Follow(int index, const UpdateRun& run) {
  if (index < 0 || index >= count_.load()) return;
  Followed& slot = runs_[index];
  if (slot.state.load()) return;  // its words are published: never written again
  for (CardState state : {CardState::kSwitching, CardState::kInBootLoader, CardState::kReset, CardState::kUpdated})
    slot.words[static_cast<int>(state)] = slot.prefix + StateLine(state, run.firmware_path, run.port_in_advice) + "\n";
  slot.state = &run.state;
}

void InterruptWatch::OnInterrupt() {
  if (InterruptWatch* watch = watch_now.load()) watch->Interrupted();
}

// Runs as a signal handler: atomics, memcpy and the platform's write-and-exit only.
void InterruptWatch::Interrupted() {
  const std::int64_t now = MonotonicMs();
  std::int64_t first = -1;
  const int count = count_.load();
  if (first_ms_.compare_exchange_strong(first, now)) {
    for (int i = 0; i < count; ++i) runs_[i].stop->Request();
    return;
  }
  if (now - first < kSecondInterruptMs) return;
  static char text[kMaxRuns * 512 + sizeof kStoppedAtOnce];
  std::size_t size = sizeof kStoppedAtOnce - 1;
  std::memcpy(text, kStoppedAtOnce, size);
  for (int i = 0; i < count; ++i) {
    const std::atomic<CardState>* state = runs_[i].state.load();
    const std::string& words = runs_[i].words[static_cast<int>(state ? state->load() : CardState::kUntouched)];
    const std::size_t n = std::min(words.size(), sizeof text - size);
    std::memcpy(text + size, words.data(), n);
    size += n;
  }
  WriteErrorAndExit(text, size, 130);
}

}  // namespace cardflash
