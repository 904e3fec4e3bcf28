// The updater as a simulated card needs it: a copy of the built Cardflash beside the project's
// stand-in RAM boot loader, in a folder of its own. The build tree's Cardflash has no image beside
// it, so that nobody runs the stand-in against a real card.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace testsupport {

// Made once per test program; `cardflash` and `ram_bsl` are the built program and the stand-in.
inline std::string simulated_cardflash(const std::string& cardflash, const std::string& ram_bsl) {
  namespace fs = std::filesystem;
  static const std::string copy = [&] {
    const fs::path folder = fs::temp_directory_path() / ("cardflash-sim-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    fs::copy_file(cardflash, folder / "Cardflash", fs::copy_options::overwrite_existing);
    fs::copy_file(ram_bsl, folder / fs::path(ram_bsl).filename(), fs::copy_options::overwrite_existing);
    return (folder / "Cardflash").string();
  }();
  return copy;
}

}  // namespace testsupport
