// The card library's debug trace. The delivered library discards what it is given; the calls
// stay in the code as the record of what a debug build would tell.
#pragma once

namespace cardlink {

void LibTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cardlink
