#include "hidraw_bus.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "hidraw_state.h"

namespace cardsim::hidraw {

std::string unavailable_reason() {
  const std::string preload = std::string(UMOCKDEV_LIBDIR) + "/libumockdev-preload.so.0";
  if (access(preload.c_str(), R_OK) != 0) return preload + " is missing";
  if (access(HIDRAW_OPEN_PRELOAD, R_OK) != 0) return std::string(HIDRAW_OPEN_PRELOAD) + " is missing";
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty < 0) return std::string("no pseudo terminals: ") + std::strerror(errno);
  ::close(pty);
  UMockdevTestbed* testbed = umockdev_testbed_new();
  if (!testbed) return "umockdev cannot create a testbed";
  g_object_unref(testbed);
  return {};
}

HidrawBus::HidrawBus() : state_(std::make_unique<State>()) {
  state_->testbed = umockdev_testbed_new();
  if (!state_->testbed) throw std::runtime_error("umockdev cannot create a testbed");
  gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
  state_->root = root;
  g_free(root);
  std::error_code ec;
  std::filesystem::create_directories(state_->root + "/dev/.vanished", ec);
  std::filesystem::create_directories(state_->root + "/dev/.denied", ec);
  std::filesystem::create_directories(state_->root + "/dev/.live", ec);
  State* s = state_.get();
  state_->ticker = std::thread([s] {
    while (!s->stopping) {
      s->sync();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
}

HidrawBus::~HidrawBus() {
  state_->stopping = true;
  state_->ticker.join();
  // Stops umockdev's worker thread, so no handler runs any more.
  g_object_unref(state_->testbed);
  for (auto& w : state_->stalled) g_object_unref(w.first);
  for (auto& s : state_->slots) {
    for (auto& c : s->clients) g_object_unref(c.first);
    if (s->handler) g_object_unref(s->handler);
    if (s->slave >= 0) ::close(s->slave);
  }
}

bool HidrawBus::configure(const std::string& text, std::string* error) {
  auto parsed = parse_bus_setup(text, error);
  if (!parsed) return false;
  if (parsed->init_fails) {
    if (error) *error = "hidraw cannot make hid_init fail";
    return false;
  }
  if (parsed->no_sysfs) {
    if (error) *error = "the testbed always has sysfs: sysfs none is not possible";
    return false;
  }
  for (const DeviceSetup& d : parsed->devices) {
    if (!d.path.empty()) {
      if (error) *error = "hidraw nodes are always /dev/hidrawN: path= is not possible";
      return false;
    }
  }
  for (const DeviceSetup& d : parsed->devices) add(d);
  return true;
}

std::size_t HidrawBus::add(const DeviceSetup& setup) {
  std::size_t index;
  {
    std::lock_guard lock(state_->mutex);
    auto d = std::make_unique<Device>();
    d->setup = setup;
    d->port = setup.port;
    if (d->port.empty()) {  // as on the virtual bus
      std::vector<std::string> taken;
      for (const auto& other : state_->devices) taken.push_back(other->port);
      d->port = default_port(state_->devices.size(), taken);
    }
    BoardSettings settings = setup.board;
    state_->usb_buses.plug(settings, d->port);
    d->board = std::make_unique<Board>(std::move(settings));
    state_->devices.push_back(std::move(d));
    index = state_->devices.size() - 1;
  }
  state_->sync();  // listed before this returns, like a device plugged in before the program starts
  return index;
}

std::size_t HidrawBus::device_count() const {
  std::lock_guard lock(state_->mutex);
  return state_->devices.size();
}

Board& HidrawBus::board(std::size_t index) {
  std::lock_guard lock(state_->mutex);
  return *state_->devices.at(index)->board;
}

std::string HidrawBus::path(std::size_t index, int iface) const {
  std::lock_guard lock(state_->mutex);
  const Device& d = *state_->devices.at(index);
  if (iface < 0 || static_cast<std::size_t>(iface) >= d.nodes.size()) return {};
  const Node& n = *d.nodes[static_cast<std::size_t>(iface)];
  return n.live ? n.slot->devnode : std::string();
}

bool HidrawBus::wait_for(std::size_t index, std::uint16_t vendor_id, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    {
      std::lock_guard lock(state_->mutex);
      const Device& d = *state_->devices.at(index);
      if (!d.nodes.empty() && d.nodes[0]->live && d.nodes[0]->vendor_id == vendor_id) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void HidrawBus::restart(std::size_t index, Mode next, std::chrono::milliseconds delay) {
  restart_together({index}, next, delay);
}

void HidrawBus::restart_together(const std::vector<std::size_t>& indices, Mode next,
                                 std::chrono::milliseconds delay) {
  {
    std::lock_guard lock(state_->mutex);
    const SimTime now = state_->now();
    for (std::size_t index : indices) {
      Device& d = *state_->devices.at(index);
      d.board->restart(next, now, delay);
      for (Node* n : d.nodes) {
        n->live = false;
        n->gone = true;
        state_->block(*n->slot);
      }
    }
  }
  state_->sync();
}

void HidrawBus::unplug(std::size_t index) {
  {
    std::lock_guard lock(state_->mutex);
    Device& d = *state_->devices.at(index);
    d.unplugged = true;
    for (Node* n : d.nodes) {
      n->live = false;
      n->gone = true;
      state_->block(*n->slot);
    }
  }
  state_->sync();
}

void HidrawBus::unplug_after(std::size_t index, const std::string& command) {
  std::lock_guard lock(state_->mutex);
  state_->devices.at(index)->unplug_trigger = command;
}

int HidrawBus::open_handles() const {
  std::lock_guard lock(state_->mutex);
  return state_->open_handles;
}

int HidrawBus::peak_open_handles() const {
  std::lock_guard lock(state_->mutex);
  return state_->peak_open_handles;
}

int HidrawBus::opened_total() const {
  std::lock_guard lock(state_->mutex);
  return state_->opened_total;
}

std::vector<NodeEvent> HidrawBus::events() const {
  std::lock_guard lock(state_->mutex);
  return state_->events;
}

std::map<std::string, std::string> HidrawBus::environment() const {
  std::map<std::string, std::string> env{
      {"UMOCKDEV_DIR", state_->root},
      {"LD_PRELOAD", std::string(HIDRAW_OPEN_PRELOAD) + ":libumockdev-preload.so.0"},
  };
  // A sanitizer build would otherwise refuse to start behind the preload libraries.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
  return env;
}

namespace {

// Runs a program on the bus, with its descriptors watched (State::held).
ProgramRun launch(HidrawBus::State& s, const std::map<std::string, std::string>& bus_env, const std::string& program,
                  const std::vector<std::string>& args, const std::map<std::string, std::string>& extra_env,
                  std::chrono::seconds limit) {
  ProgramOptions options;
  options.env = bus_env;
  for (const auto& [k, v] : extra_env) options.env[k] = v;
  options.limit = limit;
  // Listed before it can open anything, and off the list while it is a zombie, before its pid
  // can be reused: its descriptors hold minors (State::held).
  options.spawn_guard = &s.mutex;
  options.started = [&s](pid_t pid) { s.programs.push_back(pid); };
  options.ended = [&s](pid_t pid) {
    std::lock_guard lock(s.mutex);
    std::erase(s.programs, pid);
  };
  return run_program(program, args, options);
}

// umockdev learns of a program's closed descriptors on its own thread, a moment later.
void settle(const HidrawBus& bus) {
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
       bus.open_handles() > 0 && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

}  // namespace

ProgramRun HidrawBus::run(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& extra_env, std::chrono::seconds limit) {
  ProgramRun result = launch(*state_, environment(), program, args, extra_env, limit);
  settle(*this);
  return result;
}

ProgramRun HidrawBus::run_wine(const Wine& wine, const std::string& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& extra_env, std::chrono::seconds limit) {
  const std::map<std::string, std::string> prefix = {{"WINEPREFIX", wine.prefix}};
  auto server = [&](const char* option) { run_program(wine.wineserver, {option}, {prefix, std::chrono::seconds(30)}); };
  server("-k");  // a server started elsewhere does not see this bus
  server("-w");
  std::map<std::string, std::string> env = {{"WINEDEBUG", "-all"}};
  for (const auto& [k, v] : extra_env) env[k] = v;
  env["WINEPREFIX"] = wine.prefix;
  // A persistent server keeps wine's device manager running between the probe and the program
  // (without it, the last program's end shuts the device manager down). The server and the device
  // manager hold the output they inherit until they end: a file, not the pipes the run waits on.
  const std::string log = wine.prefix + "/hid_ready.log";
  std::vector<std::string> ready = {
      "-c", "exec > \"" + log + "\" 2>&1; \"" + wine.wineserver + "\" -p && exec \"$0\" \"$@\"", wine.wine, wine.ready};
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& d : state_->devices)
      for (const Node* n : d->nodes) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", n->vendor_id, n->product_id);
        if (n->live && !d->setup.fail_open) ready.push_back(id);  // a node winebus cannot open is never listed
      }
  }
  ProgramRun result = launch(*state_, environment(), "/bin/sh", ready, env, std::chrono::seconds(60));
  if (result.exit_status == 0) {
    std::vector<std::string> command = {program};
    command.insert(command.end(), args.begin(), args.end());
    result = launch(*state_, environment(), wine.wine, command, env, limit);
  } else {
    std::ifstream in(log);
    result.err.assign(std::istreambuf_iterator<char>(in), {});
  }
  server("-k");
  server("-w");
  settle(*this);
  return result;
}

Played play(const Scenario& scenario) {
  Played played{std::make_unique<HidrawBus>(), {}};
  std::string error;
  if (!played.bus->configure(scenario.devices, &error))
    throw std::invalid_argument("device text \"" + scenario.devices + "\": " + error);
  if (scenario.prepare) scenario.prepare(*played.bus);
  played.run = played.bus->run(scenario.program, scenario.args, scenario.env, scenario.limit);
  return played;
}

}  // namespace cardsim::hidraw
