// libCardlink.so as built: exactly the thirteen Tav_ exports and the one for recovery, its dependency on Debian's hidapi,
// and, in this test program, that dependency resolved at run time to the virtual bus.
#include <dlfcn.h>
#include <link.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cardlink.h"
#include "support/run_program.h"
#include "virtual_bus.h"

using namespace testsupport;

namespace {

const std::set<std::string> kExports = {
    "Tav_Init",        "Tav_GetCardNum",  "Tav_GetCardIdTable", "Tav_GetFirstDevInfoToFlash", "Tav_Close",
    "Tav_Write_SN",    "Tav_Read_SN",     "Tav_SwitchToISP",    "Tav_EnumBootDev",            "Tav_BslConnect",
    "Tav_BslWrite",    "Tav_BslRead",     "Tav_BslClose",       "Tav_InitForRecovery"};

std::vector<std::vector<std::string>> nm_lines(const std::vector<std::string>& args) {
  std::vector<std::string> all = args;
  all.push_back(CARDLINK_LIBRARY);
  ProgramResult r = run_program(NM_PATH, all);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (!w.empty()) lines.push_back(w);
  }
  return lines;
}

std::string real_path(const std::string& p) {
  char buffer[PATH_MAX];
  return realpath(p.c_str(), buffer) ? std::string(buffer) : p;
}

TEST(CardlinkLibrary, ExportsExactlyTheThirteenNames) {
  std::set<std::string> names;
  for (const auto& w : nm_lines({"-D", "--defined-only"})) {
    ASSERT_EQ(w.size(), 3u) << "unexpected nm line";
    EXPECT_EQ(w[1], "T") << w[2] << " is not a function in the text section";
    EXPECT_TRUE(names.insert(w[2]).second) << w[2] << " twice";
  }
  EXPECT_EQ(names, kExports);
}

TEST(CardlinkLibrary, NamesAreUndecoratedAndUnversioned) {
  for (const auto& w : nm_lines({"-D", "--defined-only", "--with-symbol-versions"})) {
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[2].find('@'), std::string::npos) << w[2];
    EXPECT_NE(w[2].rfind("Tav_", 0), std::string::npos) << w[2];
  }
}

TEST(CardlinkLibrary, NeedsDebianHidapiAndNeverShutsItDown) {
  ProgramResult r = run_program(READELF_PATH, {"-d", "-W", CARDLINK_LIBRARY});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("(SONAME)             Library soname: [libCardlink.so.1]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Shared library: [libhidapi-hidraw.so.0]"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("libhidapi-libusb"), std::string::npos) << r.out;
  std::set<std::string> undefined;
  for (const auto& w : nm_lines({"-D", "--undefined-only"})) undefined.insert(w.back());
  EXPECT_TRUE(undefined.count("hid_init"));
  EXPECT_TRUE(undefined.count("hid_open_path"));
  EXPECT_FALSE(undefined.count("hid_exit")) << "the library never shuts the HID layer down";
}

// The test program links libCardlink.so and the virtual bus, whose SONAME is that of Debian's
// hidapi: one libhidapi-hidraw.so.0 is loaded, the simulator, and Cardlink's hid_ calls reach it.
TEST(CardlinkLibrary, HidapiResolvesToTheVirtualBusAtRunTime) {
  std::vector<std::string> loaded;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        if (info->dlpi_name && *info->dlpi_name)
          static_cast<std::vector<std::string>*>(data)->push_back(real_path(info->dlpi_name));
        return 0;
      },
      &loaded);
  std::vector<std::string> hidapi, cardlink;
  for (const std::string& name : loaded) {
    if (name.find("libhidapi") != std::string::npos) hidapi.push_back(name);
    if (name.find("libCardlink") != std::string::npos) cardlink.push_back(name);
  }
  ASSERT_EQ(hidapi.size(), 1u) << "hidapi libraries loaded: " << ::testing::PrintToString(hidapi);
  EXPECT_EQ(hidapi[0].rfind(real_path(SIMBUS_DIR), 0), 0u) << hidapi[0];
  ASSERT_EQ(cardlink.size(), 1u);
  EXPECT_EQ(cardlink[0], real_path(CARDLINK_LIBRARY));

  // The symbol as Cardlink's own lookup scope (the library and its dependencies) finds it.
  void* library = dlopen(cardlink[0].c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  for (const char* symbol : {"hid_init", "hid_enumerate", "hid_open_path", "hid_write", "hid_read"}) {
    Dl_info where{};
    void* address = dlsym(library, symbol);
    ASSERT_NE(address, nullptr) << symbol;
    ASSERT_NE(dladdr(address, &where), 0) << symbol;
    EXPECT_EQ(real_path(where.dli_fname), hidapi[0]) << symbol;
  }
  dlclose(library);

  // And it works: the simulated card is found through the exports.
  cardsim::bus::reset();
  cardsim::bus::configure("card id=5");
  CardContext* context = Tav_Init();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(Tav_GetCardNum(context), 1);
  EXPECT_TRUE(Tav_Close(context));
  EXPECT_EQ(cardsim::bus::open_handles(), 0);
}

}  // namespace
