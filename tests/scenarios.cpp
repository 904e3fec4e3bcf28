// The scenarios of cardtool and Cardflash, once for both back ends.
#include "support/scenario.h"

#include <stdexcept>

#include "cardlink_version.h"

namespace testsupport {

namespace {

using cardsim::Mode;
using cardsim::bus::Personality;
using P = Program;

const std::string kCardtoolUsage =
    "Usage: ./cardtool  -h or for ./cardtool --help for help \n"
    "mcu info read ./cardtool [-i/-I]  \n"
    "switch to boot mode ./cardtool [-isp/-ISP]  \n";
const std::string kCardtoolRefused =
    "Board number = 0 or exceed 1 , only one board for fw update , please remove extra board!!\n";
const std::string kCardId = "a102010004", kVersion = "a100010008", kSwitch = "2102040004ISPE\n";
const std::string kTotal1 = "Total 1 board found\n", kPrime = "MCU read write Flash\n";
const std::string kVersions = "Firmware version=0102 Boot version=0005 \n";
const std::string kWriteFailed = "Unable to write()\nError: Input/output error\n";

// The block cardtool prints for each device found; `type` is vendor and product id.
std::string device_found(const std::string& path, const std::string& type = "2933 0001") {
  return "Device Found\n  type: " + type + "\n  path: " + path + "\n";
}
std::string found(int minor = 0, const std::string& pid = "0001") {
  return device_found("/dev/hidraw" + std::to_string(minor), "2933 " + pid);
}
std::string found_many(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += found(i);
  return text;
}
std::string refused(const std::string& listed, int total) {
  return listed + "Total " + std::to_string(total) + " board found\n" + kCardtoolRefused;
}

// A step that expects this exit status; what else it expects is filled in.
Step flash(std::vector<std::string> args, int status) {
  Step step;
  step.args = std::move(args);
  step.status = status;
  return step;
}

Scenario scenario(std::string name, std::string devices, Program program, std::vector<Step> steps, bool hidraw) {
  Scenario s;
  s.name = std::move(name);
  s.devices = std::move(devices);
  s.program = program;
  s.steps = std::move(steps);
  s.hidraw = hidraw;
  return s;
}

Scenario tool(std::string name, std::string devices, std::vector<std::string> args, std::string out, int status,
              std::map<std::size_t, std::vector<std::string>> commands = {}, bool hidraw = false) {
  Step step = flash(std::move(args), status);
  step.out = std::move(out);
  step.commands = std::move(commands);
  return scenario(std::move(name), std::move(devices), P::kCardtool, {step}, hidraw);
}

std::vector<Scenario> cardtool_scenarios() {
  const std::string long_path = "/dev/bus/usb/sim/" + std::string(40, 'p');  // 57 characters
  const std::string fits = "/dev/" + std::string(44, 'q');                 // 49 characters
  const std::string usage = found() + kTotal1 + kCardtoolUsage;
  const std::string switched = found() + kTotal1 + "open /dev/hidraw0\nswitch to boot comamand\n" + kPrime;
  return {
      // The board count decides first; the argument is not looked at, no board is opened.
      tool("tool none help", "", {"-h"}, refused("", 0), 3, {}, true),
      tool("tool none switch", "", {"-isp"}, refused("", 0), 3, {}, true),
      tool("tool two cards", "card id=1; card id=2 usb_pid=0002", {"-i"}, refused(found() + found(1, "0002"), 2), 3,
           {{0, {}}, {1, {}}}, true),
      tool("tool nine cards", "card count=9", {"-i"}, refused(found_many(9), 9), 3, {{8, {}}}),
      tool("tool two interfaces", "card interfaces=2", {"-i"}, refused(found_many(2), 2), 3, {}, true),
      tool("tool three cards switch", "card id=1; card id=2; card id=3", {"-isp"}, refused(found_many(3), 3), 3,
           {{0, {}}}, true),
      // Help asked for, or a usage error.
      tool("tool help", "card", {"-h"}, usage, 0, {{0, {}}}, true),
      tool("tool long help", "card", {"--help"}, usage, 0, {}, true),
      tool("tool help first", "card", {"-h", "-i"}, usage, 0),
      tool("tool no argument", "card", {}, usage, 2, {{0, {}}}, true),
      tool("tool mixed case", "card", {"-Isp"}, usage, 2, {}, true),
      tool("tool unknown", "card", {"-x"}, usage, 2),
      tool("tool long unknown", "card", {"--info"}, usage, 2),
      tool("tool upper H", "card", {"-H"}, usage, 2),
      tool("tool empty argument", "card", {""}, usage, 2),
      // Versions.
      tool("tool info", "card fw=0102 boot=0005", {"-i"}, found() + kTotal1 + kPrime + kVersions, 0,
           {{0, {kCardId, kVersion}}}, true),
      tool("tool info upper", "card fw=0102 boot=0005", {"-I"}, found() + kTotal1 + kPrime + kVersions, 0, {}, true),
      tool("tool stale reply", "card id=7 fw=0102 boot=0005 fault=stale", {"-i"}, found() + kTotal1 + kPrime + kVersions,
           0, {{0, {kCardId, kVersion}}}, true),
      tool("tool other devices", "hid; card fw=0102 boot=0005; hid pid=c52c", {"-i"},
           found(1) + kTotal1 + kPrime + kVersions, 0, {{1, {kCardId, kVersion}}}, true),
      tool("tool 49 character path", "card fw=0303 path=" + fits, {"-i"},
           device_found(fits) + kTotal1 + kPrime + "Firmware version=0303 Boot version=0005 \n", 0),
      // Its reply comes after the third poll.
      tool("tool slow card", "card latency=350", {"-i"},
           found() + kTotal1 + kPrime + "Board Index=0 Get Fw /Boot version Error\n", 1, {}, true),
      tool("tool short reply", "card short=12", {"-i"}, found() + kTotal1 + kPrime + "Firmware version=0100 Boot version=00 \n",
           0, {}, true),
      tool("tool silent card", "card fault=silent", {"-i"},
           found() + kTotal1 + kPrime + "Board Index=0 Get Fw /Boot version Error\n", 1, {{0, {kCardId, kVersion}}},
           true),
      tool("tool read fails", "card fault=read", {"-i"},
           found() + kTotal1 + kPrime + "Unable to read()\nUnable to read()\nBoard Index=0 Get Fw /Boot version Error\n",
           1, {}, true),
      tool("tool open fails", "card fault=open", {"-i"}, found() + kTotal1 + "Board 0 Error Access!!\n", 1, {}, true),
      tool("tool path too long", "card path=" + long_path, {"-i"},
           device_found(long_path) + "  path longer than 49 characters: board not usable\n" + kTotal1 +
               "Board 0 Error Access!!\n",
           1, {{0, {}}}),
      // The switch.
      tool("tool switch", "card", {"-isp"}, switched + "mcu switch to boot mode\n", 0, {{0, {kCardId, kSwitch}}}, true),
      tool("tool switch upper", "card", {"-ISP"}, switched + "mcu switch to boot mode\n", 0),
      tool("tool switch open fails", "card fault=open", {"-isp"},
           found() + kTotal1 + "open /dev/hidraw0\nBoard 0 Error Access!!\n", 1, {}, true),
      tool("tool switch write fails", "card fault=write", {"-isp"},
           switched + kWriteFailed + kWriteFailed + "Switch to isp mode fail\n", 1, {}, true),
      // One board of several, chosen by its USB port; only a port chooses, and only where ports are shown.
      tool("tool info by port", "card fw=0102; card fw=0303 port=1-2.1", {"-i", "--card", "1-2.1"},
           found() + found(1) + "Total 2 board found\n" + kPrime + "Firmware version=0303 Boot version=0005 \n", 0,
           {{0, {}}, {1, {kCardId, kVersion}}}, true),
      tool("tool switch by port", "card; card; card", {"-isp", "--card", "1-2"},
           found_many(3) + "Total 3 board found\nopen /dev/hidraw1\nswitch to boot comamand\n" + kPrime +
               "mcu switch to boot mode\n",
           0, {{0, {}}, {1, {kCardId, kSwitch}}, {2, {}}}),
      tool("tool no board at the port", "card; card port=1-10", {"-i", "--card", "1-1.0"},
           found_many(2) + "Total 2 board found\nNo board at port 1-1.0\n", 3, {{0, {}}, {1, {}}}),
      tool("tool port without sysfs", "sysfs none; card; card", {"-isp", "--card", "1-2"},
           found_many(2) + "Total 2 board found\n"
                           "No USB ports are shown on this system (no sysfs): --card cannot choose a board\n",
           3, {{0, {}}, {1, {}}}),
      tool("tool card id is no port", "card; card", {"-i", "--card", "1"}, found_many(2) + "Total 2 board found\n" +
           kCardtoolUsage, 2),
      // The version, whatever is listed, without the HID layer.
      tool("tool version", "card; card id=2", {"--version"}, std::string("cardtool ") + cardlink::kProjectVersion + "\n", 0,
           {{0, {}}, {1, {}}}, true),
      tool("tool version without HID", "init fail", {"--version"},
           std::string("cardtool ") + cardlink::kProjectVersion + "\n", 0),
      // The HID layer does not start (no such thing on hidraw nodes).
      tool("tool init fails", "init fail; card", {"-i"}, "hid_init failed error\n", 255),
      tool("tool init fails no argument", "init fail", {}, "hid_init failed error\n", 255),
  };
}

const std::string kImage = "@DATA@/firmware_0200.txt";
const std::string kScan1 = "VID: 0x2933 PID:1 CardId: 1\nFW Ver =0102,Boot Ver=0005\n";
const std::string kVerified = "Verify Complete: 8 segments, 15696 bytes\n";
const std::string kUpdated = "program_file\n" + kVerified +
                             "Device Reset  Complete\nVID: 0x2933 PID:1 CardId: 1\nFW Ver =0200,Boot Ver=0005\n";

// What the boot loaders receive: RX PASSWORD twice (erase, unlock); the stand-in RAM boot loader
// in 43 blocks and LOAD PC; TX BSL VERSION and the password again once it runs; the firmware in
// 329 blocks; a CRC CHECK of each of its 8 segments; the reset write and LOAD PC.
const std::string kErase = "11*2", kRamBslStart = "1B*43 17 19 11", kProgram = "1B*329", kVerify = "16*8",
                  kReset = "1B 17";
const std::string kUpdateWire = kErase + " " + kRamBslStart + " " + kProgram + " " + kVerify + " " + kReset;

// Pauses of the updater, in ms: `n` polls for a reply that does not come.
std::vector<int> polls(int n, int ms = 10) { return std::vector<int>(static_cast<std::size_t>(n), ms); }
std::vector<int> join(std::initializer_list<std::vector<int>> parts) {
  std::vector<int> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
// The erase's 1500 ms, in which the refusal of the wrong password is read (the boot loader answers
// once its 25 ms erase is done); then the poll that finds the unlock.
const std::vector<int> kErasePauses = {10, 10, 10, 1470, 10};
// The RAM boot loader's start; the polls that find its version and the answer to the password.
const std::vector<int> kStartPauses = {3000, 10, 10};
const std::vector<int> kVerifyPauses = polls(8);
const std::vector<int> kUpdatePauses = join({{10000}, kErasePauses, kStartPauses, kVerifyPauses, {3000}});
const std::string kRefusedFile = "open file fail,file maybe is not exist or bad.\n";
// Where a failed run left the card, and the command that brings it back.
const std::string kInBootLoader = "The card is in its boot loader; to bring it back: Cardflash --recover " + kImage + "\n";
const std::string kMaybeInBootLoader =
    "The card may be in its boot loader: Cardflash --scan tells; if it lists one: Cardflash --recover " + kImage + "\n";
const std::string kResetNoAnswer =
    "The card was reset into its new firmware but did not answer as a card; if a boot loader is listed: "
    "Cardflash --recover " + kImage + "\n";

Scenario cardflash(std::string name, std::string devices, std::vector<Step> steps, bool hidraw = false,
                   P program = P::kCardflash) {
  return scenario(std::move(name), std::move(devices), program, std::move(steps), hidraw);
}

std::vector<Scenario> cardflash_scenarios(Personality on) {
  std::vector<Scenario> out;
  // Two cards of the same ids: Linux lists them in the order of their ports, Windows in that of
  // their instance ids, which on the bus puts port 2 first.
  const bool port_order = on == Personality::Linux;
  // Where the system shows USB ports, every controller is listed with its port.
  const bool ports = on == Personality::Linux;
  Step scan = flash({"--scan"}, 0);
  scan.out = "Total 2 Msp430 find\nFlash Msp430 Information:\n" +
             (port_order ? kScan1 + "Card 0: CardId 1, port 1-1, FW 0102, Boot 0005, SN -\n"
                                    "Card 1: CardId 2, port 1-2, FW 0100, Boot 0005, SN -\n"
                         : "VID: 0x2933 PID:1 CardId: 2\nFW Ver =0100,Boot Ver=0005\n");
  out.push_back(cardflash("flash scan", "card id=1 fw=0102; card id=2", {scan}, true));
  // The scan names a controller that waits in its boot loader, and says why a card was not read.
  const std::string waiting = "A controller is in its boot loader: Cardflash --recover FILE brings it back\n";
  struct Seen {
    std::string devices, out, err;
    int status;
    bool wine = false;
  };
  for (const Seen& seen : std::vector<Seen>{
           {"bsl", "Error Can find Msp430 Device\n", waiting, 4},
           {"card id=1 fw=0102; bsl",
            "Total 1 Msp430 find\nFlash Msp430 Information:\n" + kScan1 +
                (ports ? "Card 0: CardId 1, port 1-1, FW 0102, Boot 0005, SN -\nBoot loader: port 1-2\n" : ""),
            ports ? "A controller is in its boot loader at port 1-2: Cardflash --recover FILE --card 1-2 brings it back\n"
                  : waiting,
            0, true},
           {"card fault=silent", "Total 1 Msp430 find\nFail to Get Flash Device information!!\n",
            "Cardflash: the card was listed but did not answer\n", 1}}) {
    Step step = flash({"--scan"}, seen.status);
    step.out = seen.out;
    step.err = seen.err;
    out.push_back(cardflash("flash scan sees " + seen.devices, seen.devices, {step}));
    out.back().wine = seen.wine;
  }

  // A card pulled out as the scan asks for its identity is told by the listing, whatever the
  // system gives on the departed handle (marked `wine`: there it is "Access denied").
  Step pulled = flash({"--scan"}, 1);
  pulled.out = "Total 1 Msp430 find\nFail to Get Flash Device information!!\n";
  pulled.err = "Cardflash: the card was listed but could not be read: the card is no longer listed under its path\n";
  out.push_back(cardflash("flash scan of a card pulled out", "card id=1 fw=0102 pulled=a100010008", {pulled}, true));
  out.back().wine = true;

  Step update = flash({"--update", kImage}, 0);
  update.out = "Total 1 Msp430 find\nFlash Msp430 Information:\n" + kScan1 +
               "Load Msp430 FW\n" + kImage + "\n==Load RAM BSL==\n@RAMBSL@\nLoad RAM_BSL_00.08.08.39.txt Complete\n"
               "Load Msp430 FW Complete\nSwitch to ISP mode \nDevice 0x2047 0x0200 ISP\xA1\x40mode device found\n"
               "Device Connected\nMass Erase\nDownload full BSL...\nWait for BSL\n==========================\n" +
               kUpdated;
  update.cards = {{0, Mode::Application, "0200", true}};
  update.pauses = kUpdatePauses;
  update.bsl = {{0, kUpdateWire}};
  out.push_back(cardflash("flash update", "card id=1 fw=0102", {update}));
  out.back().wine = true;

  // A server's BMC lists its keyboard and mouse before the card.
  Step beside = flash({"--update", kImage}, 0);
  beside.out_ends = kUpdated;
  beside.cards = {{2, Mode::Application, "0200", true}};
  beside.pauses = update.pauses;
  Scenario lowest = cardflash("flash update after two other devices", "hid; hid pid=c52c; card id=1 fw=0102 boot=0005",
                              {beside}, true);
  // The boot loader takes the card's node; the RAM boot loader hidraw3, since the connection to
  // the boot loader holds hidraw2 until after the pause; the card comes back on hidraw2 while the
  // RAM boot loader's connection still holds hidraw3.
  lowest.paths = {{0, "/dev/hidraw0"}, {1, "/dev/hidraw1"}, {2, "/dev/hidraw2"}};
  out.push_back(lowest);
  // Plugged in after the card has left for its boot loader and before the boot loader lists
  // itself, the mouse takes the card's old minor.
  Step plugged = flash({"--update", kImage}, 0);
  plugged.out_ends = kUpdated;
  plugged.cards = {{0, Mode::Application, "0200", true}};
  plugged.pauses = update.pauses;
  Scenario late = cardflash("flash update with a device plugged in meanwhile",
                            "card id=1 fw=0102 boot=0005 isp_delay=5000; hid at=3500", {plugged}, true);
  late.paths = {{0, "/dev/hidraw1"}, {1, "/dev/hidraw0"}};
  out.push_back(late);
  Step gone = flash({"--update", kImage}, 5);
  gone.out_ends = "Device Reset  Complete\nFail to Get Device information!!\n" + kResetNoAnswer;
  out.push_back(cardflash("flash card that never comes back", "hid; card id=1 fault=noreturn", {gone}, true));

  Step no_card = flash({"--update", kImage}, 1);
  no_card.out = "Error Can find Msp430 Device\n";
  out.push_back(cardflash("flash update without card", "", {no_card}));
  Step missing = flash({"--update", "@TMP@/missing.txt"}, 1);
  missing.out_has = {kRefusedFile + "@TMP@/missing.txt: No such file or directory\n"};
  missing.out_lacks = {"Switch to ISP mode"};
  missing.commands = {{0, {kCardId, kCardId, kCardId, kVersion}}};  // the scan's exchanges only
  out.push_back(cardflash("flash unreadable file", "card id=1 fw=0102", {missing}));
  Step damaged = flash({"--update", "@TMP@/damaged.txt"}, 1);
  damaged.out_has = {kRefusedFile + "@TMP@/damaged.txt: line 3: file ends without the end line \"q\"\n"};
  damaged.out_lacks = {"Switch to ISP mode"};
  damaged.cards = {{0, Mode::Application, "0102"}};
  Scenario no_q = cardflash("flash file without q", "card id=1 fw=0102", {damaged});
  no_q.files = {{"damaged.txt", "@4400\n31 40 00 24\n"}};
  no_q.wine = true;
  out.push_back(no_q);
  Step bare = flash({"--update", kImage}, 1);
  bare.out_has = {kRefusedFile + "@EXEDIR@/RAM_BSL_00.08.08.39.txt: No such file or directory\n"
                  "RAM_BSL_00.08.08.39.txt is TI's RAM boot loader and not shipped; looked for it in: @EXEDIR@"};
  bare.out_lacks = {"Switch to ISP mode"};
  bare.cards = {{0, Mode::Application, "0102"}};
  bare.pauses = std::vector<int>{};
  out.push_back(cardflash("flash as built has no RAM boot loader", "card id=1 fw=0102", {bare}, false,
                          P::kCardflashAsBuilt));

  // Images the controller could never start, or that would write where they must not: erasing the
  // card for them would only lose its firmware. A one-digit field is a damaged file ("3" for "30").
  const std::string vector = "@FFFE\n00 44\n";
  for (const auto& [text, reason] : std::vector<std::pair<std::string, std::string>>{
           {"@4400\nq\n", "the image holds no data byte"},
           {"@4400\n31 40\nq\n", "the image has no reset vector at 0xFFFE"},
           {"@4400\n31 40\n@FFFE\nFF FF\nq\n", "the image's reset vector at 0xFFFE is erased (0xFFFF)"},
           {vector + "@FFFE\nFF FF\nq\n", "segments overlap at 0x0FFFE with different bytes"},
           {"@4400\n31 40 3\n" + vector + "q\n", "line 2: data field \"3\" is not two hexadecimal digits"},
           {"@0200\n01 02\n" + vector + "q\n",
            "the image puts data at 0x00200, outside the controller's flash (information memory 0x1800-0x19FF, main "
            "flash 0x4400-0x243FF)"},
           {vector + "@24400\n01 02\nq\n", "the image puts data at 0x24400, outside the controller's flash "
                                             "(information memory 0x1800-0x19FF, main flash 0x4400-0x243FF)"}}) {
    Step step = flash({"--update", "@TMP@/image.txt"}, 1);
    step.out_has = {kRefusedFile + "@TMP@/image.txt: " + reason + "\n"};
    step.out_lacks = {"Switch to ISP mode"};
    step.cards = {{0, Mode::Application, "0102"}};
    step.pauses = std::vector<int>{};
    Scenario refused_image = cardflash("flash image refused: " + reason, "card id=1 fw=0102", {step});
    refused_image.files = {{"image.txt", text}};
    out.push_back(refused_image);
  }
  // In a UTF-8 locale the path is shown as it is and only the device-found line's Big5 full-width
  // space is converted (to U+3000).
  Step named = flash({"--update", "@TMP@/Pr\xC3\xBC" "fung.txt"}, 0);
  named.out_has = {"Load Msp430 FW\n@TMP@/Pr\xC3\xBC" "fung.txt\n",
                   "Device 0x2047 0x0200 ISP\xE3\x80\x80mode device found\n"};
  named.out_ends = "FW Ver =0201,Boot Ver=0005\n";
  Scenario utf8 = cardflash("flash file with a UTF-8 name in a UTF-8 locale", "card id=1 fw=0102", {named});
  utf8.files = {{"Pr\xC3\xBC" "fung.txt", "@4400\n30 32 30 31 31 40 00 44\n@FFFE\n04 44\nq\n"}};
  utf8.utf8 = true;
  out.push_back(utf8);

  // Firmware named as the RAM boot loader would be loaded after the erase, over the running boot loader.
  Step not_ram = flash({"--ram-bsl", kImage, "--update", kImage}, 1);
  not_ram.out_has = {"==Load RAM BSL==\n" + kImage + "\n" + kRefusedFile + kImage +
                     ": not a RAM boot loader: data at 0x04400 lies outside RAM 0x1C00-0x43FF\n"};
  not_ram.out_lacks = {"Switch to ISP mode"};
  not_ram.cards = {{0, Mode::Application, "0102"}};
  out.push_back(cardflash("flash firmware named as the RAM boot loader", "card id=1 fw=0102", {not_ram}));

  // After a power cycle in the middle of an update: the boot loader in flash, the image named.
  Step rom = flash({"--ram-bsl", "@DATA@/stand_in_ram_bsl.txt", "--recover", kImage}, 0);
  rom.out = "Load Msp430 FW\n" + kImage + "\nLoad Msp430 FW Complete\nDevice 0x2047 0x0200 ISP\xA1\x40mode device found\n"
            "Device Connected\n==Load RAM BSL==\n@DATA@/stand_in_ram_bsl.txt\nLoad RAM_BSL_00.08.08.39.txt Complete\n"
            "Mass Erase\nDownload full BSL...\nWait for BSL\n==========================\nprogram_file\n" + kVerified +
            "Device Reset  Complete\nVID: 0x2933 PID:1 CardId: 0\nFW Ver =0200,Boot Ver=0005\n";
  rom.bsl = {{0, "19 " + kUpdateWire}};
  rom.pauses = join({{10}, kErasePauses, kStartPauses, kVerifyPauses, {3000}});  // first: the reply to TX BSL VERSION
  rom.cards = {{0, Mode::Application, "0200", true}};
  out.push_back(cardflash("flash recovery from the boot loader in flash", "bsl flash=erased", {rom}, false,
                          P::kCardflashAsBuilt));
  // Once the RAM boot loader ran; in a pipe no progress line.
  const std::string recovered_tail = "Device Reset  Complete\nVID: 0x2933 PID:1 CardId: 0\nFW Ver =0200,Boot Ver=0005\n";
  Step ram = flash({"--recover", kImage, "--verify"}, 0);
  ram.out_has = {"Mass Erase\nRAM BSL already running: its download and start are skipped\n==========================\n",
                 "\nVerify Complete: 8 segments, 15696 bytes\n"};
  ram.out_lacks = {"\r"};
  ram.out_ends = recovered_tail;
  ram.pauses = join({{10}, kErasePauses, kVerifyPauses, {3000}});
  ram.bsl = {{0, "19 " + kErase + " " + kProgram + " " + kVerify + " " + kReset}};
  ram.cards = {{0, Mode::Application, "0200", true}};
  out.push_back(cardflash("flash recovery from the RAM boot loader", "bsl mode=rambsl", {ram}));
  Step shown = flash({"--recover", kImage, "--verify"}, 0);
  shown.out_has = {"\r  1/", "\r  329/329 blocks (100%)\r\033[KVerify Complete"};
  shown.out_ends = recovered_tail;
  Scenario terminal = cardflash("flash progress on a terminal", "bsl mode=rambsl", {shown});
  terminal.terminal = true;
  out.push_back(terminal);

  // A controller that hung in its boot loader takes no report: each write fails after the time-out
  // (usbhid's 5 s, which outlast the erase's pause of 1.5 s; hid_write's own 1 s on Windows), and the
  // recovery stops at the first block.
  Step hung = flash({"--recover", kImage}, 4);
  hung.out = "Load Msp430 FW\n" + kImage + "\nLoad Msp430 FW Complete\nDevice 0x2047 0x0200 ISP\xA1\x40mode device found\n"
             "Device Connected\n==Load RAM BSL==\n@RAMBSL@\nLoad RAM_BSL_00.08.08.39.txt Complete\nMass Erase\n"
             "Download full BSL...\nDownload RAM BSL Fail at 0x02500\n" + kInBootLoader;
  hung.pauses = on == Personality::Linux ? std::vector<int>{} : std::vector<int>{500};
  out.push_back(cardflash("flash recovery of a controller that hung", "bsl mode=hung", {hung}, true));

  // The check before the reset catches a weak cell: no reset, the controller stays in its RAM
  // boot loader. Once the cell holds, --recover brings the card back through the RAM boot loader
  // that runs. CRC-16/CCITT-FALSE of the first segment with bit 0 of 0x4410 stuck at 1 (the
  // card's), and as the image has it (the updater's).
  Step weak = flash({"--update", kImage}, 4);
  weak.out_ends = "program_file\nVerify Fail at 0x04400: CRC 0x7B9A, expected 0x42A4\n" + kInBootLoader;
  weak.pauses = join({{10000}, kErasePauses, kStartPauses, {10}});
  weak.cards = {{1, Mode::RamBootLoader, "0102"}};
  Step again = flash({"--recover", kImage, "--verify"}, 0);
  again.heal = std::pair{std::size_t{1}, std::uint32_t{0x4410}};
  again.out_has = {"RAM BSL already running: its download and start are skipped\n"};
  again.out_ends = kUpdated.substr(kUpdated.find("Device Reset"));
  again.cards = {{1, Mode::Application, "0200", true}};
  out.push_back(cardflash("flash verify catches a weak cell, then recovery", "hid; card id=1 fw=0102 boot=0005 weak=4410",
                          {weak, again}, true));

  // The boot loader refuses the erased device's password after the erase (TI's forum): the run
  // stops before a single block, which the locked boot loader would drop without a word, and
  // leaves the controller in its boot loader, from which --recover brings it back.
  Step refused = flash({"--update", kImage}, 4);
  refused.out_ends = "Mass Erase\nUnlock Fail: BSL message 0x05\n" + kInBootLoader;
  refused.bsl = {{0, kErase}};
  refused.pauses = join({{10000}, kErasePauses, {10, 10}});  // the refusal erases once more
  refused.cards = {{0, Mode::UsbBootLoader, "0102"}};
  Step recovered = flash({"--recover", kImage}, 0);
  recovered.out_ends = kUpdated.substr(kUpdated.find("Device Reset"));
  recovered.bsl = {{0, kErase + " 19 " + kUpdateWire}};
  recovered.cards = {{0, Mode::Application, "0200", true}};
  out.push_back(cardflash("flash unlock refused, then recovery", "card id=1 fw=0102 fault=unlock", {refused, recovered},
                          true));

  // A RAM boot loader that does not start leaves the boot loader in flash, which does not answer
  // TX BSL VERSION (0x3B 07, or nothing at all): not a block goes into it.
  for (const auto& [devices, version_polls] : std::vector<std::pair<std::string, int>>{
           {"card id=1 fw=0102 rambsl=nostart", 1}, {"card id=1 fw=0102 rambsl=nostart rombsl=quiet", 100}}) {
    Step step = flash({"--update", kImage}, 4);
    step.out_ends = "Wait for BSL\nRAM BSL did not start\n" + kInBootLoader;
    step.bsl = {{0, kErase + " 1B*43 17 19"}};
    step.cards = {{0, Mode::UsbBootLoader, "0102"}};
    out.push_back(cardflash("flash RAM boot loader that does not start: " + devices, devices, {step}));
  }

  // The update succeeds whichever way the boot loaders behave where TI's documents leave it open:
  // a RAM boot loader that starts locked (the password again unlocks it), a boot loader in flash
  // that sends no replies (the run waits out the unlock's second), a controller that resets at
  // the reset write (the LOAD PC after it finds the device gone).
  struct Variant {
    std::string devices;
    std::vector<int> pauses;
    std::string wire;
    bool hidraw;
  };
  for (const Variant& v : std::vector<Variant>{
           {"card id=1 fw=0102 rambsl=locked", kUpdatePauses, kUpdateWire, false},
           {"card id=1 fw=0102 rombsl=quiet",
            join({{10000}, polls(150), polls(100), kStartPauses, kVerifyPauses, {3000}}), kUpdateWire, false},
           {"card id=1 fw=0102 reset=write", kUpdatePauses, kUpdateWire.substr(0, kUpdateWire.size() - 3), true}}) {
    const auto& [devices, pauses, wire, hidraw] = v;
    Step step = flash({"--update", kImage}, 0);
    step.out_ends = kUpdated;
    step.bsl = {{0, wire}};
    step.pauses = pauses;
    step.cards = {{0, Mode::Application, "0200", true}};
    out.push_back(cardflash("flash update with " + devices, devices, {step}, hidraw));
  }

  // A block the RAM boot loader drops without a word is caught by the check before the reset,
  // which runs by default; --no-verify leaves it out.
  Step dropped = flash({"--update", kImage}, 4);
  dropped.out_ends = "program_file\nVerify Fail at 0x04400: CRC 0xEFD4, expected 0x42A4\n" + kInBootLoader;
  dropped.bsl = {{0, kErase + " " + kRamBslStart + " " + kProgram + " 16"}};
  dropped.cards = {{0, Mode::RamBootLoader, "0102"}};
  Step unchecked = flash({"--recover", kImage, "--no-verify"}, 0);
  unchecked.out_has = {"program_file\nDevice Reset  Complete\n"};
  unchecked.cards = {{0, Mode::Application, "0200", true}};
  out.push_back(cardflash("flash dropped block caught by the default check", "card id=1 fw=0102 drop=4430",
                          {dropped, unchecked}));

  // Ctrl-C: the run stops at its next safe point, says where the card is and exits with 130. Before
  // the switch nothing is sent; from the reset write through the identity read nothing is cut.
  struct Interrupt {
    const char* phase;
    int pause;  // the pause in which SIGINT comes; -1: before the program starts
    std::string out_ends, wire;
    std::vector<int> pauses;
    CardState card;
  };
  const std::string kStopped = "Stopped on request\n";
  for (const Interrupt& i : std::vector<Interrupt>{
           {"before the switch", -1,
            "Load Msp430 FW Complete\n" + kStopped + "The card is untouched: it runs its firmware as before\n", "", {},
            {0, Mode::Application, "0102"}},
           {"in the switch's pause", 0, "Switch to ISP mode \n" + kStopped + kMaybeInBootLoader, "", {10000},
            {0, Mode::UsbBootLoader, "0102"}},
           {"in the erase", 1, "Mass Erase\n" + kStopped + kInBootLoader, kErase, join({{10000}, kErasePauses}),
            {0, Mode::UsbBootLoader, "0102"}},
           {"in the RAM boot loader's start", 6, "Download full BSL...\n" + kStopped + kInBootLoader,
            kErase + " 1B*43 17", join({{10000}, kErasePauses, {3000}}), {0, Mode::RamBootLoader, "0102"}},
           {"in the check", 9, "program_file\n" + kStopped + kInBootLoader, kErase + " " + kRamBslStart + " " + kProgram + " 16",
            join({{10000}, kErasePauses, kStartPauses, {10}}), {0, Mode::RamBootLoader, "0102"}},
           {"in the reset's pause", 17, kUpdated + kStopped + "The card runs its new firmware\n", kUpdateWire,
            kUpdatePauses, {0, Mode::Application, "0200", true}}}) {
    Step step = flash({"--update", kImage}, 130);
    step.interrupt_at_pause = i.pause;
    step.out_ends = i.out_ends;
    step.bsl = {{0, i.wire}};
    step.pauses = i.pauses;
    step.cards = {i.card};
    out.push_back(cardflash(std::string("flash Ctrl-C ") + i.phase, "card id=1 fw=0102", {step}));
  }

  // Refusals by what is listed, before anything is touched.
  struct Refusal {
    std::string devices;
    std::vector<std::string> args;
    int status;
    std::string err;
    bool wine = false;
  };
  for (const Refusal& r : std::vector<Refusal>{
           {"", {"--recover", kImage}, 1,
            "Cardflash: no card and no boot loader (2047:0200) is listed: nothing to recover\n"},
           {"card", {"--recover", kImage}, 1,
            "Cardflash: 1 card(s) listed: a controller that runs its firmware is updated with --update FILE\n"},
           {"bsl; hid; bsl", {"--recover", kImage}, 3,
            std::string("Cardflash: 2 boot loaders (2047:0200) are listed; --recover flashes exactly one: ") +
                (ports ? "choose it with --card PORT (Cardflash --scan lists the ports)\n" : "unplug the others\n")},
           {"card id=1; card id=2", {"--update", kImage}, 3,
            std::string("Cardflash: 2 cards are listed (card ids ") + (port_order ? "1, 2" : "2, 1") +
                "); --update flashes exactly one: " +
                (ports ? "choose it with --card PORT (Cardflash --scan lists the cards and their ports)\n"
                       : "remove the others\n")},
           // Two cards of one card id read the same in any order: under wine, the order in which
           // winebus found their nodes.
           {"card id=1; card id=1", {"--update", kImage}, 3,
            std::string("Cardflash: 2 cards are listed (card ids 1, 1); --update flashes exactly one: ") +
                (ports ? "choose it with --card PORT (Cardflash --scan lists the cards and their ports)\n"
                       : "remove the others\n"),
            true},
           {"card fault=open", {"--scan"}, 1,
            on == Personality::Linux
                ? "Cardflash: the card was listed but could not be read; if its /dev/hidraw node is not readable\n"
                  "and writable for you, install the udev rule and join the plugdev group (see Cardflash(1))\n"
                : "Cardflash: the card was listed but could not be read; close any other program that uses it,\n"
                  "or unplug the card and plug it in again\n"}}) {
    Step step = flash(r.args, r.status);
    step.err = r.err;
    out.push_back(cardflash("flash refused: " + r.devices + " " + r.args[0], r.devices, {step}));
    out.back().wine = r.wine;
  }

  Step version = flash({"--version"}, 0);
  version.out = std::string("Cardflash ") + cardlink::kProjectVersion + "\n";
  version.commands = {{0, {}}, {1, {}}};
  out.push_back(cardflash("flash version", "card; bsl", {version}));

  Step help = flash({"--help"}, 0);
  help.out_has = {"Usage: Cardflash [--scan | --update FILE [--all [--jobs N]] | --recover FILE | --write-sn SN]\n"
                  "                 [--card PORT] [--no-verify] [--ram-bsl FILE] [--json]\n",
                  "  --card PORT      the card, or with --recover the boot loader, at this USB port as\n",
                  "                     Port   CardId  Old   New   Result\n"
                  "                     3-1.4  1       0102  0200  updated\n"
                  "                     3-1.5  2       0102  -     failed, in its boot loader (4)\n",
                  "  --jobs N         with --all: at most N cards at once (default: all of them)\n"};
  out.push_back(cardflash("flash help", "", {help}));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--update"}, {"--bogus"}, {"--scan", "x"}, {"--update", "a", "b"}, {"--verify"}, {"--scan", "--verify"},
           {"--no-verify"}, {"--update", "a", "--verify", "--no-verify"},
           {"--update", "a", "--recover", "b"}, {"--scan", "--ram-bsl", "x"}, {"--recover"}, {"--scan", "--card", "1-1"},
           {"--update", "a", "--card", "12"}, {"--update", "a", "--card", "1-"}, {"--recover", "a", "--card", "1"},
           {"--write-sn", "a b"}, {"--write-sn", ""}, {"--write-sn", std::string(33, 's')},
           {"--write-sn", "x", "--update", "a"}}) {
    Step step = flash(args, 2);
    step.out = "";
    step.err_has = "Usage: Cardflash";
    step.commands = {{0, {}}};
    std::string name = "flash usage error:";
    for (const std::string& a : args) name += " " + a;
    out.push_back(cardflash(name, "card", {step}));
  }
  // The options for every card at once, each misuse with its own words.
  for (const auto& [args, problem] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--all"}, "--all goes with --update"},
           {{"--recover", "a", "--all"}, "--all goes with --update"},
           {{"--update", "a", "--jobs", "2"}, "--jobs goes with --all"},
           {{"--update", "a", "--all", "--jobs", "0"}, "--jobs takes a number of cards, 1 or more"},
           {{"--update", "a", "--json"}, "--json goes with --scan or --all"},
           {{"--update", "a", "--all", "--card", "1-1"}, "--all updates every card: leave --card out"},
           {{"--scan", "--all"}, "--scan excludes --all"}}) {
    Step step = flash(args, 2);
    step.out = "";
    step.err_has = "Cardflash: " + problem + "\nUsage: Cardflash";
    step.commands = {{0, {}}};
    std::string name = "flash usage error:";
    for (const std::string& a : args) name += " " + a;
    out.push_back(cardflash(name, "card", {step}));
  }
  return out;
}

// Several cards of one server: each chosen by its USB port, and everything after the switch tied to
// that port. Windows shows no ports: there --card is refused, and a boot loader listed before the
// switch stops an update.
std::vector<Scenario> port_scenarios(Personality on) {
  std::vector<Scenario> out;
  const bool ports = on == Personality::Linux;
  const std::string no_ports =
      "Cardflash: --card needs the cards' USB ports, which this system does not show (Windows, or no\n"
      "sysfs); with one card listed, leave --card out\n";
  const std::string untold =
      "Load Msp430 FW Complete\nNot switched: a controller is already in its boot loader; cannot tell which is this "
      "card's\n";
  auto updated = [](int card_id) {
    return "Device Reset  Complete\nVID: 0x2933 PID:1 CardId: " + std::to_string(card_id) +
           "\nFW Ver =0200,Boot Ver=0005\n";
  };
  auto refused = [&](std::vector<std::string> args, const std::string& err, int status = 1) {
    Step step = flash(std::move(args), status);
    step.err = err;
    return step;
  };

  // The second of two cards, by its port: the first card is asked its card id by the scan, nothing
  // more; the listing after the reset opens only the card at the port.
  Step second = ports ? flash({"--update", kImage, "--card", "1-2"}, 0)
                      : refused({"--update", kImage, "--card", "1-2"}, no_ports);
  if (ports) {
    second.out_has = {"Total 2 Msp430 find\nFlash Msp430 Information:\nVID: 0x2933 PID:1 CardId: 2\n"};
    second.out_ends = updated(2);
    second.pauses = kUpdatePauses;
    second.bsl = {{0, ""}, {1, kUpdateWire}};
    second.cards = {{0, Mode::Application, "0102"}, {1, Mode::Application, "0200", true}};
    second.commands = {{0, {kCardId, kCardId}}};
  } else {
    second.out = "Total 2 Msp430 find\n";
    second.commands = {{0, {kCardId, kCardId}}, {1, {kCardId, kCardId}}};
  }
  out.push_back(cardflash("flash second card by its port", "card id=1 fw=0102; card id=2 fw=0102", {second}));

  // A card stuck in its boot loader is listed first, at a port that starts its card's port: the
  // update finds its own card's boot loader at the card's port and never writes to the stuck one.
  Step beside = ports ? flash({"--update", kImage}, 0) : flash({"--update", kImage}, 1);
  beside.bsl = {{0, ""}, {1, ports ? kUpdateWire : ""}};
  beside.commands = {{0, {}}};
  if (ports) {
    beside.out_ends = kUpdated;
    beside.pauses = kUpdatePauses;
    beside.cards = {{0, Mode::UsbBootLoader, "0100"}, {1, Mode::Application, "0200", true}};
  } else {
    beside.out_ends = untold;
    beside.pauses = std::vector<int>{};
    beside.cards = {{0, Mode::UsbBootLoader, "0100"}, {1, Mode::Application, "0102"}};
  }
  out.push_back(cardflash("flash update beside a card stuck in its boot loader",
                          "bsl port=1-1; card id=1 fw=0102 port=1-10", {beside}, true));

  // Ports are told apart whole: 3-1, 3-1.4 and 3-10 (udev lists 3-1.4 first: its directory sorts
  // before 3-1's interface). Another maker's device with the boot loader's ids on bus 2, listed
  // before them all, looks like a boot loader to the scan and is never opened by the update.
  Step listed = flash({"--scan"}, 0);
  if (ports) {
    listed.out = "Total 3 Msp430 find\nFlash Msp430 Information:\nVID: 0x2933 PID:1 CardId: 2\n"
                 "FW Ver =0102,Boot Ver=0005\n"
                 "Card 0: CardId 2, port 3-1.4, FW 0102, Boot 0005, SN -\n"
                 "Card 1: CardId 3, port 3-1, FW 0102, Boot 0005, SN -\n"
                 "Card 2: CardId 1, port 3-10, FW 0102, Boot 0005, SN -\n"
                 "Boot loader: port 2-1\n";
    listed.err = "A controller is in its boot loader at port 2-1: Cardflash --recover FILE --card 2-1 brings it back\n";
  } else {
    listed.out_has = {"Total 3 Msp430 find\n"};
    listed.out_lacks = {"Card 0:"};
    listed.err = "A controller is in its boot loader: Cardflash --recover FILE brings it back\n";
  }
  Step middle = ports ? flash({"--update", kImage, "--card", "3-1"}, 0)
                      : refused({"--update", kImage, "--card", "3-1"}, no_ports);
  if (ports) {
    middle.out_has = {"Flash Msp430 Information:\nVID: 0x2933 PID:1 CardId: 3\n"};
    middle.out_ends = updated(3);
    middle.bsl = {{0, ""}, {1, ""}, {2, kUpdateWire}};
    middle.cards = {{0, Mode::Application, "0102"}, {1, Mode::Application, "0102"}, {2, Mode::Application, "0200", true}};
  }
  const std::string side_by_side = "card id=1 fw=0102 port=3-10; card id=2 fw=0102 port=3-1.4; "
                                   "card id=3 fw=0102 port=3-1; hid vid=2047 pid=0200 port=2-1";
  out.push_back(cardflash("flash scan of ports 3-1, 3-1.4 and 3-10 side by side", side_by_side, {listed}, true));
  out.push_back(cardflash("flash update of port 3-1 beside 3-1.4 and 3-10", side_by_side, {middle}));

  // A controller left in its boot loader beside a card that runs: --recover needs its port.
  const std::string both = "Cardflash: 1 card(s) and 1 boot loader(s) (2047:0200) are listed: name the boot loader with "
                           "--card PORT (Cardflash --scan lists the ports)\n";
  Step unnamed = ports ? refused({"--recover", kImage}, both, 3)
                       : refused({"--recover", kImage},
                                 "Cardflash: 1 card(s) listed: a controller that runs its firmware is updated with "
                                 "--update FILE\n");
  Step named = ports ? flash({"--recover", kImage, "--card", "1-1"}, 0)
                     : refused({"--recover", kImage, "--card", "1-1"}, no_ports);
  if (ports) {
    named.out_ends = updated(0);
    named.bsl = {{0, "19 " + kUpdateWire}, {1, ""}};
    named.cards = {{0, Mode::Application, "0200", true}, {1, Mode::Application, "0102"}};
    // The card beside it: asked by the recovery's listing and the scan for the port, not after the reset.
    named.commands = {{1, {kCardId, kCardId, kCardId, kCardId}}};
  }
  out.push_back(cardflash("flash recovery by port beside a card", "bsl port=1-1; card id=1 fw=0102 port=1-2",
                          {unnamed, named}));

  // Each new node is root-only for a while (udev has not applied the rules yet): every open is
  // tried again until it works, the card's first one, the boot loader's, the RAM boot loader's and
  // the card's after its reset; the log is as ever.
  Step waited = flash({"--update", kImage}, 0);
  waited.out_ends = kUpdated;
  waited.pauses = kUpdatePauses;
  waited.bsl = {{0, kUpdateWire}};
  waited.cards = {{0, Mode::Application, "0200", true}};
  out.push_back(cardflash("flash update with nodes root-only at first", "card id=1 fw=0102 acl_delay=1900 isp_delay=9000 restart_delay=2000", {waited}));
  Step seen = flash({"--scan"}, 0);
  seen.out = "Total 1 Msp430 find\nFlash Msp430 Information:\n" + kScan1;
  seen.commands = {{0, {kCardId, kCardId, kCardId, kVersion}}};
  out.push_back(cardflash("flash scan of a node root-only at first", "card id=1 fw=0102 acl_delay=300", {seen}, true));

  // The first card is pulled and plugged in again while the second switches: the second's boot
  // loader takes the first's node, the first comes back on the second's. The update still reads
  // the second card's identity at the end, at its port.
  Step swapped = ports ? flash({"--update", kImage, "--card", "1-2"}, 0)
                       : refused({"--update", kImage, "--card", "1-2"}, no_ports);
  Scenario swap = cardflash("flash two cards whose nodes swap minors across their resets",
                            "card id=1 fw=0102 replug=2000; card id=1 fw=0102", {swapped});
  if (ports) {
    swapped.out_ends = updated(1);
    swapped.bsl = {{0, ""}, {1, kUpdateWire}};
    swapped.cards = {{0, Mode::Application, "0102"}, {1, Mode::Application, "0200", true}};
    swap.steps = {swapped};
    swap.paths = {{0, "/dev/hidraw1"}, {1, "/dev/hidraw0"}};
  }
  out.push_back(swap);

  // No sysfs, no ports: --card is refused before anything is sent, and so is an update while a
  // boot loader is listed, whose card cannot be known.
  Step no_card_port = refused({"--update", kImage, "--card", "1-2"}, no_ports);
  no_card_port.commands = {{0, {}}, {1, {kCardId, kCardId}}};
  Step untied = flash({"--update", kImage}, 1);
  untied.out_ends = untold;
  untied.bsl = {{0, ""}};
  untied.cards = {{1, Mode::Application, "0102"}};
  out.push_back(cardflash("flash without ports", "sysfs none; bsl; card id=1 fw=0102", {no_card_port, untied}));

  // A factory line sets each card's serial number. Two cards with the same card id: the card id
  // does not choose, the port does; the other card keeps its own.
  Step shared = ports ? refused({"--write-sn", "SN0042", "--card", "1"},
                                "Cardflash: 2 cards have card id 1 (ports 1-1, 1-2): name one with --card PORT\n", 3)
                      : refused({"--write-sn", "SN0042", "--card", "1"}, no_ports);
  Step unchosen = refused({"--write-sn", "SN0042"},
                          std::string("Cardflash: 2 cards are listed (card ids 1, 1); --write-sn writes exactly one: ") +
                              (ports ? "choose it with --card PORT (Cardflash --scan lists the cards and their ports)\n"
                                     : "remove the others\n"),
                          3);
  Step written = ports ? flash({"--write-sn", "SN0042", "--card", "1-2"}, 0)
                       : refused({"--write-sn", "SN0042", "--card", "1-2"}, no_ports);
  Step shown = flash({"--scan"}, 0);
  if (ports) {
    written.out = "Card 1: CardId 1, port 1-2: serial number SN0042 written and read back\n";
    written.commands = {{0, std::vector<std::string>(6, kCardId)}};
    shown.out_has = {"Card 0: CardId 1, port 1-1, FW 0102, Boot 0005, SN AAAA\n"
                     "Card 1: CardId 1, port 1-2, FW 0102, Boot 0005, SN SN0042\n"};
  } else {
    shown.out_lacks = {"Card 0:"};
  }
  out.push_back(cardflash("flash serial number by row of two cards with one card id",
                          "card id=1 fw=0102 serial=AAAA; card id=1 fw=0102 serial=BBBB", {shared, unchosen, written, shown},
                          true));
  return out;
}

// Every card at once (--all), on virtual time one card after another (--jobs 1), so that the
// transcript is fixed: each card tied to its port, its lines after it; a failure does not stop the
// next card; the table at the end. Windows shows no ports: one card is updated as ever, several are
// refused before any is opened.
std::vector<Scenario> all_cards_scenarios(Personality on) {
  std::vector<Scenario> out;
  const bool ports = on == Personality::Linux;
  // The first card fails, the second is updated after it: the exit status is the failed card's.
  const std::string two = "card id=1 fw=0102 port=1-1 rambsl=nostart; card id=2 fw=0102 port=1-2";
  Step both = flash({"--update", kImage, "--all", "--jobs", "1"}, ports ? 4 : 3);
  if (ports) {
    both.out_has = {"Total 2 Msp430 find\nUpdate 2 card(s), 1 at a time\n[1-1] Flash Msp430 Information:\n"
                    "[1-1] VID: 0x2933 PID:1 CardId: 1\n[1-1] FW Ver =0102,Boot Ver=0005\n[1-1] Load Msp430 FW\n",
                    "[1-1] Wait for BSL\n[1-1] RAM BSL did not start\n[1-1] The card is in its boot loader; to bring "
                    "it back: Cardflash --recover " + std::string(kImage) + " --card 1-1\n"
                    "[1-2] Flash Msp430 Information:\n[1-2] VID: 0x2933 PID:1 CardId: 2\n",
                    "[1-2] program_file\n[1-2] " + kVerified + "[1-2] Device Reset  Complete\n"
                    "[1-2] VID: 0x2933 PID:1 CardId: 2\n[1-2] FW Ver =0200,Boot Ver=0005\n"};
    both.out_ends = "Port  CardId  Old   New   Result\n"
                    "1-1   1       0102  -     failed, in its boot loader (4)\n"
                    "1-2   2       0102  0200  updated\n";
    both.bsl = {{1, kUpdateWire}};
    both.cards = {{0, Mode::UsbBootLoader, "0102"}, {1, Mode::Application, "0200", true}};
  } else {
    both.out = "Total 2 Msp430 find\n";
    both.err = "Cardflash: several cards are listed without USB ports (Windows, or no sysfs): their boot loaders "
               "cannot be told apart, so --all updates none; update one card at a time with the others unplugged\n";
    both.commands = {{0, {}}, {1, {}}};
  }
  out.push_back(cardflash("flash all cards one at a time, the first's RAM boot loader does not start", two, {both}));

  Step one = flash({"--update", kImage, "--all"}, 0);
  const std::string prefix = ports ? "[1-1] " : "";
  one.out_has = {"Total 1 Msp430 find\nUpdate 1 card(s), 1 at a time\n" + prefix + "Flash Msp430 Information:\n"};
  one.out_ends = prefix + "FW Ver =0200,Boot Ver=0005\nPort  CardId  Old   New   Result\n" +
                 (ports ? "1-1 " : "-   ") + "  1       0102  0200  updated\n";
  one.bsl = {{0, kUpdateWire}};
  one.cards = {{0, Mode::Application, "0200", true}};
  out.push_back(cardflash("flash all of one card", "card id=1 fw=0102", {one}, true));
  return out;
}

}  // namespace

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const std::vector<Scenario>& scenarios(Personality on) {
  auto made = [](Personality p) {
    std::vector<Scenario> list = cardtool_scenarios();
    for (Scenario& s : cardflash_scenarios(p)) list.push_back(std::move(s));
    for (Scenario& s : port_scenarios(p)) list.push_back(std::move(s));
    for (Scenario& s : all_cards_scenarios(p)) list.push_back(std::move(s));
    return list;
  };
  static const std::vector<Scenario> on_linux = made(Personality::Linux), on_windows = made(Personality::Windows);
  return on == Personality::Windows ? on_windows : on_linux;
}

const Scenario& scenario_named(const std::string& name, Personality on) {
  for (const Scenario& s : scenarios(on))
    if (s.name == name) return s;
  throw std::invalid_argument("no scenario named " + name);
}

}  // namespace testsupport
