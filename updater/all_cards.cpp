#include "all_cards.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "card_protocol.h"
#include "context_holder.h"
#include "device_scan.h"
#include "headless.h"
#include "interrupt_watch.h"
#include "json_output.h"
#include "platform.h"
#include "update_sequence.h"

namespace cardflash {

namespace {

// The log lines of every card and the progress line of each card that downloads now, on one
// output. On a terminal the progress lines stay below the log: erased before a log line is
// written, drawn again after it.
class SharedConsole {
 public:
  explicit SharedConsole(bool standard_error)
      : console_(standard_error), out_(standard_error ? stderr : stdout) {}

  bool ShowsProgress() const { return console_.ShowsProgress(); }

  void Line(const std::string& line) {
    std::lock_guard lock(mutex_);
    Erase();
    const std::string text = console_.FromBig5(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), out_);
    Draw();
    std::fflush(out_);
  }

  void Progress(const std::string& prefix, int sent, int total) {
    std::lock_guard lock(mutex_);
    Erase();
    auto at = std::find_if(lines_.begin(), lines_.end(), [&](const auto& line) { return line.first == prefix; });
    if (sent >= total) {
      if (at != lines_.end()) lines_.erase(at);
    } else {
      char text[64];
      std::snprintf(text, sizeof text, "  %d/%d blocks (%d%%)", sent, total, total > 0 ? sent * 100 / total : 100);
      if (at == lines_.end()) at = lines_.insert(lines_.end(), {prefix, ""});
      at->second = prefix + text;
    }
    Draw();
    std::fflush(out_);
  }

 private:
  // The cursor stands at the end of the last progress line.
  void Erase() {
    if (drawn_ == 0) return;
    if (drawn_ > 1) std::fprintf(out_, "\033[%dA", drawn_ - 1);
    std::fputs("\r\033[J", out_);
    drawn_ = 0;
  }
  void Draw() {
    for (std::size_t i = 0; i < lines_.size(); ++i) std::fprintf(out_, "%s%s", i ? "\n" : "", lines_[i].second.c_str());
    drawn_ = static_cast<int>(lines_.size());
  }

  std::mutex mutex_;
  ConsoleOutput console_;
  std::FILE* out_;
  std::vector<std::pair<std::string, std::string>> lines_;  // prefix, line
  int drawn_ = 0;
};

// One card's log: each whole line, its port before it.
class PrefixedLog : public LogSink {
 public:
  PrefixedLog(SharedConsole& console, std::string prefix) : console_(console), prefix_(std::move(prefix)) {}
  void Append(const std::string& piece) override {
    pending_ += piece;
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
      std::string line = pending_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      console_.Line(prefix_ + line);
    }
  }

 private:
  SharedConsole& console_;
  std::string prefix_;
  std::string pending_;
};

class CardProgress : public DownloadProgress {
 public:
  CardProgress(SharedConsole& console, std::string prefix) : console_(console), prefix_(std::move(prefix)) {}
  void BlockSent(int sent, int total) override { console_.Progress(prefix_, sent, total); }

 private:
  SharedConsole& console_;
  std::string prefix_;
};

// One card of the run: its port, what its run read of it, and how it ended.
struct CardJob {
  std::string port;
  int card_id = 0;
  std::string old_version;  // empty: its identity could not be read
  StopRequest stop;
  std::unique_ptr<Clock> clock;
  std::unique_ptr<PrefixedLog> log;
  std::unique_ptr<CardProgress> progress;
  std::unique_ptr<UpdateRun> run;
  int exit = kExitFailed;
};

const char* StateName(CardState state) {
  switch (state) {
    case CardState::kUntouched: return "untouched";
    case CardState::kSwitching: return "switching";
    case CardState::kInBootLoader: return "in_boot_loader";
    case CardState::kReset: return "reset";
    case CardState::kUpdated: return "updated";
  }
  return "";
}

// Where a card ended, in the table's words.
const char* StateWords(CardState state) {
  switch (state) {
    case CardState::kUntouched: return "untouched";
    case CardState::kSwitching: return "perhaps in its boot loader";
    case CardState::kInBootLoader: return "in its boot loader";
    case CardState::kReset: return "reset, not answering as a card";
    case CardState::kUpdated: return "runs the new firmware";
  }
  return "";
}

CardState FinalState(const CardJob& job) { return job.run->state.load(); }

const char* ResultName(const CardJob& job) {
  if (job.exit == kExitOk) return "updated";
  return job.exit == kExitInterrupted ? "stopped" : "failed";
}

std::string ResultText(const CardJob& job) {
  if (job.exit == kExitOk) return "updated";
  if (job.exit == kExitInterrupted) return std::string("stopped, ") + StateWords(FinalState(job));
  return std::string("failed, ") + StateWords(FinalState(job)) + " (" + std::to_string(job.exit) + ")";
}

const std::string& NewVersion(const CardJob& job) { return job.run->new_fw_version; }

void PrintTable(const std::vector<std::unique_ptr<CardJob>>& jobs) {
  std::size_t port_width = 4;
  for (const auto& job : jobs) port_width = std::max(port_width, job->port.size());
  const int width = static_cast<int>(port_width);
  std::printf("%-*s  CardId  Old   New   Result\n", width, "Port");
  auto shown = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
  for (const auto& job : jobs)
    std::printf("%-*s  %-6d  %-4s  %-4s  %s\n", width, shown(job->port).c_str(), job->card_id,
                shown(job->old_version).c_str(), shown(NewVersion(*job)).c_str(), ResultText(*job).c_str());
  std::fflush(stdout);
}

void PrintJson(const std::vector<std::unique_ptr<CardJob>>& jobs, int exit) {
  Json cards = Json::array();
  for (const auto& job : jobs) {
    cards.push_back({{"port", TextOrNull(job->port)},
                     {"card_id", job->card_id},
                     {"old_version", TextOrNull(job->old_version)},
                     {"new_version", TextOrNull(NewVersion(*job))},
                     {"result", ResultName(*job)},
                     {"state", StateName(FinalState(*job))},
                     {"exit", job->exit}});
  }
  WriteJson({{"cards", cards}, {"exit", exit}});
}

// One card's whole run, on a thread of its own: only the card at its port is opened, from its
// identity on.
void RunCard(CardJob& job) {
  if (job.stop.Requested()) {  // Ctrl-C before the card's turn: it is not started
    AppendLog(*job.log, "Stopped on request\r\n");
    AppendLog(*job.log, "%s\r\n", StateLine(CardState::kUntouched, "").c_str());
    job.exit = kExitInterrupted;
    return;
  }
  UpdateRun& run = *job.run;
  // A card without a port is the only one listed (several without ports are refused).
  run.context.reset(job.port.empty() ? Tav_Init() : Tav_InitAtPort(job.port.c_str()));
  std::int8_t ids[cardlink::kCardTableCapacity] = {};
  if (!run.context) {
    AppendLog(*job.log, "Error Can find Msp430 Device\r\n");
    return;
  }
  Tav_GetCardIdTable(run.context.get(), ids);
  job.card_id = ids[0];
  if (!LogCardIdentity(run.context.get(), *job.log, 0, &job.old_version)) return;
  AppendLog(*job.log, "Load Msp430 FW\r\n");
  AppendLog(*job.log, "%s\r\n", run.firmware_path.c_str());
  job.exit = ExitStatusOf(run, RunUpdate(run));
}

}  // namespace

int UpdateAllCards(const AllCardsOptions& options, Clock& clock) {
  SharedConsole console(options.json);
  PrefixedLog plain(console, "");
  // The cards are only listed here: each is opened by its own run, all at once.
  char ports[cardlink::kCardTableCapacity][TAV_PORT_SIZE] = {};
  const int rows = Tav_ListCardPorts(ports, cardlink::kCardTableCapacity);
  if (rows < 0) return kExitFailed;  // the library has said why
  if (rows == 0) {
    AppendLog(plain, "Error Can find Msp430 Device\r\n");
    return kExitFailed;
  }
  AppendLog(plain, "Total %d Msp430 find\r\n", rows);
  // One run per port: a card that lists several devices has several rows at one port.
  std::vector<std::unique_ptr<CardJob>> jobs;
  bool without_port = false;
  for (int row = 0; row < rows && row < cardlink::kCardTableCapacity; ++row) {
    const std::string port = ports[row];
    if (port.empty()) without_port = true;
    if (std::any_of(jobs.begin(), jobs.end(), [&](const auto& job) { return job->port == port; })) continue;
    jobs.push_back(std::make_unique<CardJob>());
    jobs.back()->port = port;
  }
  if (without_port && rows > 1) {
    std::fputs("Cardflash: several cards are listed without USB ports (Windows, or no sysfs): their boot loaders "
               "cannot be told apart, so --all updates none; update one card at a time with the others unplugged\n",
               stderr);
    return kExitBoardCount;
  }

  InterruptWatch watch;
  RamBslPlaces places = DefaultRamBslPlaces();
  if (!options.ram_bsl.empty()) places.file = FullPath(options.ram_bsl);
  const std::string firmware = FullPath(options.firmware);
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    CardJob& job = *jobs[i];
    const std::string prefix = job.port.empty() ? "" : "[" + job.port + "] ";
    job.clock = clock.ForRun(&job.stop);
    job.log = std::make_unique<PrefixedLog>(console, prefix);
    job.progress = std::make_unique<CardProgress>(console, prefix);
    job.run.reset(new UpdateRun{{}, firmware, places, *job.log, *job.clock});
    job.run->verify = options.verify;
    job.run->port_in_advice = job.port;
    job.run->stop = &job.stop;
    if (console.ShowsProgress()) job.run->progress = job.progress.get();
    watch.Watch(job.stop, prefix);
    watch.Follow(static_cast<int>(i), *job.run);
  }

  const std::size_t at_once = options.jobs > 0 ? std::min<std::size_t>(options.jobs, jobs.size()) : jobs.size();
  AppendLog(plain, "Update %zu card(s), %zu at a time\r\n", jobs.size(), at_once);
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i; (i = next++) < jobs.size();) RunCard(*jobs[i]);
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < at_once; ++t) threads.emplace_back(worker);
  for (std::thread& thread : threads) thread.join();

  int exit = kExitOk;
  bool stopped = false;
  for (const auto& job : jobs) {
    if (job->exit == kExitInterrupted) stopped = true;
    else exit = std::max(exit, job->exit);
  }
  if (stopped) exit = kExitInterrupted;
  if (options.json) PrintJson(jobs, exit);
  else PrintTable(jobs);
  return exit;
}

}  // namespace cardflash
