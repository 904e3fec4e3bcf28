// The card library's debug trace. The library discards what it is given; the calls stay in the
// code to mark what it would report at each step, and this is the one place to send that
// somewhere when a problem needs it.
#pragma once

#include "printf_format.h"

namespace cardlink {

void LibTrace(const char* format, ...) CARDLINK_PRINTF_FORMAT(1, 2);

}  // namespace cardlink
