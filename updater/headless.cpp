#include "headless.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "all_cards.h"
#include "card_protocol.h"
#include "cardlink_version.h"
#include "device_scan.h"
#include "interrupt_watch.h"
#include "json_output.h"
#include "platform.h"
#include "update_sequence.h"

namespace cardflash {

namespace {

const char kUsageHead[] =
    "Usage: Cardflash [--scan | --update FILE [--all [--jobs N]] | --recover FILE | --write-sn SN]\n"
    "                 [--card PORT] [--no-verify] [--ram-bsl FILE] [--json]\n"
    "Scan for the card controller and update its firmware from a TI-TXT file.\n"
    "\n"
    "  (no option)      open the Cardflash window (needs a display)\n"
    "  --scan           list the cards and show the identity of the first one; when more than\n"
    "                   one controller is listed, also each card (row, card id, USB port,\n"
    "                   versions, serial number) and each boot loader with its USB port\n"
    "  --update FILE    scan, then flash FILE into the card (about 20 s): the one card listed,\n"
    "                   or the one --card names\n"
    "  --all            with --update: every card listed, all at the same time, each tied to its\n"
    "                   USB port (Linux); each log line starts with the card's [PORT], and a\n"
    "                   table ends the output:\n"
    "                     Port   CardId  Old   New   Result\n"
    "                     3-1.4  1       0102  0200  updated\n"
    "                     3-1.5  2       0102  -     failed, in its boot loader (4)\n"
    "                   one card's failure never stops the others\n"
    "  --jobs N         with --all: at most N cards at once (default: all of them)\n"
    "  --json           with --scan or --all: one JSON document on standard output, the log lines\n"
    "                   on standard error (fields: man Cardflash)\n"
    "  --recover FILE   flash FILE into a controller left in its boot loader: the one boot\n"
    "                   loader 2047:0200 listed when no card is, or the one at --card PORT\n"
    "  --write-sn SN    write the serial number SN (1 to 32 characters) into the card and read\n"
    "                   it back: the one card listed, or the one --card names\n"
    "  --card PORT      the card, or with --recover the boot loader, at this USB port as\n"
    "                   Cardflash --scan shows it (e.g. 3-1.4: bus 3, port 1, port 4 of the hub\n"
    "                   there); a card keeps its port through the update. A single character\n"
    "                   is a card id, taken when no other card has it. Ports come from udev\n"
    "                   (Linux): where there are none, --card is refused\n"
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
    "  1    failed, the card untouched (file refused, no card, the switch refused, --card\n"
    "       names nothing)\n"
    "  2    usage error, or no display for the window\n"
    "  3    more than one card (or boot loader) and none chosen, or --card names a card id\n"
    "       that more than one card has\n"
    "  4    failed with the controller in its boot loader, or perhaps on its way there; the scan\n"
    "       found only a boot loader: Cardflash --recover FILE brings it back\n"
    "  5    failed after the reset: the card did not answer as a card\n"
    "  130  stopped by Ctrl-C; the last line says where the card is\n"
    "With --all: 0 when every card was updated, else the highest status of the failed cards\n"
    "(1, 4, 5); 130 after Ctrl-C, which stops every card at its next safe point; 3 when several\n"
    "cards are listed without USB ports.\n";

std::string Usage() { return std::string(kUsageHead) + kRamBslFoldersHelp + kUsageTail; }

// Log lines on standard output, as a terminal user expects them: the line ends of the platform's
// text output, and the device-found line's Big5 full-width space in the output's character set.
// (On standard error when standard output carries a JSON document.)
class StdoutLog : public LogSink {
 public:
  explicit StdoutLog(bool standard_error = false) : console_(standard_error), out_(standard_error ? stderr : stdout) {}
  bool ShowsProgress() const { return console_.ShowsProgress(); }

  void Append(const std::string& piece) override {
    std::string text = console_.FromBig5(piece);
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

 private:
  ConsoleOutput console_;
  std::FILE* out_;
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
  bool all = false;
  bool json = false;
  int jobs = 0;
  std::string update, recover, ram_bsl, card, write_sn;
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

// Whether `value` of --card is a port: digits, '-', digits, and digits after each '.'.
bool IsPortText(const std::string& value) {
  const auto dash = value.find('-');
  if (dash == 0 || dash == std::string::npos || value.size() >= TAV_PORT_SIZE) return false;
  if (value.find_first_not_of("0123456789") != dash) return false;
  std::size_t at = dash + 1;
  for (;;) {
    const std::size_t end = value.find_first_not_of("0123456789", at);
    if (end == at || at == value.size()) return false;
    if (end == std::string::npos) return true;
    if (value[end] != '.') return false;
    at = end + 1;
  }
}

// The port of each row of the card table; empty for none.
std::vector<std::string> CardPorts(CardContext* context) {
  std::vector<std::string> ports;
  for (int row = 0; row < Tav_GetCardNum(context); ++row) {
    char port[TAV_PORT_SIZE] = {};
    ports.push_back(Tav_GetCardPort(context, row, port, sizeof port) ? port : "");
  }
  return ports;
}

// The port of each boot loader listed now; empty for none.
std::vector<std::string> BootLoaderPorts(CardContext* context) {
  char ports[cardlink::kCardTableCapacity][TAV_PORT_SIZE] = {};
  const int count = Tav_ListBootDevs(context, ports, cardlink::kCardTableCapacity);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(i < cardlink::kCardTableCapacity ? ports[i] : "");
  return out;
}

bool AnyPort(const std::vector<std::string>& ports) {
  for (const std::string& port : ports)
    if (!port.empty()) return true;
  return false;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string list;
  for (const std::string& item : items) list += (list.empty() ? "" : ", ") + item;
  return list;
}

const char kNoPorts[] =
    "Cardflash: --card needs the cards' USB ports, which this system does not show (Windows, or no\n"
    "sysfs); with one card listed, leave --card out\n";

// The row --card names, or the exit status after saying why not: no ports, nothing there, a card
// id that several cards share.
int ChooseCard(CardContext* context, const std::string& value, int* row) {
  const std::vector<std::string> ports = CardPorts(context);
  if (!AnyPort(ports)) {
    std::fputs(kNoPorts, stderr);
    return kExitFailed;
  }
  std::int8_t ids[cardlink::kCardTableCapacity] = {};
  Tav_GetCardIdTable(context, ids);
  const bool by_port = IsPortText(value);
  std::vector<int> rows;
  for (int r = 0; r < static_cast<int>(ports.size()) && r < cardlink::kCardTableCapacity; ++r)
    if (by_port ? ports[static_cast<std::size_t>(r)] == value : ids[r] == static_cast<std::int8_t>(value[0] - '0'))
      rows.push_back(r);
  if (rows.empty()) {
    std::fprintf(stderr, "Cardflash: no card %s %s is listed; Cardflash --scan lists the cards and their ports\n",
                 by_port ? "at port" : "with card id", value.c_str());
    return kExitFailed;
  }
  if (rows.size() > 1) {
    std::vector<std::string> shared;
    for (int r : rows) shared.push_back(ports[static_cast<std::size_t>(r)]);
    std::fprintf(stderr, "Cardflash: %zu cards have card id %s (ports %s): name one with --card PORT\n", rows.size(),
                 value.c_str(), Joined(shared).c_str());
    return kExitBoardCount;
  }
  *row = rows.front();
  return 0;
}

// The first `size` characters of a serial number as a card keeps it, up to the first that is not
// printable ASCII (storage that was never written).
std::string SerialNumberText(const char* read, int size) {
  std::string text;
  for (int i = 0; i < size && read[i] >= 0x21 && read[i] <= 0x7E; ++i) text += read[i];
  return text;
}

// One card of the table as the scan lists it; empty texts for what is not known.
struct CardRow {
  int row = 0;
  int card_id = 0;
  std::string port, fw_version, boot_version, serial_number;
  std::uint16_t vendor_id = 0, product_id = 0;
};

std::vector<CardRow> CardRows(CardContext* context) {
  const std::vector<std::string> ports = CardPorts(context);
  std::int8_t ids[cardlink::kCardTableCapacity] = {};
  Tav_GetCardIdTable(context, ids);
  std::vector<CardRow> rows;
  for (int row = 0; row < static_cast<int>(ports.size()) && row < cardlink::kCardTableCapacity; ++row) {
    CardRow card;
    card.row = row;
    card.card_id = ids[row];
    card.port = ports[static_cast<std::size_t>(row)];
    std::uint8_t card_id = 0;
    char fw[12] = {}, boot[12] = {}, serial[40] = {};
    if (Tav_GetDevInfoByRow(context, row, &card.vendor_id, &card.product_id, &card_id, fw, boot)) {
      card.fw_version = fw;
      card.boot_version = boot;
    }
    if (Tav_Read_SN_ByRow(context, row, serial, 32)) card.serial_number = SerialNumberText(serial, 32);
    rows.push_back(card);
  }
  return rows;
}

// With more than one controller listed, each with its USB port to choose it by: the cards of the
// table, by row, and the boot loaders. "-" for what is not known.
void ListControllers(const std::vector<CardRow>& cards, const std::vector<std::string>& boot_ports) {
  auto shown = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
  for (const CardRow& card : cards)
    std::printf("Card %d: CardId %d, port %s, FW %s, Boot %s, SN %s\n", card.row, card.card_id,
                shown(card.port).c_str(), shown(card.fw_version).c_str(), shown(card.boot_version).c_str(),
                shown(card.serial_number).c_str());
  for (const std::string& port : boot_ports) std::printf("Boot loader: port %s\n", shown(port).c_str());
  std::fflush(stdout);
}

// The scan as one JSON document: every card of the table and every boot loader, null for what is
// not known.
void PrintScanJson(const std::vector<CardRow>& cards, const std::vector<std::string>& boot_ports) {
  Json document = {{"cards", Json::array()}, {"boot_loaders", Json::array()}};
  for (const CardRow& card : cards)
    document["cards"].push_back({{"row", card.row},
                                 {"card_id", card.card_id},
                                 {"port", TextOrNull(card.port)},
                                 {"vendor_id", card.vendor_id},
                                 {"product_id", card.product_id},
                                 {"fw_version", TextOrNull(card.fw_version)},
                                 {"boot_version", TextOrNull(card.boot_version)},
                                 {"serial_number", TextOrNull(card.serial_number)}});
  for (const std::string& port : boot_ports) document["boot_loaders"].push_back({{"port", TextOrNull(port)}});
  WriteJson(document);
}

// The cards as the window's scan shows them, any controller waiting in its boot loader, and,
// where there is a choice to make by port, every controller with its port.
int Scan(bool json) {
  StdoutLog log(json);
  ContextHolder context;
  const bool card = ScanForCard(context, log);
  if (!card && context) SayWhyTheCardWasNotRead(context.get());
  std::vector<std::string> boot_ports;
  if (context) {
    boot_ports = BootLoaderPorts(context.get());
  } else {
    int listed = 0;
    ContextHolder listing(Tav_InitForRecovery(&listed));
    if (listing) boot_ports = BootLoaderPorts(listing.get());
  }
  const int cards = context ? Tav_GetCardNum(context.get()) : 0;
  const bool ports = (context && AnyPort(CardPorts(context.get()))) || AnyPort(boot_ports);
  const std::size_t controllers = static_cast<std::size_t>(cards) + boot_ports.size();
  const bool listing = ports && controllers > 1 && context;
  const std::vector<CardRow> rows = context && (json || listing) ? CardRows(context.get()) : std::vector<CardRow>{};
  if (json) PrintScanJson(rows, boot_ports);
  else if (listing) ListControllers(rows, boot_ports);
  if (ports && controllers > 1) {
    for (const std::string& port : boot_ports)
      if (!port.empty())
        std::fprintf(stderr, "A controller is in its boot loader at port %s: Cardflash --recover FILE --card %s "
                     "brings it back\n", port.c_str(), port.c_str());
  } else if (!boot_ports.empty()) {
    std::fputs("A controller is in its boot loader: Cardflash --recover FILE brings it back\n", stderr);
  }
  if (card) return kExitOk;
  return !boot_ports.empty() && !context ? kExitInBootLoader : kExitFailed;
}

// Runs one update or recovery with the options' image, checks and progress.
int Flash(const Options& options, ContextHolder context, StdoutLog& log, Clock& clock, StopRequest& stop,
          InterruptWatch& watch, bool recover, int row, const std::string& boot_loader_port) {
  const std::string path = FullPath(recover ? options.recover : options.update);
  AppendLog(log, "Load Msp430 FW\r\n");
  AppendLog(log, "%s\r\n", path.c_str());
  RamBslPlaces places = DefaultRamBslPlaces();
  if (!options.ram_bsl.empty()) places.file = FullPath(options.ram_bsl);
  TerminalProgress progress;
  UpdateRun run{std::move(context), path, std::move(places), log, clock};
  if (options.no_verify) run.verify = false;
  run.row = row;
  run.boot_loader_port = boot_loader_port;
  if (log.ShowsProgress()) run.progress = &progress;
  run.stop = &stop;
  watch.Follow(0, run);
  const bool done = recover ? RunRecovery(run) : RunUpdate(run);
  return ExitStatusOf(run, done);
}

// Without --card, several cards are not flashed: which one is meant cannot be known.
int RefuseSeveralCards(CardContext* context, const char* what) {
  const int cards = Tav_GetCardNum(context);
  std::int8_t ids[cardlink::kCardTableCapacity];
  Tav_GetCardIdTable(context, ids);
  std::vector<std::string> listed;
  for (int i = 0; i < cards && i < cardlink::kCardTableCapacity; ++i) listed.push_back(std::to_string(ids[i]));
  if (AnyPort(CardPorts(context)))
    std::fprintf(stderr, "Cardflash: %d cards are listed (card ids %s); %s exactly one: choose it with --card PORT "
                 "(Cardflash --scan lists the cards and their ports)\n", cards, Joined(listed).c_str(), what);
  else
    std::fprintf(stderr, "Cardflash: %d cards are listed (card ids %s); %s exactly one: remove the others\n", cards,
                 Joined(listed).c_str(), what);
  return kExitBoardCount;
}

int Update(const Options& options, Clock& clock, StopRequest& stop) {
  InterruptWatch watch;
  watch.Watch(stop);
  StdoutLog log;
  ContextHolder context;
  if (!OpenCardContext(context, log)) return kExitFailed;
  int row = 0;
  if (!options.card.empty())
    if (int refused = ChooseCard(context.get(), options.card, &row)) return refused;
  if (!LogCardIdentity(context.get(), log, row)) {
    SayWhyTheCardWasNotRead(context.get());
    return kExitFailed;
  }
  if (options.card.empty() && Tav_GetCardNum(context.get()) > 1)
    return RefuseSeveralCards(context.get(), "--update flashes");
  return Flash(options, std::move(context), log, clock, stop, watch, false, row, "");
}

int Recover(const Options& options, Clock& clock, StopRequest& stop) {
  InterruptWatch watch;
  watch.Watch(stop);
  StdoutLog log;
  int boot_loaders = 0;
  ContextHolder context(Tav_InitForRecovery(&boot_loaders));
  if (!context) return kExitFailed;  // the library has said why
  const int cards = Tav_GetCardNum(context.get());
  const std::vector<std::string> ports = BootLoaderPorts(context.get());
  boot_loaders = static_cast<int>(ports.size());
  if (boot_loaders == 0) {
    if (cards > 0)
      std::fprintf(stderr, "Cardflash: %d card(s) listed: a controller that runs its firmware is updated with --update "
                   "FILE\n", cards);
    else
      std::fputs("Cardflash: no card and no boot loader (2047:0200) is listed: nothing to recover\n", stderr);
    return kExitFailed;
  }
  std::string port;
  if (!options.card.empty()) {
    if (!AnyPort(ports)) {
      std::fputs(kNoPorts, stderr);
      return kExitFailed;
    }
    if (std::find(ports.begin(), ports.end(), options.card) == ports.end()) {
      std::fprintf(stderr, "Cardflash: no boot loader (2047:0200) is listed at port %s; Cardflash --scan lists them\n",
                   options.card.c_str());
      return kExitFailed;
    }
    port = options.card;
  } else if (cards > 0 && AnyPort(ports)) {
    std::fprintf(stderr, "Cardflash: %d card(s) and %d boot loader(s) (2047:0200) are listed: name the boot loader "
                 "with --card PORT (Cardflash --scan lists the ports)\n", cards, boot_loaders);
    return kExitBoardCount;
  } else if (cards > 0) {
    std::fprintf(stderr, "Cardflash: %d card(s) listed: a controller that runs its firmware is updated with --update "
                 "FILE\n", cards);
    return kExitFailed;
  } else if (boot_loaders > 1) {
    std::fprintf(stderr, "Cardflash: %d boot loaders (2047:0200) are listed; --recover flashes exactly one: %s\n",
                 boot_loaders, AnyPort(ports) ? "choose it with --card PORT (Cardflash --scan lists the ports)"
                                              : "unplug the others");
    return kExitBoardCount;
  } else {
    port = ports.front();
  }
  return Flash(options, std::move(context), log, clock, stop, watch, true, 0, port);
}

// Writes the serial number into the chosen card and reads it back, as a factory line does for each
// card.
int WriteSerialNumber(const Options& options) {
  ContextHolder context(Tav_Init());
  if (!context) {
    std::fputs("Cardflash: no card is listed\n", stderr);
    return kExitFailed;
  }
  int row = 0;
  if (!options.card.empty()) {
    if (int refused = ChooseCard(context.get(), options.card, &row)) return refused;
  } else if (Tav_GetCardNum(context.get()) > 1) {
    return RefuseSeveralCards(context.get(), "--write-sn writes");
  }
  const std::string& sn = options.write_sn;
  const int length = static_cast<int>(sn.size());
  if (!Tav_Write_SN_ByRow(context.get(), row, sn.c_str(), length)) {
    std::fputs("Cardflash: the card did not take the serial number\n", stderr);
    return kExitFailed;
  }
  char back[40] = {};
  if (!Tav_Read_SN_ByRow(context.get(), row, back, length) || sn != back) {
    std::fprintf(stderr, "Cardflash: the serial number read back is \"%s\", not \"%s\"\n", SerialNumberText(back, length).c_str(),
                 sn.c_str());
    return kExitFailed;
  }
  std::int8_t ids[cardlink::kCardTableCapacity] = {};
  Tav_GetCardIdTable(context.get(), ids);
  const std::string port = CardPorts(context.get())[static_cast<std::size_t>(row)];
  std::printf("Card %d: CardId %d, port %s: serial number %s written and read back\n", row, ids[row],
              port.empty() ? "-" : port.c_str(), sn.c_str());
  return kExitOk;
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

int ExitStatusOf(const UpdateRun& run, bool done) {
  if (run.stopped) return kExitInterrupted;
  if (done) return kExitOk;
  switch (run.state.load()) {
    case CardState::kSwitching:
    case CardState::kInBootLoader: return kExitInBootLoader;
    case CardState::kReset: return kExitAfterReset;
    default: return kExitFailed;
  }
}

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
  auto* write_sn = app.add_option("--write-sn", options.write_sn)->type_name("SN");
  app.add_option("--card", options.card)->type_name("PORT");
  auto* all = app.add_flag("--all", options.all);
  app.add_option("--jobs", options.jobs)->type_name("N");
  app.add_flag("--json", options.json);
  scan->excludes(update)->excludes(recover)->excludes(write_sn)->excludes(all);
  update->excludes(recover)->excludes(write_sn);
  recover->excludes(write_sn);
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
  if (options.all && options.update.empty()) return UsageError("--all goes with --update");
  if (options.all && !options.card.empty()) return UsageError("--all updates every card: leave --card out");
  if (app.count("--jobs") && !options.all) return UsageError("--jobs goes with --all");
  if (app.count("--jobs") && options.jobs < 1) return UsageError("--jobs takes a number of cards, 1 or more");
  if (options.json && !options.scan && !options.all) return UsageError("--json goes with --scan or --all");
  if (!options.card.empty() && !flashing && options.write_sn.empty())
    return UsageError("--card goes with --update, --recover or --write-sn");
  if (!options.card.empty() && !IsPortText(options.card) && (options.card.size() != 1 || !options.recover.empty()))
    return UsageError("--card takes a USB port such as 3-1.4" +
                      std::string(options.recover.empty() ? ", or a card id of one character" : ""));
  if (!options.write_sn.empty() || app.count("--write-sn")) {
    const std::string& sn = options.write_sn;
    if (sn.empty() || sn.size() > 32 ||
        std::any_of(sn.begin(), sn.end(), [](char c) { return c < 0x21 || c > 0x7E; }))
      return UsageError("--write-sn takes 1 to 32 printable characters without spaces");
    return WriteSerialNumber(options);
  }
  if (options.scan) return Scan(options.json);
  if (options.all) {
    AllCardsOptions all_options;
    all_options.firmware = options.update;
    all_options.ram_bsl = options.ram_bsl;
    all_options.verify = !options.no_verify;
    all_options.jobs = options.jobs;
    all_options.json = options.json;
    return UpdateAllCards(all_options, clock);
  }
  if (!options.update.empty()) return Update(options, clock, stop);
  if (!options.recover.empty()) return Recover(options, clock, stop);
  return UsageError("nothing to do");
}

}  // namespace cardflash
