// What a program's open, close, read, write and ioctl on a node do: umockdev's handler thread
// calls these, and the ticker moves the boards' input into the open nodes' queues.
#include <linux/hidraw.h>
#include <linux/input.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hidraw_state.h"

namespace cardsim::hidraw {

Node* HidrawBus::State::node_of(Slot& s, UMockdevIoctlClient* client) {
  for (auto& [c, n] : s.clients)
    if (c == client) return n;
  return nullptr;
}

void HidrawBus::State::forget(Slot& s, UMockdevIoctlClient* client) {
  auto it = std::find_if(s.clients.begin(), s.clients.end(), [&](const auto& c) { return c.first == client; });
  if (it == s.clients.end()) return;
  Node* n = it->second;
  s.clients.erase(it);
  g_object_unref(client);
  --open_handles;
  if (n && --n->clients == 0) n->queue.clear();  // the kernel drops an open file's reports with it
}

void HidrawBus::State::prune(Slot& s) {
  // umockdev does not always report a closed descriptor; the client object knows.
  for (std::size_t i = s.clients.size(); i-- > 0;)
    if (!umockdev_ioctl_client_get_connected(s.clients[i].first)) forget(s, s.clients[i].first);
}

void HidrawBus::State::pump(Slot& s) {
  prune(s);
  Node* n = s.node;
  if (!n || n->clients == 0 || (!n->live && !n->gone)) {
    set_marker(s, false);
    return;
  }
  // A device that has left: a poll wakes at once and the read fails (EIO), as hidraw_poll reports
  // the hang-up at once, until the ticker hangs the pty up.
  if (!n->live) {
    set_marker(s, true);
    return;
  }
  Device& d = *devices[n->device];
  Report r;
  while (n->queue.size() < kKernelQueue && d.board->read(n->incarnation, n->iface, now(), r) == Board::Io::Ok)
    n->queue.push_back(std::move(r));
  set_marker(s, !n->queue.empty() || d.setup.fail_read);
}

// Fails the client's call with `error`, as the driver's handler returns -error.
// A handler's slot and bus, with the bus's lock held for the handler's whole run.
struct Handling {
  explicit Handling(gpointer data) : s(*static_cast<Slot*>(data)), bus(*s.bus), lock(bus.mutex) {}
  Slot& s;
  HidrawBus::State& bus;
  std::lock_guard<std::mutex> lock;
};

static gboolean refuse(UMockdevIoctlClient* client, int error) {
  umockdev_ioctl_client_complete(client, -1, error);
  return TRUE;
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Handling h(data);
  auto& [s, bus, lock] = h;
  Node* n = bus.node_of(s, client);
  if (!n || !n->live) return refuse(client, ENODEV);
  auto answer = [&](const void* value, std::size_t size) {
    GError* error = nullptr;
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (!out) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    std::memcpy(out->data, value, size);
    umockdev_ioctl_client_complete(client, 0, 0);
  };
  const Descriptor own = descriptor_of(!n->unrelated);
  if (request == HIDIOCGRDESCSIZE) {
    int size = static_cast<int>(own.size);
    answer(&size, sizeof size);
  } else if (request == HIDIOCGRDESC) {
    hidraw_report_descriptor desc{};
    desc.size = static_cast<__u32>(own.size);
    std::memcpy(desc.value, own.bytes, own.size);
    answer(&desc, sizeof desc);
  } else if (request == HIDIOCGRAWINFO) {
    hidraw_devinfo info{};
    info.bustype = BUS_USB;
    info.vendor = static_cast<__s16>(n->vendor_id);
    info.product = static_cast<__s16>(n->product_id);
    answer(&info, sizeof info);
  } else {
    umockdev_ioctl_client_complete(client, -1, _IOC_TYPE(request) == 'H' ? EINVAL : ENOTTY);
  }
  return TRUE;
}

gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Handling h(data);
  auto& [s, bus, lock] = h;
  Node* n = bus.node_of(s, client);
  if (!n || !n->live) return refuse(client, ENODEV);  // as hidraw_write on a vanished device
  Device& d = *bus.devices[n->device];
  if (d.setup.fail_write) return refuse(client, EIO);
  const std::size_t size = static_cast<std::size_t>(arg->data_len);
  if (size < 2 || size > kKernelLargestWrite) return refuse(client, EINVAL);  // the hidraw driver's bounds
  // A board that has hung takes nothing: the program's write() waits out the USB time-out in real
  // time, and the ticker fails it then, so that this thread goes on serving the other nodes.
  if (auto p = d.board->presence(bus.now()); p && p->incarnation == n->incarnation && p->mode == Mode::Hung) {
    bus.stalled.emplace_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)),
                             std::chrono::steady_clock::now() + kUsbTimeout);
    return TRUE;
  }
  if (d.board->write(n->incarnation, n->iface, arg->data, size, bus.now()) != Board::Io::Ok)
    return refuse(client, ENODEV);
  umockdev_ioctl_client_complete(client, static_cast<glong>(size), 0);
  if (!d.unplug_trigger.empty() && !d.board->commands().empty() && d.board->commands().back() == d.unplug_trigger)
    d.unplugged = true;
  // A board that leaves the bus on this report (switch to its boot loader, restart) is gone for
  // the host at once, not only when the ticker next removes its nodes.
  auto p = d.unplugged ? std::nullopt : d.board->presence(bus.now());
  if (!p || p->incarnation != n->incarnation) {
    for (Node* other : d.nodes) {
      other->live = false;
      other->gone = true;
      bus.block(*other->slot);
    }
  }
  bus.pump(s);
  return TRUE;
}

void HidrawBus::State::time_out_writes() {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = stalled.begin(); it != stalled.end();) {
    if (it->second > now) {
      ++it;
      continue;
    }
    if (umockdev_ioctl_client_get_connected(it->first)) umockdev_ioctl_client_complete(it->first, -1, ETIMEDOUT);
    g_object_unref(it->first);
    it = stalled.erase(it);
  }
}

gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Handling h(data);
  auto& [s, bus, lock] = h;
  Node* n = bus.node_of(s, client);
  // As hidraw_read on a vanished device.
  if (!n || !n->live || bus.devices[n->device]->setup.fail_read) return refuse(client, EIO);
  bus.pump(s);
  if (n->queue.empty()) return refuse(client, EAGAIN);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Report r = std::move(n->queue.front());
  n->queue.pop_front();
  const std::size_t size = std::min(r.size(), static_cast<std::size_t>(arg->data_len));
  std::memcpy(arg->data, r.data(), size);
  umockdev_ioctl_client_complete(client, static_cast<glong>(size), 0);
  bus.pump(s);
  return TRUE;
}

void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Handling h(data);
  auto& [s, bus, lock] = h;
  // A descriptor opened while the node is being added belongs to it too: the kernel's node
  // appears only once its device is ready (hidraw_connect).
  Node* n = s.node && !s.node->gone ? s.node : nullptr;
  s.clients.emplace_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)), n);
  ++bus.open_handles;
  bus.peak_open_handles = std::max(bus.peak_open_handles, bus.open_handles);
  if (n) {
    ++bus.opened_total;
    ++n->clients;
    bus.devices[n->device]->board->open(n->incarnation, n->iface, bus.now());
  }
  bus.pump(s);
}

void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Handling h(data);
  auto& [s, bus, lock] = h;
  bus.forget(s, client);
  bus.pump(s);
}

}  // namespace cardsim::hidraw
