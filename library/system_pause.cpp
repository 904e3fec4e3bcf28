// The channel's pauses in the shipped binaries: the card firmware needs the real 100 ms between
// a request and its polls. Kept out of the channel's libraries so tests can supply virtual time.
#include <unistd.h>

#include "command_channel.h"

namespace cardlink {

void pause_ms(int milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000); }

}  // namespace cardlink
