#include "library_channel.h"

#include "lib_trace.h"

namespace cardlink {

const ChannelProfile kLibraryChannel = {
    command_bit(MCU_CMD_FW_VERSION) | command_bit(MCU_CMD_CARD_ID) | command_bit(MCU_CMD_READ_DATA),
    command_bit(MCU_CMD_SWITCH_TO_ISP) | command_bit(MCU_CMD_WRITE_DATA) | command_bit(MCU_CMD_SET_READ_ADDRESS),
    nullptr,
    LibTrace,
    LibTrace,
    false,
};

}  // namespace cardlink
