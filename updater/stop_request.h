// A request to stop an update at its next safe point (Ctrl-C in the headless front end). The
// request is one lock-free atomic store, so a signal handler may make it. From the reset write to
// the card's identity read the run holds the request: nothing is cut short there, since a card
// whose reset is underway is only safe once it has answered as a card.
#pragma once

#include <atomic>

namespace cardflash {

class StopRequest {
 public:
  void Request() { requested_.store(true); }
  bool Requested() const { return requested_.load(); }
  // True when a pause may end early: a stop was asked for and is not held off.
  bool CutsPauses() const { return requested_.load() && !held_.load(); }
  void Hold() { held_.store(true); }
  void Release() { held_.store(false); }

 private:
  std::atomic<bool> requested_{false};
  std::atomic<bool> held_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace cardflash
