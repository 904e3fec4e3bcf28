#include "headless.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card_protocol.h"
#include "cardlink_version.h"
#include "device_scan.h"
#include "platform.h"
#include "update_sequence.h"

namespace cardflash {

namespace {

const char kUsageHead[] =
    "Usage: Cardflash [--scan | --update FILE | --recover FILE] [--no-verify] [--ram-bsl FILE]\n"
    "Scan for the card controller and update its firmware from a TI-TXT file.\n"
    "\n"
    "  (no option)      open the Cardflash window (needs a display)\n"
    "  --scan           list the cards and show the identity of the first one\n"
    "  --update FILE    scan, then flash FILE into the card (about 20 s); exactly one card\n"
    "  --recover FILE   flash FILE into a controller left in its boot loader (no card listed,\n"
    "                   exactly one boot loader 2047:0200)\n"
    "  --no-verify      with --update or --recover: skip the CRC check of every segment that\n"
    "                   otherwise runs before the controller is reset into the new firmware\n"
    "                   (for a boot loader without CRC CHECK)\n"
    "  --verify         the CRC check, which runs anyway (kept for scripts that name it)\n"
    "  --ram-bsl FILE   TI's RAM boot-loader image; by default RAM_BSL_00.08.08.39.txt beside\n";
// Then where the platform looks for it (kRamBslFoldersHelp).
const char kUsageTail[] =
    "  --version        show the program's version\n"
    "  -h, --help       show this text\n"
    "\n"
    "Ctrl-C stops an update at its next safe point and says where the card is; a second one,\n"
    "2 s later, ends the program at once.\n"
    "\n"
    "Exit status, by where the card is:\n"
    "  0    the scan found a card; the update or recovery completed and the card answered\n"
    "  1    failed, the card untouched (file refused, no card, the switch refused)\n"
    "  2    usage error, or no display for the window\n"
    "  3    --update found more than one card, or --recover more than one boot loader\n"
    "  4    failed with the controller in its boot loader, or perhaps on its way there; the scan\n"
    "       found only a boot loader: Cardflash --recover FILE brings it back\n"
    "  5    failed after the reset: the card did not answer as a card\n"
    "  130  stopped by Ctrl-C; the last line says where the card is\n";

std::string Usage() { return std::string(kUsageHead) + kRamBslFoldersHelp + kUsageTail; }

// Log lines on standard output, as a terminal user expects them: the line ends of the platform's
// text output, and the device-found line's Big5 full-width space in the output's character set.
class StdoutLog : public LogSink {
 public:
  bool ShowsProgress() const { return console_.ShowsProgress(); }

  void Append(const std::string& piece) override {
    std::string text = console_.FromBig5(piece);
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

 private:
  ConsoleOutput console_;
};

// A download's progress on one line of the terminal, rewritten in place and cleared at its end, so
// that the log lines around it stay as they are.
class TerminalProgress : public DownloadProgress {
 public:
  void BlockSent(int sent, int total) override {
    const int percent = total > 0 ? sent * 100 / total : 100;
    std::fprintf(stdout, "\r  %d/%d blocks (%d%%)", sent, total, percent);
    if (sent >= total) std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
  }
};

struct Options {
  bool scan = false;
  std::string update, recover, ram_bsl;
  bool verify = false;
  bool no_verify = false;
  bool help = false;
  bool version = false;
};

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "Cardflash: %s\n%s", problem.c_str(), Usage().c_str());
  return kExitUsage;
}

// A card was listed but its identity could not be read: why, as the library kept it. The hint at
// the node's permissions only where they were the reason.
void SayWhyTheCardWasNotRead(CardContext* context) {
  char text[160] = {};
  switch (Tav_GetLastFailure(context, text, sizeof text)) {
    case TAV_FAILURE_NO_ACCESS: std::fputs(kCardAccessHint, stderr); break;
    case TAV_FAILURE_NO_ANSWER: std::fputs("Cardflash: the card was listed but did not answer\n", stderr); break;
    default: std::fprintf(stderr, "Cardflash: the card was listed but could not be read: %s\n", text); break;
  }
}

// The cards as the window's scan shows them, and any controller waiting in its boot loader.
int Scan() {
  StdoutLog log;
  ContextHolder context;
  const bool card = ScanForCard(context, log);
  if (!card && context) SayWhyTheCardWasNotRead(context.get());
  int boot_loaders = 0;
  if (context) {
    boot_loaders = Tav_EnumBootDev(context.get()) ? 1 : 0;
  } else {
    ContextHolder listing(Tav_InitForRecovery(&boot_loaders));
  }
  if (boot_loaders > 0) std::fputs("A controller is in its boot loader: Cardflash --recover FILE brings it back\n", stderr);
  if (card) return kExitOk;
  return boot_loaders > 0 && !context ? kExitInBootLoader : kExitFailed;
}

// Ctrl-C during a scan or an update. The first asks the run to stop at its next safe point; a
// second one, 2 s or more after it, ends the program at once with the line that says where the
// card is. What the handler reads is built before it is published.
constexpr std::int64_t kSecondInterruptMs = 2000;

struct InterruptTarget {
  StopRequest* stop = nullptr;
  std::atomic<std::int64_t> first_ms{-1};
  std::atomic<const std::atomic<CardState>*> state{nullptr};  // the run's, once one goes
  std::string last_words[5];                                   // by CardState
};
std::atomic<InterruptTarget*> interrupt_target{nullptr};
static_assert(std::atomic<std::int64_t>::is_always_lock_free && std::atomic<InterruptTarget*>::is_always_lock_free);

void OnInterrupt() {
  InterruptTarget* target = interrupt_target.load();
  if (!target) return;
  const std::int64_t now = MonotonicMs();
  std::int64_t first = -1;
  if (target->first_ms.compare_exchange_strong(first, now)) return target->stop->Request();
  if (now - first < kSecondInterruptMs) return;
  const std::atomic<CardState>* state = target->state.load();
  const std::string& words = target->last_words[static_cast<int>(state ? state->load() : CardState::kUntouched)];
  WriteErrorAndExit(words.data(), words.size(), kExitInterrupted);
}

// Ctrl-C stops the scan and the run while it lives.
class InterruptWatch {
 public:
  explicit InterruptWatch(StopRequest& stop) : guard_(OnInterrupt) {
    target_.stop = &stop;
    target_.last_words[static_cast<int>(CardState::kUntouched)] =
        "Cardflash: stopped at once\n" + StateLine(CardState::kUntouched, "") + "\n";
    interrupt_target = &target_;
  }
  ~InterruptWatch() { interrupt_target = nullptr; }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // From now on a second Ctrl-C tells where this run has brought the card.
  void Follow(const UpdateRun& run) {
    for (CardState state : {CardState::kSwitching, CardState::kInBootLoader, CardState::kReset, CardState::kUpdated})
      target_.last_words[static_cast<int>(state)] =
          "Cardflash: stopped at once\n" + StateLine(state, run.firmware_path) + "\n";
    target_.state = &run.state;
  }

 private:
  InterruptTarget target_;
  InterruptGuard guard_;
};

int ExitStatus(const UpdateRun& run, bool done) {
  if (run.stopped) return kExitInterrupted;
  if (done) return kExitOk;
  switch (run.state.load()) {
    case CardState::kSwitching:
    case CardState::kInBootLoader: return kExitInBootLoader;
    case CardState::kReset: return kExitAfterReset;
    default: return kExitFailed;
  }
}

// Runs one update or recovery with the options' image, checks and progress.
int Flash(const Options& options, ContextHolder context, StdoutLog& log, Clock& clock, StopRequest& stop,
          InterruptWatch& watch, bool recover) {
  const std::string path = FullPath(recover ? options.recover : options.update);
  AppendLog(log, "Load Msp430 FW\r\n");
  AppendLog(log, "%s\r\n", path.c_str());
  RamBslPlaces places = DefaultRamBslPlaces();
  if (!options.ram_bsl.empty()) places.file = FullPath(options.ram_bsl);
  TerminalProgress progress;
  UpdateRun run{std::move(context), path, std::move(places), log, clock};
  if (options.no_verify) run.verify = false;
  if (log.ShowsProgress()) run.progress = &progress;
  run.stop = &stop;
  watch.Follow(run);
  const bool done = recover ? RunRecovery(run) : RunUpdate(run);
  return ExitStatus(run, done);
}

int Update(const Options& options, Clock& clock, StopRequest& stop) {
  InterruptWatch watch(stop);
  StdoutLog log;
  ContextHolder context;
  if (!ScanForCard(context, log)) {
    if (context) SayWhyTheCardWasNotRead(context.get());
    return kExitFailed;
  }
  if (int cards = Tav_GetCardNum(context.get()); cards > 1) {
    std::int8_t ids[cardlink::kCardTableCapacity];
    Tav_GetCardIdTable(context.get(), ids);
    std::string list;
    for (int i = 0; i < cards && i < cardlink::kCardTableCapacity; ++i) list += (i ? ", " : "") + std::to_string(ids[i]);
    std::fprintf(stderr, "Cardflash: %d cards are listed (card ids %s); --update flashes exactly one: remove the others\n",
                 cards, list.c_str());
    return kExitBoardCount;
  }
  return Flash(options, std::move(context), log, clock, stop, watch, false);
}

int Recover(const Options& options, Clock& clock, StopRequest& stop) {
  InterruptWatch watch(stop);
  StdoutLog log;
  int boot_loaders = 0;
  ContextHolder context(Tav_InitForRecovery(&boot_loaders));
  if (!context) return kExitFailed;  // the library has said why
  if (int cards = Tav_GetCardNum(context.get()); cards > 0) {
    std::fprintf(stderr, "Cardflash: %d card(s) listed: a controller that runs its firmware is updated with --update FILE\n",
                 cards);
    return kExitFailed;
  }
  if (boot_loaders == 0) {
    std::fputs("Cardflash: no card and no boot loader (2047:0200) is listed: nothing to recover\n", stderr);
    return kExitFailed;
  }
  if (boot_loaders > 1) {
    std::fprintf(stderr, "Cardflash: %d boot loaders (2047:0200) are listed; --recover flashes exactly one: unplug the others\n",
                 boot_loaders);
    return kExitBoardCount;
  }
  return Flash(options, std::move(context), log, clock, stop, watch, true);
}

// Qt's own command-line options (QGuiApplication, QApplication, the xcb platform): with these
// alone the window opens. The ones listed in the second set take a value.
bool IsQtOption(const std::string& arg, bool* takes_value) {
  static const char* const kFlags[] = {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync", "-qmljsdebugger"};
  static const char* const kWithValue[] = {"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                           "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-session",
                                           "-style", "-stylesheet", "-display", "-geometry", "-title", "-name"};
  std::string name = arg.rfind("--", 0) == 0 ? arg.substr(1) : arg;
  const bool has_value = name.find('=') != std::string::npos;
  name = name.substr(0, name.find('='));
  for (const char* flag : kFlags)
    if (name == flag) return *takes_value = false, true;
  for (const char* option : kWithValue)
    if (name == option) return *takes_value = !has_value, true;
  return false;
}

}  // namespace

bool WantsHeadless(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    bool takes_value = false;
    const std::string arg = argv[i];
    if (arg == "--ram-bsl") takes_value = true;  // the window takes it too
    else if (arg.rfind("--ram-bsl=", 0) != 0 && !IsQtOption(arg, &takes_value)) return true;
    if (takes_value) ++i;
  }
  return false;
}

bool NoDisplayForTheWindow(int argc, char** argv) {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM")) return false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-platform" || arg == "--platform" || arg.rfind("-platform=", 0) == 0 || arg.rfind("--platform=", 0) == 0)
      return false;
  }
  return true;
}

int RefuseWindowWithoutDisplay(const std::string& why) {
  std::fprintf(stderr,
               "Cardflash: no display to open the window on (%s).\n"
               "Without a display: Cardflash --scan, or Cardflash --update FILE (Cardflash --help tells more).\n",
               why.empty() ? "neither DISPLAY nor WAYLAND_DISPLAY is set" : why.c_str());
  return kExitUsage;
}

int RunHeadless(int argc, char** argv, Clock& clock, StopRequest& stop) {
  std::setlocale(LC_CTYPE, "");
  Options options;
  CLI::App app("Cardflash");
  app.set_help_flag();  // the usage text is our own
  app.add_flag("-h,--help", options.help);
  app.add_flag("--version", options.version);
  auto* scan = app.add_flag("--scan", options.scan);
  auto* update = app.add_option("--update", options.update)->type_name("FILE");
  auto* recover = app.add_option("--recover", options.recover)->type_name("FILE");
  auto* verify = app.add_flag("--verify", options.verify);
  app.add_flag("--no-verify", options.no_verify)->excludes(verify);
  app.add_option("--ram-bsl", options.ram_bsl)->type_name("FILE");
  scan->excludes(update)->excludes(recover);
  update->excludes(recover);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return UsageError(error.what());
  }
  if (options.help) {
    std::fputs(Usage().c_str(), stdout);
    return kExitOk;
  }
  if (options.version) {  // no card is looked for
    std::printf("Cardflash %s\n", cardlink::kProjectVersion);
    return kExitOk;
  }
  const bool flashing = !options.update.empty() || !options.recover.empty();
  if (options.verify && !flashing) return UsageError("--verify goes with --update or --recover");
  if (options.no_verify && !flashing) return UsageError("--no-verify goes with --update or --recover");
  if (!options.ram_bsl.empty() && !flashing) return UsageError("--ram-bsl goes with --update or --recover");
  if (options.scan) return Scan();
  if (!options.update.empty()) return Update(options, clock, stop);
  if (!options.recover.empty()) return Recover(options, clock, stop);
  return UsageError("nothing to do");
}

}  // namespace cardflash
