// The command channel as cardtool uses it: every read id but the serial-number ones, the switch
// as the only write, every diagnostic printed on standard output, a switch write of no bytes
// judged a failure.
#pragma once

#include "command_channel.h"

namespace cardlink {

extern const ChannelProfile kToolChannel;

}  // namespace cardlink
