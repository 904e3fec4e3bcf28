// A simulated card: the MSP430 controller with its memory and the firmware it runs at a time
// (application, USB boot loader in ROM, RAM boot loader). Nothing here knows how the host
// reaches the board: the virtual bus and the hidraw harness both drive a Board through
// presence/open/write/read with their own notion of "now".
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "msp430_memory.h"

namespace cardsim {

using namespace std::chrono_literals;
using SimTime = std::chrono::microseconds;  // time since the simulation started
using Report = std::vector<std::uint8_t>;

constexpr std::uint16_t kCardVendorId = 0x2933;
constexpr std::uint16_t kBslVendorId = 0x2047;
constexpr std::uint16_t kBslProductId = 0x0200;
constexpr std::size_t kReportSize = 64;

enum class Mode { Off, Application, UsbBootLoader, RamBootLoader, Hung };

struct BoardSettings {
  char card_id = '0';                  // ASCII character at reply byte 9 of the card-id reply
  std::string fw_version = "0100";     // 4 characters, reported until new firmware is flashed
  std::string boot_version = "0005";   // 4 characters
  std::string product_text = "TAV001"; // 6 characters of the product-id reply
  std::uint16_t usb_product_id = 0x0001;
  SimTime reply_latency = 2ms;         // from request to reply ready in the controller
  bool silent = false;                 // application firmware never answers
  bool stale_reply_at_open = false;    // an uncollected reply waits whenever the device is opened
  int short_reply = 0;                 // >0: every reply report is cut to this many bytes
  int interfaces = 1;                  // HID interfaces the application lists
  SimTime isp_delay = 1500ms;          // "ISPE" until the USB boot loader lists itself
  SimTime restart_delay = 1000ms;      // RAM boot loader start or reset until listed again
  std::string serial;                  // serial-number storage at 0x12C when the board is made
  Mode start_mode = Mode::Application; // UsbBootLoader: a board already waiting in its boot loader
};

class Board;

// The code the controller runs at one time, as the host sees it over USB.
class Firmware {
 public:
  explicit Firmware(Board& board) : board_(board) {}
  virtual ~Firmware() = default;
  virtual std::uint16_t vendor_id() const = 0;
  virtual std::uint16_t product_id() const = 0;
  virtual int interfaces() const { return 1; }
  virtual void on_open(int /*iface*/, SimTime /*now*/) {}
  virtual void on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime now) = 0;
  virtual std::optional<Report> take_input(int iface, SimTime now) = 0;

 protected:
  Board& board_;
};

class Board {
 public:
  explicit Board(BoardSettings settings);
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // What the board lists on USB at `now`; nothing while it is off the bus. The incarnation
  // changes with every re-enumeration, so handles of an earlier one see the device as gone.
  struct Presence {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    int interfaces;
    std::uint64_t incarnation;
    Mode mode;
  };
  std::optional<Presence> presence(SimTime now);

  enum class Io { Ok, Nothing, Gone };
  Io open(std::uint64_t incarnation, int iface, SimTime now);
  Io write(std::uint64_t incarnation, int iface, const std::uint8_t* data, std::size_t size, SimTime now);
  Io read(std::uint64_t incarnation, int iface, SimTime now, Report& out);

  // For the firmware models.
  const BoardSettings& settings() const { return settings_; }
  Firmware* firmware() { return firmware_.get(); }  // none while off the bus
  Msp430Memory& memory() { return memory_; }
  const Msp430Memory& memory() const { return memory_; }
  Mode mode() const { return mode_; }
  // Leaves the bus now and lists itself again running `next` after `delay`.
  void restart(Mode next, SimTime now, SimTime delay);
  std::array<std::uint8_t, 0x1000>& storage() { return storage_; }
  // Version the application reports: the configured one until a firmware image that carries
  // its own version has been programmed and started.
  std::string application_version() const { return app_version_; }
  void set_application_version(std::string v) { app_version_ = std::move(v); }

  // Misuse the real device would not survive silently (programming unerased flash, a jump
  // into memory that holds no boot loader, ...). Tests expect this list to stay empty.
  void record_fault(std::string what) { faults_.push_back(std::move(what)); }
  const std::vector<std::string>& faults() const { return faults_; }
  // Command texts (application) or BSL core commands the controller received, in order.
  void record_command(std::string what) { commands_.push_back(std::move(what)); }
  const std::vector<std::string>& commands() const { return commands_; }

 private:
  void settle(SimTime now);
  std::unique_ptr<Firmware> make_firmware(Mode mode);

  BoardSettings settings_;
  Msp430Memory memory_;
  std::array<std::uint8_t, 0x1000> storage_{};
  std::string app_version_;
  Mode mode_;
  std::unique_ptr<Firmware> firmware_;
  std::uint64_t incarnation_ = 1;
  std::optional<std::pair<SimTime, Mode>> pending_;
  std::vector<std::string> faults_;
  std::vector<std::string> commands_;
};

}  // namespace cardsim
