// The channel's pauses in Cardlink.dll: the card firmware needs the real 100 ms between a request
// and its polls.
#include <windows.h>

#include "command_channel.h"

namespace cardlink {

void pause_ms(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace cardlink
