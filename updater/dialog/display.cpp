#include "display.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace cardflash {

namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

std::string UnreachableDisplay(int argc, char** argv) {
  if (Set("WAYLAND_DISPLAY") || !Set("DISPLAY")) return {};
  if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && *platform && std::strcmp(platform, "xcb"))
    return {};
  for (int i = 1; i < argc; ++i)
    if (!std::strncmp(argv[i], "-platform", 9) || !std::strncmp(argv[i], "--platform", 10)) return {};
  // The connection Qt would make: the same library, the same display and authority.
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const int error = xcb_connection_has_error(connection);
  xcb_disconnect(connection);
  if (!error) return {};
  return std::string("the X display ") + std::getenv("DISPLAY") +
         (error == XCB_CONN_CLOSED_PARSE_ERR ? " is not a display name" : " does not take a connection");
}

}  // namespace cardflash
