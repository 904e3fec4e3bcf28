// The updater's pauses go through a Clock so that tests can run the update on virtual time;
// production uses SystemClock, which really sleeps.
#pragma once

#include <cstdint>
#include <memory>

namespace cardflash {

class StopRequest;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Pause(int milliseconds) = 0;
  // Milliseconds from a fixed point of the clock's own: a pause that polls the boot loader on
  // its way still ends when it was meant to.
  virtual std::int64_t NowMs() = 0;
  // A clock of the same kind for another run that goes on beside this one's (every card of a
  // server at once), whose pauses `stop` may cut.
  virtual std::unique_ptr<Clock> ForRun(const StopRequest* stop) = 0;
};

// Really sleeps. With a StopRequest, a pause ends early once a stop may cut it (looked at every
// 10 ms: a signal handler can do no more than set the request).
class SystemClock : public Clock {
 public:
  explicit SystemClock(const StopRequest* stop = nullptr) : stop_(stop) {}
  void Pause(int milliseconds) override;
  std::int64_t NowMs() override;
  std::unique_ptr<Clock> ForRun(const StopRequest* stop) override { return std::make_unique<SystemClock>(stop); }

 private:
  const StopRequest* stop_;
};

// Pauses until the clock reads `deadline_ms`; at once when it is past.
void PauseUntil(Clock& clock, std::int64_t deadline_ms);

}  // namespace cardflash
