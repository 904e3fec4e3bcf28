// The ticker's work: nodes made and removed as the boards list themselves and leave, and the
// minors they take, as drivers/hid/hidraw.c hands them out.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "hidraw_state.h"

namespace cardsim::hidraw {

// hidraw_connect gives a new device the first free entry of hidraw_table, and drop_ref frees an
// entry only when its device is gone and its last open file is closed (drivers/hid/hidraw.c).
Slot* HidrawBus::State::take_slot() {
  for (auto& s : slots)
    if (!s->node && !s->retired && !held(*s)) return s.get();
  auto s = std::make_unique<Slot>();
  s->bus = this;
  s->minor = static_cast<int>(slots.size());
  s->devnode = "/dev/hidraw" + std::to_string(s->minor);
  slots.push_back(std::move(s));
  return slots.back().get();
}

// Two witnesses, either of which keeps the slot taken: a connected umockdev ioctl client (one per
// descriptor that any preloaded process opened on the node; it disconnects when that descriptor
// is closed or its process dies), and a descriptor of a program started by run() that leads to
// the slot's pty, as /proc/PID/fd shows it. The second one also sees a descriptor before its
// client has connected and after a hang-up, whatever umockdev makes of those.
bool HidrawBus::State::held(Slot& s) {
  prune(s);
  return !s.clients.empty() || program_holds(s.pts);
}

bool HidrawBus::State::program_holds(const std::string& pts) const {
  if (pts.empty()) return false;
  for (pid_t pid : programs) {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(it->path(), link_ec) == pts) return true;
    }
  }
  return false;
}

void HidrawBus::State::sync() {
  std::lock_guard testbed_lock(testbed_mutex);
  std::vector<Removal> removals;
  std::vector<Addition> additions;
  {
    std::lock_guard lock(mutex);
    time_out_writes();
    for (std::size_t index = 0; index < devices.size(); ++index) {
      Device& d = *devices[index];
      std::optional<Board::Presence> p;
      if (!d.unplugged) p = d.board->presence(now());
      if (!d.nodes.empty() && (!p || p->incarnation != d.incarnation)) {
        for (Node* n : d.nodes) {
          n->live = false;
          n->gone = true;
          n->queue.clear();
          events.push_back({false, n->slot->devnode, n->vendor_id, n->product_id, index, now()});
        }
        // A device at a port that others sit behind is their hub too: its USB device stays.
        bool hub = false;
        for (const auto& other : devices)
          hub = hub || (other->port.starts_with(d.port + ".") && !other->usb_syspath.empty());
        if (!hub) {
          usb_dirs.erase(d.usb_syspath);
          devnums.release(std::atoi(d.port.c_str()), d.devnum);
        }
        removals.push_back({hub ? std::string() : d.usb_syspath, d.nodes});
        d.nodes.clear();
        d.usb_syspath.clear();
        d.devnum = 0;
      }
      if (p && d.nodes.empty()) {
        std::vector<int> hid_numbers;
        for (int i = 0; i < p->interfaces; ++i) {
          auto n = std::make_unique<Node>();
          n->device = index;
          n->iface = i;
          n->incarnation = p->incarnation;
          n->vendor_id = p->vendor_id;
          n->product_id = p->product_id;
          n->unrelated = p->mode == Mode::Unrelated;
          n->slot = take_slot();
          n->slot->node = n.get();
          d.nodes.push_back(n.get());
          nodes.push_back(std::move(n));
          hid_numbers.push_back(next_hid++);
        }
        d.incarnation = p->incarnation;
        // A new enumeration at the same port: the same path, a new device number (choose_devnum).
        d.usb_syspath = kController + usb_device_syspath(d.port);
        additions.push_back({describe(d, *p, d.nodes, hid_numbers, usb_dirs, devnums), d.nodes});
      }
    }
    for (auto& s : slots) pump(*s);
    // udev has applied the rules: the node opens to the user.
    for (auto& d : devices)
      for (Node* n : d->nodes)
        if (n->live && n->opens_at > SimTime{0} && now() >= n->opens_at) {
          n->opens_at = SimTime{0};
          unblock(*n->slot);
        }
  }

  for (Removal& r : removals) {
    for (Node* n : r.nodes) {
      hang_up(*n->slot);
      // The node first: removing a parent leaves the children's /dev entries behind.
      umockdev_testbed_remove_device(testbed, n->syspath.c_str());
      block(*n->slot);
      if (r.syspath.empty())
        umockdev_testbed_remove_device(testbed, n->syspath.substr(0, n->syspath.find("/0003:")).c_str());
    }
    // Pulled out, or re-enumerating: the kernel removes the USB device with all below it
    // (usb_disconnect, drivers/usb/core/hub.c) and adds a new one at the port.
    if (!r.syspath.empty()) umockdev_testbed_remove_device(testbed, r.syspath.c_str());
    remove_dangling_links(root + "/sys/bus");
    remove_dangling_links(root + "/sys/class");
    std::lock_guard lock(mutex);
    for (Node* n : r.nodes) n->slot->node = nullptr;
  }
  for (Addition& a : additions) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, a.text.c_str(), &error)) {
      std::fprintf(stderr, "hidraw bus: cannot add device: %s\n", error ? error->message : "?");
      g_clear_error(&error);
      continue;
    }
    for (Node* n : a.nodes) {
      Slot& s = *n->slot;
      const bool fresh = !s.in_testbed;
      if (fresh) {
        open_pty(s);
      } else {
        // The removal took the node's device number; the slot's pty is still there.
        std::error_code ec;
        std::filesystem::create_symlink("240:" + std::to_string(s.minor),
                                        root + "/dev/.node/hidraw" + std::to_string(s.minor), ec);
      }
      bool live;
      {
        std::lock_guard lock(mutex);
        const Device& d = *devices[n->device];
        live = n->live = !n->gone && s.master >= 0 && s.slave >= 0 && d.incarnation == n->incarnation &&
                         std::find(d.nodes.begin(), d.nodes.end(), n) != d.nodes.end();
        if (n->live) events.push_back({true, s.devnode, n->vendor_id, n->product_id, n->device, now()});
      }
      // Reachable by path only once it serves the device, as the kernel creates the node last.
      // Listed, but cannot be opened: never (fault=open), or not until udev's rules have made the
      // new node the user's (acl_delay; until then it is root's, mode 0600, as devtmpfs makes it).
      const DeviceSetup& setup = devices[n->device]->setup;
      if (setup.fail_open) {
        deny(s);
      } else if (live && setup.acl_delay > SimTime{0}) {
        std::lock_guard lock(mutex);
        if (n->live) {
          n->opens_at = now() + setup.acl_delay;
          deny(s);
        }
      } else if (live) {
        unblock(s);
      } else {
        block(s);
      }
      // Only now can hidapi's enumeration see the node: whoever finds it can open it.
      umockdev_testbed_set_attribute_link(testbed, n->syspath.c_str(), "device", n->device_link.c_str());
    }
  }
}

}  // namespace cardsim::hidraw
