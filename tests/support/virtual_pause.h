// The command channel's pauses on virtual time (virtual_pause.cpp defines cardlink::pause_ms for
// programs that link cardlink_core or cardtool_core): each pause moves the virtual bus's clock
// and returns at once, and is recorded so tests can check the exact pacing.
#pragma once

#include <vector>

namespace testsupport {

// The pauses (ms) since the last clear, in order.
std::vector<int> channel_pauses();
void clear_channel_pauses();

}  // namespace testsupport
