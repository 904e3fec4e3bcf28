// Ctrl-C during a scan or an update. The first asks every run to stop at its next safe point; a
// second one, 2 s or more after it, ends the program at once with the lines that say where each
// card is. Everything the handler reads is built before it is published.
#pragma once

#include <atomic>
#include <string>

#include "platform.h"
#include "stop_request.h"
#include "update_sequence.h"

namespace cardflash {

class InterruptWatch {
 public:
  // The most runs one watch follows: the card table's size.
  static constexpr int kMaxRuns = 8;

  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Ctrl-C asks `stop` to stop; its run is followed with Follow, and a second Ctrl-C before that
  // says its card is untouched, after `prefix`. Called before the runs start (the handler reads what
  // this writes); false when kMaxRuns are watched already.
  bool Watch(StopRequest& stop, const std::string& prefix = {});
  // Once for the `index`-th watched stop's run: from now on a second Ctrl-C tells where `run` has
  // brought its card, after the prefix. `run` must outlive the watch.
  void Follow(int index, const UpdateRun& run);

 private:
  struct Followed {
    StopRequest* stop = nullptr;
    std::atomic<const std::atomic<CardState>*> state{nullptr};
    std::string prefix;
    std::string words[5];  // by CardState; the untouched card's from Watch on, the others once followed
  };
  static void OnInterrupt();
  void Interrupted();

  Followed runs_[kMaxRuns];
  std::atomic<int> count_{0};
  std::atomic<std::int64_t> first_ms_{-1};
  InterruptGuard guard_;
};

}  // namespace cardflash
