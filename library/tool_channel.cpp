#include "tool_channel.h"

#include <cstdarg>
#include <cstdio>

namespace cardlink {

namespace {

void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

}  // namespace

const ChannelProfile kToolChannel = {
    command_bit(MCU_CMD_FW_VERSION) | command_bit(MCU_CMD_PRODUCT_ID) | command_bit(MCU_CMD_READ_01_01) |
        command_bit(MCU_CMD_READ_01_04) | command_bit(MCU_CMD_READ_01_05) | command_bit(MCU_CMD_CARD_ID) |
        command_bit(MCU_CMD_READ_02_09) | command_bit(MCU_CMD_READ_DATA),
    command_bit(MCU_CMD_SWITCH_TO_ISP),
    print,
    print,
    nullptr,
    true,
};

}  // namespace cardlink
