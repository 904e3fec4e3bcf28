// A hidraw node's USB port through libudev, as the kernel shows it in sysfs: the node
// /sys/class/hidraw/hidrawN sits below its HID device, the USB interface and the USB device,
// whose directory the kernel names "%d-%s" from busnum and devpath (usb_alloc_dev,
// drivers/usb/core/usb.c) and whose attributes busnum and devpath say the same
// (drivers/usb/core/sysfs.c). udev_device_get_parent_with_subsystem_devtype walks up to the
// nearest usb_device, never a hub above it.
#include <libudev.h>

#include <cstdio>
#include <cstring>

#include "usb_port.h"

namespace cardlink {

bool usb_port_of(const char* path, char port[kPortFieldSize]) {
  port[0] = '\0';
  constexpr char kNodePrefix[] = "/dev/hidraw";
  if (!path || std::strncmp(path, kNodePrefix, sizeof kNodePrefix - 1) != 0) return false;
  udev* context = udev_new();
  if (!context) return false;
  bool found = false;
  if (udev_device* node = udev_device_new_from_subsystem_sysname(context, "hidraw", path + 5)) {
    // The parent belongs to the node and goes with it.
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device")) {
      const char* busnum = udev_device_get_sysattr_value(usb, "busnum");
      const char* devpath = udev_device_get_sysattr_value(usb, "devpath");
      char text[kPortFieldSize + 8];
      if (busnum && devpath && std::snprintf(text, sizeof text, "%s-%s", busnum, devpath) < static_cast<int>(sizeof text) &&
          is_port_text(text)) {
        std::memcpy(port, text, std::strlen(text) + 1);
        found = true;
      }
    }
    udev_device_unref(node);
  }
  udev_unref(context);
  return found;
}

}  // namespace cardlink
