// The few calls of libudev that Cardlink and cardtool make, over the virtual bus: a drop-in
// libudev.so.1 (symbol version LIBUDEV_183, as systemd's libudev.sym gives them) beside the bus's
// libhidapi-hidraw.so.0, so that the shipped programs on the bus see each node's USB port as they
// would through udev on sysfs.
//
// A listed /dev/hidrawN is, as in sysfs, a chain of devices up to its bus's root hub: the hidraw
// node, its HID device, the USB interface, the USB device (busnum, devnum, devpath, idVendor,
// idProduct) and the root hub usbB (devpath 0, devnum 1). Hubs between the root hub and the device
// are left out: the walk up to the nearest usb_device never reaches them (the hidraw harness builds
// them). A parent belongs to its child and is released with it, as libudev's are
// (udev_device_get_parent). Nothing is known of a node that is not listed, on the Windows
// personality, or with "sysfs none".
#include <libudev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "virtual_bus.h"

struct udev {
  int references = 1;
};

struct udev_device {
  int references = 1;
  struct udev* context = nullptr;
  std::string syspath, sysname, subsystem, devtype;
  std::map<std::string, std::string> attributes;
  std::unique_ptr<udev_device> parent;
};

namespace {

constexpr const char* kController = "/sys/devices/pci0000:00/0000:00:14.0/";

std::unique_ptr<udev_device> make(struct udev* context, std::string syspath, std::string subsystem,
                                  std::string devtype, std::unique_ptr<udev_device> parent) {
  auto d = std::make_unique<udev_device>();
  d->context = context;
  d->sysname = syspath.substr(syspath.rfind('/') + 1);
  d->syspath = std::move(syspath);
  d->subsystem = std::move(subsystem);
  d->devtype = std::move(devtype);
  d->parent = std::move(parent);
  return d;
}

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);  // as the kernel prints idVendor
  return text;
}

// The chain of sysfs devices above the hidraw node `view` describes.
std::unique_ptr<udev_device> chain(struct udev* context, const cardsim::bus::UsbDeviceView& view) {
  const std::string bus = std::to_string(view.busnum);
  auto root = make(context, kController + std::string("usb") + bus, "usb", "usb_device", nullptr);
  root->attributes = {{"busnum", bus}, {"devnum", "1"}, {"devpath", "0"}, {"bDeviceClass", "09"}};
  const std::string usb_path = kController + cardsim::usb_device_syspath(view.port);
  const std::string interface_path = usb_path + "/" + view.port + ":1." + std::to_string(view.interface_number);
  auto usb = make(context, usb_path, "usb", "usb_device", std::move(root));
  usb->attributes = {{"busnum", bus},
                     {"devnum", std::to_string(view.devnum)},
                     {"devpath", view.devpath},
                     {"idVendor", hex4(view.vendor_id)},
                     {"idProduct", hex4(view.product_id)},
                     {"bDeviceClass", "00"}};
  auto interface = make(context, interface_path, "usb", "usb_interface", std::move(usb));
  char hid_name[32];
  std::snprintf(hid_name, sizeof hid_name, "/0003:%04X:%04X.%04X", view.vendor_id, view.product_id,
                static_cast<unsigned>(view.minor + 1));
  auto hid = make(context, interface_path + hid_name, "hid", "", std::move(interface));
  return make(context, interface_path + hid_name + "/hidraw/hidraw" + std::to_string(view.minor), "hidraw", "",
              std::move(hid));
}

}  // namespace

extern "C" {

struct udev* udev_new(void) { return new (std::nothrow) struct udev; }

struct udev* udev_ref(struct udev* context) {
  if (context) ++context->references;
  return context;
}

struct udev* udev_unref(struct udev* context) {
  if (context && --context->references == 0) delete context;
  return nullptr;
}

struct udev_device* udev_device_new_from_subsystem_sysname(struct udev* context, const char* subsystem,
                                                           const char* sysname) {
  if (!context || !subsystem || !sysname || std::strcmp(subsystem, "hidraw") != 0) {
    errno = ENODEV;
    return nullptr;
  }
  const auto view = cardsim::bus::usb_device_of_node(sysname);
  if (!view) {
    errno = ENODEV;
    return nullptr;
  }
  return chain(context, *view).release();
}

struct udev_device* udev_device_ref(struct udev_device* device) {
  if (device) ++device->references;
  return device;
}

struct udev_device* udev_device_unref(struct udev_device* device) {
  // Only the device the caller made is counted; its parents go with it.
  if (device && --device->references == 0) delete device;
  return nullptr;
}

struct udev_device* udev_device_get_parent(struct udev_device* device) {
  if (!device || !device->parent) {
    errno = ENOENT;
    return nullptr;
  }
  return device->parent.get();
}

struct udev_device* udev_device_get_parent_with_subsystem_devtype(struct udev_device* device, const char* subsystem,
                                                                  const char* devtype) {
  for (udev_device* d = device ? device->parent.get() : nullptr; d; d = d->parent.get())
    if (subsystem && d->subsystem == subsystem && (!devtype || d->devtype == devtype)) return d;
  errno = ENOENT;
  return nullptr;
}

const char* udev_device_get_syspath(struct udev_device* device) { return device ? device->syspath.c_str() : nullptr; }
const char* udev_device_get_sysname(struct udev_device* device) { return device ? device->sysname.c_str() : nullptr; }
const char* udev_device_get_subsystem(struct udev_device* device) {
  return device ? device->subsystem.c_str() : nullptr;
}
const char* udev_device_get_devtype(struct udev_device* device) {
  return device && !device->devtype.empty() ? device->devtype.c_str() : nullptr;
}

const char* udev_device_get_sysattr_value(struct udev_device* device, const char* name) {
  if (!device || !name) return nullptr;
  auto it = device->attributes.find(name);
  if (it == device->attributes.end()) {
    errno = ENOENT;
    return nullptr;
  }
  return it->second.c_str();
}

}  // extern "C"
