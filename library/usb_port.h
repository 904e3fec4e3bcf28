// The USB port of the device behind a hidraw node: where a card is plugged in, which stays the same
// while it re-enumerates (switch to its boot loader, reset), unlike its node, minor and USB device
// number. hidapi does not give it; on Linux it comes from udev (usb_port_udev.cpp), on Windows there
// is none (usb_port_none.cpp).
#pragma once

#include <cstddef>

namespace cardlink {

// "3-1.4": the bus number, '-', and the port on the root hub and on each hub below it, joined by
// '.', as the kernel names the USB device; at most 31 characters.
constexpr std::size_t kPortFieldSize = 32;

// The port of the USB device that the hidraw node `path` (/dev/hidrawN) belongs to: the node's
// nearest parent of subsystem usb and devtype usb_device, its busnum and devpath attributes. False,
// with `port` empty, when there is none: no udev or sysfs (Windows, a container), a path that is
// not a hidraw node, a node that has gone.
bool usb_port_of(const char* path, char port[kPortFieldSize]);

// Whether `text` has the form of a port: digits, '-', digits, and more digits after each '.'.
bool is_port_text(const char* text);

// Two ports are the same port only when equal whole: 3-1 is neither 3-1.4 nor 3-10. An empty port
// is no port and matches nothing.
bool same_port(const char* a, const char* b);

}  // namespace cardlink
