// Cardflash --update FILE --all as built, on the virtual bus loaded in place of hidapi, in real
// time: several cards updated at once, each on a thread of its own, each tied to its port.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_run.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kFirmware = SAMPLE_DATA_DIR "/firmware_0200.txt";
const std::string kRamBsl = SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt";

std::map<std::string, std::string> Env(const std::string& devices) {
  // The C locale: the Big5 full-width space of the device-found line passes unchanged.
  return {{"LD_LIBRARY_PATH", SIMBUS_DIR}, {"CARDSIM_DEVICES", devices}, {"LC_ALL", "C"}};
}

cardsim::ProgramRun Cardflash(const std::string& devices, std::vector<std::string> args) {
  if (args.front() == "--update") args.insert(args.begin(), {"--ram-bsl", kRamBsl});
  return cardsim::run_program(CARDFLASH_PATH, args, {Env(devices), std::chrono::seconds(150)});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines of one card, its prefix taken off.
std::vector<std::string> LinesOf(const std::string& port, const std::string& text) {
  const std::string prefix = "[" + port + "] ";
  std::vector<std::string> lines;
  for (const std::string& line : Lines(text))
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  return lines;
}

std::string Identity(int card_id, const std::string& fw) {
  return "VID: 0x2933 PID:1 CardId: " + std::to_string(card_id) + "\nFW Ver =" + fw + ",Boot Ver=0005";
}

// A card's whole log up to its reset, as one card alone logs it.
std::vector<std::string> UpToTheReset(int card_id) {
  return Lines("Flash Msp430 Information:\n" + Identity(card_id, "0102") + "\nLoad Msp430 FW\n" + kFirmware +
               "\n==Load RAM BSL==\n" + kRamBsl +
               "\nLoad RAM_BSL_00.08.08.39.txt Complete\nLoad Msp430 FW Complete\nSwitch to ISP mode \n"
               "Device 0x2047 0x0200 ISP\xA1\x40mode device found\nDevice Connected\nMass Erase\n"
               "Download full BSL...\nWait for BSL\n==========================\nprogram_file\n"
               "Verify Complete: 8 segments, 15696 bytes\nDevice Reset  Complete\n");
}

std::vector<std::string> Updated(int card_id) {
  std::vector<std::string> lines = UpToTheReset(card_id);
  for (const std::string& line : Lines(Identity(card_id, "0200"))) lines.push_back(line);
  return lines;
}

// Three cards on one hub, the third never comes back after its reset: the other two are updated,
// the table says which failed and where that card is, and the exit status is the failed card's.
TEST(AllCards, OneOfThreeNeverComesBack) {
  const auto r = Cardflash("card id=1 fw=0102 port=3-1.4; card id=2 fw=0102 port=3-1.5; "
                           "card id=3 fw=0102 port=3-1.6 fault=noreturn",
                           {"--update", kFirmware, "--all"});
  EXPECT_EQ(r.exit_status, 5) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines.front(), "Total 3 Msp430 find");
  EXPECT_NE(r.out.find("\nUpdate 3 card(s), 3 at a time\n"), std::string::npos) << r.out;
  EXPECT_EQ(LinesOf("3-1.4", r.out), Updated(1));
  EXPECT_EQ(LinesOf("3-1.5", r.out), Updated(2));
  std::vector<std::string> failed = UpToTheReset(3);
  failed.push_back("Fail to Get Device information!!");
  failed.push_back("The card was reset into its new firmware but did not answer as a card; if a boot loader is "
                   "listed: Cardflash --recover " + kFirmware + " --card 3-1.6");
  EXPECT_EQ(LinesOf("3-1.6", r.out), failed);
  const std::vector<std::string> table(lines.end() - 4, lines.end());
  EXPECT_EQ(table, (std::vector<std::string>{"Port   CardId  Old   New   Result",
                                             "3-1.4  1       0102  0200  updated",
                                             "3-1.5  2       0102  0200  updated",
                                             "3-1.6  3       0102  -     failed, reset, not answering as a card (5)"}));
}

// Eight cards, the card table's whole capacity, on two hubs and a root port: all updated in about
// the time of one (one after another would take eight times 20 s).
TEST(AllCards, EightAtOnce) {
  std::string devices;
  const std::vector<std::string> ports = {"1-1", "3-1.1", "3-1.2", "3-1.3", "3-1.4", "4-2.1", "4-2.2", "4-2.3"};
  for (std::size_t i = 0; i < ports.size(); ++i)
    devices += "card id=" + std::to_string(i + 1) + " fw=0102 port=" + ports[i] + ";";
  const auto start = Clock::now();
  const auto r = Cardflash(devices, {"--update", kFirmware, "--all"});
  const auto took = Clock::now() - start;
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("\nUpdate 8 card(s), 8 at a time\n"), std::string::npos) << r.out;
  std::vector<std::string> table = {"Port   CardId  Old   New   Result"};
  for (std::size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(LinesOf(ports[i], r.out), Updated(static_cast<int>(i) + 1)) << ports[i];
    table.push_back(ports[i] + std::string(7 - ports[i].size(), ' ') + std::to_string(i + 1) +
                    "       0102  0200  updated");
  }
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), table.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(table.size()), lines.end()), table);
  EXPECT_LT(took, std::chrono::seconds(40)) << "the cards did not run side by side";
}

// --jobs 2 with four cards: never more than two in flight, and two at a time from the start. With
// --json the log goes to standard error and standard output holds the document alone.
TEST(AllCards, TwoAtATimeWithJson) {
  const std::vector<std::string> ports = {"2-1", "2-2", "2-3", "2-4"};
  std::string devices;
  for (std::size_t i = 0; i < ports.size(); ++i)
    devices += "card id=" + std::to_string(i + 1) + " fw=0102 port=" + ports[i] + ";";
  const auto r = Cardflash(devices, {"--update", kFirmware, "--all", "--jobs", "2", "--json"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // A card is in flight from its first line after the scan to its last.
  std::set<std::string> in_flight, finished;
  std::size_t most = 0;
  bool scanned = false;
  for (const std::string& line : Lines(r.err)) {
    if (line == "Update 4 card(s), 2 at a time") scanned = true;
    if (!scanned || line.front() != '[') continue;
    const std::string port = line.substr(1, line.find(']') - 1);
    EXPECT_FALSE(finished.count(port)) << "a line of " << port << " after its last";
    in_flight.insert(port);
    most = std::max(most, in_flight.size());
    if (line == "[" + port + "] " + Lines(Identity(1, "0200")).back()) {
      in_flight.erase(port);
      finished.insert(port);
    }
  }
  EXPECT_TRUE(scanned) << r.err;
  EXPECT_EQ(most, 2u);
  EXPECT_EQ(finished.size(), 4u);
  const nlohmann::json document = nlohmann::json::parse(r.out);
  nlohmann::json cards = nlohmann::json::array();
  for (std::size_t i = 0; i < ports.size(); ++i)
    cards.push_back({{"port", ports[i]}, {"card_id", i + 1}, {"old_version", "0102"}, {"new_version", "0200"},
                     {"result", "updated"}, {"state", "updated"}, {"exit", 0}});
  EXPECT_EQ(document, (nlohmann::json{{"cards", cards}, {"exit", 0}}));
}

// Ctrl-C once every card has been told to switch: each stops at its next safe point, says where it
// is, and the table and the exit status say it too.
TEST(AllCards, CtrlCStopsEveryCard) {
  const std::string out_file = ::testing::TempDir() + "/all-cards-" + std::to_string(getpid()) + ".txt";
  std::atomic<pid_t> pid{0};
  Clock::time_point signalled{};
  std::thread watcher([&] {
    const auto give_up = Clock::now() + std::chrono::seconds(60);
    for (;;) {
      std::ifstream in(out_file);
      std::stringstream text;
      text << in.rdbuf();
      std::size_t switched = 0;
      for (std::size_t at = 0; (at = text.str().find("Switch to ISP mode \n", at)) != std::string::npos; ++at) ++switched;
      if (switched == 3 || Clock::now() > give_up) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    signalled = Clock::now();
    kill(pid, SIGINT);
  });
  const auto r = cardsim::run_program(
      "/bin/sh",
      {"-c", "exec \"$0\" \"$@\" > " + out_file, CARDFLASH_PATH, "--ram-bsl", kRamBsl, "--update", kFirmware, "--all"},
      {Env("card id=1 fw=0102 port=1-1; card id=2 fw=0102 port=1-2; card id=3 fw=0102 port=1-3"),
       std::chrono::seconds(90), nullptr, [&](pid_t started) { pid = started; }});
  const auto ended = Clock::now();
  watcher.join();
  std::ifstream in(out_file);
  std::stringstream text;
  text << in.rdbuf();
  const std::string out = text.str();
  EXPECT_EQ(r.exit_status, 130) << r.err;
  EXPECT_LT(ended - signalled, std::chrono::seconds(3)) << "the 10 s pauses went on";
  for (const std::string port : {"1-1", "1-2", "1-3"}) {
    const std::vector<std::string> lines = LinesOf(port, out);
    ASSERT_GE(lines.size(), 3u) << out;
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Switch to ISP mode ", "Stopped on request",
                                        "The card may be in its boot loader: Cardflash --scan tells; if it lists one: "
                                        "Cardflash --recover " + kFirmware + " --card " + port}))
        << port;
  }
  const std::vector<std::string> lines = Lines(out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (std::vector<std::string>{"Port  CardId  Old   New   Result",
                                      "1-1   1       0102  -     stopped, perhaps in its boot loader",
                                      "1-2   2       0102  -     stopped, perhaps in its boot loader",
                                      "1-3   3       0102  -     stopped, perhaps in its boot loader"}));
}

// --scan --json: every card with its port, versions and serial number, and the boot loader beside
// them; the log lines on standard error.
TEST(AllCards, ScanAsJson) {
  const auto r = Cardflash("card id=1 fw=0102 port=3-1.4 serial=SN0001; card id=2 fw=0103 port=3-1.5; "
                           "bsl port=3-1.6",
                           {"--scan", "--json"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "Total 2 Msp430 find\nFlash Msp430 Information:\n" + Identity(1, "0102") +
                       "\nA controller is in its boot loader at port 3-1.6: Cardflash --recover FILE --card 3-1.6 "
                       "brings it back\n");
  const nlohmann::json expected = {
      {"cards",
       {{{"row", 0}, {"card_id", 1}, {"port", "3-1.4"}, {"vendor_id", 0x2933}, {"product_id", 1},
         {"fw_version", "0102"}, {"boot_version", "0005"}, {"serial_number", "SN0001"}},
        {{"row", 1}, {"card_id", 2}, {"port", "3-1.5"}, {"vendor_id", 0x2933}, {"product_id", 1},
         {"fw_version", "0103"}, {"boot_version", "0005"}, {"serial_number", nullptr}}}},
      {"boot_loaders", {{{"port", "3-1.6"}}}}};
  EXPECT_EQ(nlohmann::json::parse(r.out), expected) << r.out;
}

// Without ports nothing tells the cards' boot loaders apart: --all refuses before touching any.
TEST(AllCards, SeveralCardsWithoutPortsAreRefused) {
  const auto r = Cardflash("sysfs none; card id=1 fw=0102; card id=2 fw=0102", {"--update", kFirmware, "--all"});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "Total 2 Msp430 find\n");
  EXPECT_EQ(r.err, "Cardflash: several cards are listed without USB ports (Windows, or no sysfs): their boot loaders "
                   "cannot be told apart, so --all updates none; update one card at a time with the others unplugged\n");
}

}  // namespace
