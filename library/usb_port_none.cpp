// Windows shows no USB port path through hidapi, and the library asks nothing else: no port.
#include "usb_port.h"

namespace cardlink {

bool usb_port_of(const char*, char port[kPortFieldSize]) {
  port[0] = '\0';
  return false;
}

}  // namespace cardlink
