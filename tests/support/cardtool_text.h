// What cardtool prints, shared by the transcripts on the virtual bus and on hidraw.
#pragma once

#include <string>

namespace testsupport {

inline const std::string kCardtoolUsage =
    "Usage: ./cardtool  -h or for ./cardtool --help for help \n"
    "mcu info read ./cardtool [-i/-I]  \n"
    "switch to boot mode ./cardtool [-isp/-ISP]  \n";
inline const std::string kCardtoolRefused =
    "Board number = 0 or exceed 1 , only one board for fw update , please remove extra board!!\n";

// The block printed for each device found; `type` is vendor and product id.
inline std::string device_found(const std::string& path, const std::string& type = "2933 0001") {
  return "Device Found\n  type: " + type + "\n  path: " + path + "\n";
}

}  // namespace testsupport
