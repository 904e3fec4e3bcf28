// The updater's pauses go through a Clock so that tests can run the update on virtual time;
// production uses SystemClock, which really sleeps.
#pragma once

namespace cardflash {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Pause(int milliseconds) = 0;
};

class SystemClock : public Clock {
 public:
  void Pause(int milliseconds) override;
};

}  // namespace cardflash
