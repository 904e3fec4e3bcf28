// The testbed's description of the boards: report descriptors and the sysfs blocks of each
// enumeration (USB device, interface, HID device, hidraw node).
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "hidraw_state.h"

namespace cardsim::hidraw {

namespace {

std::string hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", v & 0xFFFFu);
  return text;
}

}  // namespace

// Vendor-defined collection with report id 0x3F: 63 data bytes in and out, as the card
// controller and the MSP430 USB boot loader declare it.
constexpr std::uint8_t kCardDescriptor[] = {
    0x06, 0x00, 0xFF,  // usage page (vendor 0xFF00)
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection (application)
    0x85, 0x3F,        //   report id 0x3F
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8
    0x95, 0x3F,        //   report count 63
    0x09, 0x01,        //   usage 1
    0x81, 0x02,        //   input (data, variable, absolute)
    0x09, 0x01,        //   usage 1
    0x91, 0x02,        //   output (data, variable, absolute)
    0xC0,              // end collection
};

// A three-button mouse without report ids: what an unrelated device declares in its stead.
constexpr std::uint8_t kMouseDescriptor[] = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,  // generic desktop, mouse, collection (application)
    0x09, 0x01, 0xA1, 0x00,              //   pointer, collection (physical)
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03,  //     buttons 1 to 3
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,  //     padding
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31,  //     x, y
    0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
    0xC0, 0xC0,
};

Descriptor descriptor_of(bool card) {
  if (card) return {kCardDescriptor, sizeof kCardDescriptor};
  return {kMouseDescriptor, sizeof kMouseDescriptor};
}

namespace {

std::string hex4_lower(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", v & 0xFFFFu);
  return text;
}

// A USB device's block: its uevent (usb_dev_uevent and usb_uevent, drivers/usb/core/usb.c and
// driver.c: BUSNUM and DEVNUM as "%03d", DEVNAME bus/usb/BBB/DDD) and its attributes as
// drivers/usb/core/sysfs.c prints them ("%d\n", the devpath "%s\n", the ids "%04x\n"); libudev
// strips the line feed.
std::string usb_device_record(const std::string& syspath, int busnum, int devnum, const std::string& devpath,
                              const std::string& vid, const std::string& pid, const char* device_class,
                              const std::string& manufacturer, const std::string& product) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=bus/usb/%03d/%03d\n", busnum, devnum,
                busnum, devnum);
  return "P: " + syspath.substr(4) + "\n"
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_device\n"
         "E: DRIVER=usb\n"
         "E: " + numbers +
         "A: busnum=" + std::to_string(busnum) + "\\n\n"
         "A: devnum=" + std::to_string(devnum) + "\\n\n"
         "A: devpath=" + devpath + "\\n\n"
         "A: idVendor=" + vid + "\\n\n"
         "A: idProduct=" + pid + "\\n\n"
         "A: bDeviceClass=" + device_class + "\\n\n"
         "A: manufacturer=" + manufacturer + "\\n\n"
         "A: product=" + product + "\\n\n\n";
}

// A root hub's one interface, class 09, bound to the hub driver.
std::string hub_interface_record(const std::string& usb_syspath, const std::string& name) {
  return "P: " + usb_syspath.substr(4) + "/" + name + ":1.0\n"
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_interface\n"
         "E: DRIVER=hub\n"
         "A: bInterfaceNumber=00\\n\n"
         "A: bInterfaceClass=09\\n\n\n";
}

}  // namespace

std::string describe(Device& d, const Board::Presence& p, const std::vector<Node*>& nodes,
                     const std::vector<int>& hid_numbers, std::set<std::string>& usb_dirs, DeviceNumbers& devnums) {
  const bool unrelated = p.mode == Mode::Unrelated, card = p.vendor_id == kCardVendorId;
  const std::string manufacturer = unrelated ? "Other vendor" : card ? "Simulated card" : "Texas Instruments";
  const std::string product = unrelated ? "USB mouse" : card ? "Card controller" : "MSP430 USB BSL";
  const std::string vid = hex4(p.vendor_id), pid = hex4(p.product_id);
  const std::string& usb = d.usb_syspath;
  const int busnum = std::atoi(d.port.c_str());
  const std::string devpath = d.port.substr(d.port.find('-') + 1);
  std::string desc_hex;
  const Descriptor desc = descriptor_of(!unrelated);
  for (std::size_t i = 0; i < desc.size; ++i) {
    char h[3];
    std::snprintf(h, sizeof h, "%02X", desc.bytes[i]);
    desc_hex += h;
  }
  std::string text;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Slot& slot = *nodes[i]->slot;
    const std::string iface = usb + "/" + d.port + ":1." + std::to_string(i);
    const std::string hid_name = "0003:" + vid + ":" + pid + "." + hex4(static_cast<unsigned>(hid_numbers[i]));
    const std::string minor = std::to_string(slot.minor);
    nodes[i]->syspath = iface + "/" + hid_name + "/hidraw/hidraw" + minor;
    nodes[i]->device_link = "../../../" + hid_name;
    text += "P: " + nodes[i]->syspath.substr(4) + "\n" +
            // umockdev makes the node (and its pty) once; a reused slot keeps its own.
            (slot.in_testbed ? "" : "N: hidraw" + minor + "\n") +
            "E: DEVNAME=" + slot.devnode + "\n"
            "E: SUBSYSTEM=hidraw\n"
            "A: dev=240:" + minor + "\n\n"
            "P: " + iface.substr(4) + "/" + hid_name + "\n"
            "E: SUBSYSTEM=hid\n"
            "E: DRIVER=hid-generic\n"
            "E: HID_ID=0003:0000" + vid + ":0000" + pid + "\n"
            "E: HID_NAME=" + manufacturer + " " + product + "\n"
            // usb_make_path (include/linux/usb.h) and "/input%d" (usbhid_probe)
            "E: HID_PHYS=usb-0000:00:14.0-" + devpath + "/input" + std::to_string(i) + "\n"
            "E: HID_UNIQ=\n"
            "H: report_descriptor=" + desc_hex + "\n\n"
            "P: " + iface.substr(4) + "\n"
            "E: SUBSYSTEM=usb\n"
            "E: DEVTYPE=usb_interface\n"
            "E: DRIVER=usbhid\n"
            "A: bInterfaceNumber=0" + std::to_string(i) + "\\n\n"
            "A: bInterfaceClass=03\\n\n\n";
  }
  // The hubs above it that the testbed lacks, nearest first (all above one that is there are there
  // too). Each took its device number when it enumerated, before the devices behind it did.
  std::vector<std::string> hubs;
  for (std::size_t dot = d.port.rfind('.'); dot != std::string::npos && dot > 0; dot = d.port.rfind('.', dot - 1)) {
    const std::string hub = d.port.substr(0, dot);
    if (!usb_dirs.insert(kController + usb_device_syspath(hub)).second) break;
    hubs.push_back(hub);
  }
  std::vector<int> hub_numbers(hubs.size());
  for (std::size_t k = hubs.size(); k-- > 0;) hub_numbers[k] = devnums.choose(busnum);
  if (usb_dirs.insert(usb).second) {
    d.devnum = devnums.choose(busnum);
    text += usb_device_record(usb, busnum, d.devnum, devpath, hex4_lower(p.vendor_id), hex4_lower(p.product_id), "00",
                              manufacturer, product);
  }
  // Then the hubs (without their interface: a board at a hub's own port, a hub with the board
  // built in, has that interface's name) and the root hub (devpath 0, device number 1, the Linux
  // Foundation's ids 1d6b:0002; usb_alloc_dev and register_root_hub, drivers/usb/core).
  for (std::size_t k = 0; k < hubs.size(); ++k)
    text += usb_device_record(kController + usb_device_syspath(hubs[k]), busnum, hub_numbers[k],
                              hubs[k].substr(hubs[k].find('-') + 1), "05e3", "0608", "09", "Generic", "USB2.0 Hub");
  const std::string root = kController + std::string("usb") + std::to_string(busnum);
  if (usb_dirs.insert(root).second)
    text += hub_interface_record(root, std::to_string(busnum) + "-0") +
            usb_device_record(root, busnum, 1, "0", "1d6b", "0002", "09", "Linux xhci-hcd", "xHCI Host Controller");
  return text;
}

// umockdev removes a device's directory but leaves the links to its children in /sys/bus and
// /sys/class, and adding a device whose link exists aborts: a board that re-enumerates on the same
// port needs them gone.
void remove_dangling_links(const std::string& top) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink(ec) && !std::filesystem::exists(it->path(), ec)) std::filesystem::remove(it->path(), ec);
  }
}

}  // namespace cardsim::hidraw
