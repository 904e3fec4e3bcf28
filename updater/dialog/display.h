// Whether the window can open on the X display that DISPLAY names: Qt ends the program with an
// abort when its xcb platform cannot connect (a stale DISPLAY of an ssh session whose forwarding
// is gone), so the program asks first.
#pragma once

#include <string>

namespace cardflash {

// Empty when the window would open on X and the X server takes a connection, or when the window
// would not use X at all (Wayland, or a Qt platform chosen); otherwise why it cannot.
std::string UnreachableDisplay(int argc, char** argv);

}  // namespace cardflash
