#include "device_setup.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace cardsim {

namespace {

bool parse_int(const std::string& v, int base, long* out) {
  try {
    std::size_t used = 0;
    *out = std::stol(v, &used, base);
    return used == v.size();
  } catch (...) {
    return false;
  }
}

bool apply_card_key(DeviceSetup& d, int* count, const std::string& key, const std::string& value, std::string* error) {
  long n = 0;
  BoardSettings& b = d.board;
  auto fail = [&](const char* why) {
    if (error) *error = key + "=" + value + ": " + why;
    return false;
  };
  if (key == "id") {
    if (value.size() != 1) return fail("one character expected");
    b.card_id = value[0];
  } else if (key == "fw" || key == "boot") {
    if (value.size() != 4) return fail("four characters expected");
    (key == "fw" ? b.fw_version : b.boot_version) = value;
  } else if (key == "product") {
    b.product_text = value;
  } else if (key == "usb_pid") {
    if (!parse_int(value, 16, &n) || n < 0 || n > 0xFFFF) return fail("hex product id expected");
    b.usb_product_id = static_cast<std::uint16_t>(n);
  } else if (key == "vid" || key == "pid") {
    if (!parse_int(value, 16, &n) || n < 0 || n > 0xFFFF) return fail("hex id expected");
    (key == "vid" ? b.unrelated_vendor_id : b.unrelated_product_id) = static_cast<std::uint16_t>(n);
  } else if (key == "port") {
    if (!valid_port(value)) return fail("a USB port such as 3-1.4 expected");
    d.port = value;
  } else if (key == "latency" || key == "isp_delay" || key == "restart_delay" || key == "at" || key == "acl_delay" ||
             key == "replug") {
    // At most a day: far beyond any test, and the conversion to microseconds cannot overflow.
    if (!parse_int(value, 10, &n) || n < 0 || n > 86'400'000) return fail("milliseconds expected");
    SimTime t = std::chrono::milliseconds(n);
    if (key == "acl_delay") d.acl_delay = t;
    else if (key == "replug") b.replug_at = t;
    else (key == "latency" ? b.reply_latency : key == "isp_delay" ? b.isp_delay : key == "at" ? b.plugged_at : b.restart_delay) = t;
  } else if (key == "interfaces" || key == "short" || key == "count") {
    if (!parse_int(value, 10, &n) || n < 0 || n > 64) return fail("number expected");
    if (key == "interfaces") b.interfaces = static_cast<int>(n);
    else if (key == "short") b.short_reply = static_cast<int>(n);
    else *count = static_cast<int>(n);
  } else if (key == "mode") {
    if (value == "app") b.start_mode = Mode::Application;
    else if (value == "bsl") b.start_mode = Mode::UsbBootLoader;
    else if (value == "rambsl") b.start_mode = Mode::RamBootLoader;
    else if (value == "hung") b.start_mode = Mode::Hung;
    else return fail("app, bsl, rambsl or hung expected");
  } else if (key == "flash") {
    if (value != "erased") return fail("erased expected");
    b.flash_erased = true;
  } else if (key == "weak") {
    // ADDRESS or ADDRESS:MASK, hex: the bits of MASK (default 01) stay 1 at ADDRESS.
    const auto colon = value.find(':');
    long mask = 1;
    if (!parse_int(value.substr(0, colon), 16, &n) || n < 0 || n > 0xFFFFF) return fail("hex address expected");
    if (colon != std::string::npos && (!parse_int(value.substr(colon + 1), 16, &mask) || mask < 1 || mask > 0xFF))
      return fail("hex bit mask expected");
    b.weak_cell = static_cast<std::uint32_t>(n);
    b.weak_bits = static_cast<std::uint8_t>(mask);
  } else if (key == "rombsl") {
    if (value != "answers" && value != "quiet") return fail("answers or quiet expected");
    b.rom_bsl_quiet = value == "quiet";
  } else if (key == "rambsl") {
    if (value == "unlocked") b.ram_bsl_start = RamBslStart::Unlocked;
    else if (value == "locked") b.ram_bsl_start = RamBslStart::Locked;
    else if (value == "nostart") b.ram_bsl_start = RamBslStart::Fails;
    else return fail("unlocked, locked or nostart expected");
  } else if (key == "reset") {
    if (value != "loadpc" && value != "write") return fail("loadpc or write expected");
    b.reset_at_write = value == "write";
  } else if (key == "drop") {
    if (!parse_int(value, 16, &n) || n < 0 || n > 0xFFFFF) return fail("hex address expected");
    b.drop_write_at = static_cast<std::uint32_t>(n);
  } else if (key == "serial") {
    b.serial = value;
  } else if (key == "path") {
    d.path = value;
  } else if (key == "pulled") {
    b.pulled_at_command = value;
  } else if (key == "fault") {
    std::stringstream list(value);
    std::string f;
    while (std::getline(list, f, ',')) {
      if (f == "open") d.fail_open = true;
      else if (f == "write") d.fail_write = true;
      else if (f == "read") d.fail_read = true;
      else if (f == "silent") b.silent = true;
      else if (f == "stale") b.stale_reply_at_open = true;
      else if (f == "noreturn") b.stays_off_after_reset = true;
      else if (f == "unlock") b.refuse_unlock_once = true;
      else return fail("unknown fault");
    }
  } else {
    return fail("unknown key");
  }
  return true;
}

}  // namespace

bool valid_port(const std::string& port) {
  // The bus number, then at most 6 port numbers: a root port and the ports of up to five hubs
  // (USB allows no deeper tree; the kernel's devpath holds 15 characters).
  const auto dash = port.find('-');
  long n = 0;
  if (dash == std::string::npos || !parse_int(port.substr(0, dash), 10, &n) || n < 1 || n > 999) return false;
  if (port.size() - dash - 1 > 15 || port.find_first_not_of("0123456789.", dash + 1) != std::string::npos) return false;
  std::stringstream levels(port.substr(dash + 1));
  int count = 0;
  for (std::string level; std::getline(levels, level, '.');)
    if (++count > 6 || level.empty() || level[0] == '0' || !parse_int(level, 10, &n) || n > 255) return false;
  return count > 0 && port.back() != '.';
}

std::string usb_device_syspath(const std::string& port) {
  const std::size_t dash = port.find('-');
  std::string path = "usb" + port.substr(0, dash);
  for (std::size_t dot = dash; dot != std::string::npos; dot = port.find('.', dot + 1))
    path += "/" + port.substr(0, port.find('.', dot + 1));
  return path;
}

int DeviceNumbers::choose(int bus) {
  auto& used = used_[bus];
  if (used.empty()) {
    used.assign(128, false);
    used[1] = true;  // the root hub
  }
  int& next = next_.emplace(bus, 1).first->second;
  int devnum = 0;
  for (int n = next; n < 128 && !devnum; ++n)
    if (!used[static_cast<std::size_t>(n)]) devnum = n;
  for (int n = 1; n < 128 && !devnum; ++n)
    if (!used[static_cast<std::size_t>(n)]) devnum = n;
  if (!devnum) return 0;
  used[static_cast<std::size_t>(devnum)] = true;
  next = devnum >= 127 ? 1 : devnum + 1;
  return devnum;
}

void DeviceNumbers::release(int bus, int devnum) {
  auto it = used_.find(bus);
  if (it != used_.end() && devnum > 0 && devnum < 128) it->second[static_cast<std::size_t>(devnum)] = false;
}

void UsbBuses::plug(BoardSettings& board, const std::string& port) {
  auto& bus = address_zero_[std::atoi(port.c_str())];
  if (!bus) bus = std::make_shared<AddressZero>();
  board.address_zero = bus;
  board.enumeration_time = AddressZero::hold_at(port);
}

std::string default_port(std::size_t index, const std::vector<std::string>& taken) {
  for (std::size_t n = index + 1;; ++n) {
    std::string port = "1-" + std::to_string(n);
    if (std::find(taken.begin(), taken.end(), port) == taken.end()) return port;
  }
}

std::optional<BusSetup> parse_bus_setup(const std::string& text, std::string* error) {
  BusSetup setup;
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ';')) {
    std::stringstream words(item);
    std::string kind, word;
    if (!(words >> kind)) continue;
    if (kind == "init") {
      while (words >> word) {
        if (word != "fail") {
          if (error) *error = "init: only 'fail' is understood";
          return std::nullopt;
        }
        setup.init_fails = true;
      }
      continue;
    }
    if (kind == "sysfs") {
      while (words >> word) {
        if (word != "none") {
          if (error) *error = "sysfs: only 'none' is understood";
          return std::nullopt;
        }
        setup.no_sysfs = true;
      }
      continue;
    }
    if (kind != "card" && kind != "bsl" && kind != "hid") {
      if (error) *error = "unknown device kind '" + kind + "'";
      return std::nullopt;
    }
    DeviceSetup d;
    if (kind == "bsl") d.board.start_mode = Mode::UsbBootLoader;
    if (kind == "hid") d.board.start_mode = Mode::Unrelated;
    int count = 1;
    while (words >> word) {
      auto eq = word.find('=');
      if (eq == std::string::npos) {
        if (error) *error = "key=value expected, got '" + word + "'";
        return std::nullopt;
      }
      if (!apply_card_key(d, &count, word.substr(0, eq), word.substr(eq + 1), error)) return std::nullopt;
    }
    if (!d.port.empty() && count > 1) {
      if (error) *error = "port=" + d.port + ": count=" + std::to_string(count) + " puts several devices on one port";
      return std::nullopt;
    }
    for (const DeviceSetup& other : setup.devices)
      if (!d.port.empty() && other.port == d.port) {
        if (error) *error = "port=" + d.port + ": two devices on one port";
        return std::nullopt;
      }
    for (int i = 0; i < count; ++i) setup.devices.push_back(d);
  }
  return setup;
}

}  // namespace cardsim
