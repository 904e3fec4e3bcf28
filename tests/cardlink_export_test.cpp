// libCardlink.so as built: exactly the Tav_ exports of cardlink.h, and its dependencies on
// Debian's hidapi and libudev.
#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

const std::set<std::string> kExports = {
    "Tav_Init",        "Tav_GetCardNum",  "Tav_GetCardIdTable", "Tav_GetFirstDevInfoToFlash", "Tav_Close",
    "Tav_Write_SN",    "Tav_Read_SN",     "Tav_SwitchToISP",    "Tav_EnumBootDev",            "Tav_BslConnect",
    "Tav_BslWrite",    "Tav_BslRead",     "Tav_BslClose",       "Tav_InitForRecovery",        "Tav_GetLastFailure",
    "Tav_GetCardPort", "Tav_GetDevInfoByRow", "Tav_SwitchToISPByRow", "Tav_Write_SN_ByRow", "Tav_Read_SN_ByRow",
    "Tav_ListBootDevs", "Tav_EnumBootDevAtPort", "Tav_InitAtPort", "Tav_ListCardPorts"};

std::vector<std::vector<std::string>> nm_lines(std::vector<std::string> args) {
  args.push_back(CARDLINK_LIBRARY);
  cardsim::ProgramRun r = cardsim::run_program(NM_PATH, args);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
    if (!w.empty()) lines.push_back(w);
  }
  return lines;
}

// Plain C names, without symbol versions, all functions in the text section.
TEST(CardlinkLibrary, ExportsExactlyTheNamesOfItsHeader) {
  std::set<std::string> names;
  for (const auto& w : nm_lines({"-D", "--defined-only", "--with-symbol-versions"})) {
    ASSERT_EQ(w.size(), 3u) << "unexpected nm line";
    EXPECT_EQ(w[1], "T") << w[2] << " is not a function in the text section";
    EXPECT_TRUE(names.insert(w[2]).second) << w[2] << " twice";
  }
  EXPECT_EQ(names, kExports);
}

TEST(CardlinkLibrary, NeedsDebianHidapiAndNeverShutsItDown) {
  cardsim::ProgramRun r = cardsim::run_program(READELF_PATH, {"-d", "-W", CARDLINK_LIBRARY});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("(SONAME)             Library soname: [libCardlink.so.1]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Shared library: [libhidapi-hidraw.so.0]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Shared library: [libudev.so.1]"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("libhidapi-libusb"), std::string::npos) << r.out;
  std::set<std::string> undefined;
  for (const auto& w : nm_lines({"-D", "--undefined-only"})) undefined.insert(w.back());
  EXPECT_TRUE(undefined.count("hid_init"));
  EXPECT_TRUE(undefined.count("hid_open_path"));
  EXPECT_FALSE(undefined.count("hid_exit")) << "the library never shuts the HID layer down";
}

}  // namespace
