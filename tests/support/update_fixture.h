// Shared pieces for tests that run the updater's engine in-process on the virtual bus.
#pragma once

#include <string>
#include <vector>

#include "clock.h"
#include "log_sink.h"
#include "virtual_bus.h"

namespace testsupport {

// Virtual time: every pause is recorded and moves the bus's clock forward at once, so the
// simulated card "waits" exactly as long as the updater asked. The time read is the bus's, which
// the channel's pauses and a write that blocks move too, as they take the machine's time.
class VirtualClock : public cardflash::Clock {
 public:
  void Pause(int milliseconds) override {
    pauses.push_back(milliseconds);
    cardsim::bus::advance(std::chrono::milliseconds(milliseconds));
  }
  std::int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(cardsim::bus::now()).count();
  }
  // Runs beside each other share the bus's time: each moves it by its own pauses.
  std::unique_ptr<cardflash::Clock> ForRun(const cardflash::StopRequest*) override {
    return std::make_unique<VirtualClock>();
  }
  std::vector<int> pauses;
};

// Collects the log as it is appended.
class RecordingLog : public cardflash::LogSink {
 public:
  void Append(const std::string& text) override {
    all += text;
  }
  std::string all;
};

// The lines of a log, each without its "\r\n"; a last piece without one is marked.
inline std::vector<std::string> log_lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
    out.push_back(text.substr(start, at - start));
  if (start < text.size()) out.push_back(text.substr(start) + " (no line end)");
  return out;
}

}  // namespace testsupport
