#include "lib_trace.h"

namespace cardlink {

void LibTrace(const char*, ...) {}

}  // namespace cardlink
