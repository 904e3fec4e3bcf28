#include "headless.h"

#include <CLI/CLI.hpp>
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
    "Exit status: 0 when the scan found a card, or the update or recovery completed and the card\n"
    "answered with its versions; 1 when it failed; 2 on a usage error; 3 when --update finds more\n"
    "than one card or --recover more than one boot loader.\n";

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

int Scan() {
  StdoutLog log;
  ContextHolder context;
  if (ScanForCard(context, log)) return kExitOk;
  if (context) std::fputs(kCardAccessHint, stderr);
  return kExitFailed;
}

// Runs one update or recovery with the options' image, checks and progress.
int Flash(const Options& options, ContextHolder context, StdoutLog& log, Clock& clock, bool recover) {
  const std::string path = FullPath(recover ? options.recover : options.update);
  AppendLog(log, "Load Msp430 FW\r\n");
  AppendLog(log, "%s\r\n", path.c_str());
  RamBslPlaces places = DefaultRamBslPlaces();
  if (!options.ram_bsl.empty()) places.file = FullPath(options.ram_bsl);
  TerminalProgress progress;
  UpdateRun run{std::move(context), path, std::move(places), log, clock};
  if (options.no_verify) run.verify = false;
  if (log.ShowsProgress()) run.progress = &progress;
  return (recover ? RunRecovery(run) : RunUpdate(run)) ? kExitOk : kExitFailed;
}

int Update(const Options& options, Clock& clock) {
  StdoutLog log;
  ContextHolder context;
  if (!ScanForCard(context, log)) {
    if (context) std::fputs(kCardAccessHint, stderr);
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
  return Flash(options, std::move(context), log, clock, false);
}

int Recover(const Options& options, Clock& clock) {
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
  return Flash(options, std::move(context), log, clock, true);
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
    if (!IsQtOption(argv[i], &takes_value)) return true;
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

int RefuseWindowWithoutDisplay() {
  std::fputs(
      "Cardflash: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
      "Without a display: Cardflash --scan, or Cardflash --update FILE (Cardflash --help tells more).\n",
      stderr);
  return kExitUsage;
}

int RunHeadless(int argc, char** argv, Clock& clock) {
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
  if (!options.update.empty()) return Update(options, clock);
  if (!options.recover.empty()) return Recover(options, clock);
  return UsageError("nothing to do");
}

}  // namespace cardflash
