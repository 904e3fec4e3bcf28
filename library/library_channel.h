// The command channel as the card library uses it: read ids 0, 5, 20; write ids 6, 18, 19;
// nothing printed, diagnostics to LibTrace; a failed switch write passes the HID result on.
#pragma once

#include "command_channel.h"

namespace cardlink {

extern const ChannelProfile kLibraryChannel;

}  // namespace cardlink
