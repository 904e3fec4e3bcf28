#include "usb_port.h"

#include <cstring>

namespace cardlink {

bool is_port_text(const char* text) {
  if (!text || !*text) return false;
  const char* c = text;
  auto digits = [&c] {
    const char* start = c;
    while (*c >= '0' && *c <= '9') ++c;
    return c > start;
  };
  if (!digits() || *c++ != '-' || !digits()) return false;
  while (*c == '.') {
    ++c;
    if (!digits()) return false;
  }
  return *c == '\0' && std::strlen(text) < kPortFieldSize;
}

bool same_port(const char* a, const char* b) { return a && b && *a && std::strcmp(a, b) == 0; }

}  // namespace cardlink
