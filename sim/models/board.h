// A simulated card: the MSP430 controller with its memory and the firmware it runs at a time
// (application, USB boot loader in ROM, RAM boot loader). Nothing here knows how the host
// reaches the board: the virtual bus and the hidraw harness both drive a Board through
// presence/open/write/read with their own notion of "now".
//
// Modes and how the board moves between them (each move leaves the bus at once; the board lists
// itself again after the delay, with a new incarnation; later when another board on its USB bus
// holds address 0 then, see address_zero.h):
//   Application   --"ISPE" command--------------------------------> UsbBootLoader after isp_delay
//   UsbBootLoader --LOAD PC 0x2504, RAM boot-loader image in RAM----> RamBootLoader after restart_delay
//                   (UsbBootLoader again, locked, when the RAM boot loader fails to start)
//   RamBootLoader --reset write (0xA5 0x06 to 0x0120), LOAD PC------> reset_controller()
//                   (at the reset write itself with BoardSettings::reset_at_write)
//   reset_controller(): Application after restart_delay when the reset vector (0xFFFE) holds an
//                   address, else UsbBootLoader (an erased controller starts its boot loader)
//   any boot loader --LOAD PC to memory with no boot loader---------> Hung: a fault is recorded,
//                   the device stays listed but takes no command and sends nothing
// A board set up with start_mode Unrelated is not a card at all but another HID device on the same
// bus (a BMC's virtual keyboard, a mouse): it lists its own ids, never answers, and records every
// report written to it as a fault. Any board can be plugged in late (BoardSettings::plugged_at).
// The application reports the firmware version found at kFirmwareVersionAddress when it starts
// (4 ASCII characters at the start of main flash). A new board's flash holds a small stand-in for
// its current firmware: settings.fw_version at that address, code behind it, and the interrupt
// vectors 0xFF80..0xFFFF with the reset vector, so the first wrong BSL password erases something.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "address_zero.h"
#include "msp430_memory.h"

namespace cardsim {

using namespace std::chrono_literals;
using SimTime = std::chrono::microseconds;  // time since the simulation started
using Report = std::vector<std::uint8_t>;

constexpr std::uint16_t kCardVendorId = 0x2933;
constexpr std::uint16_t kBslVendorId = 0x2047;
constexpr std::uint16_t kBslProductId = 0x0200;
constexpr std::size_t kReportSize = 64;
// Where the application firmware keeps its 4-character version: the first bytes of main flash.
constexpr std::uint32_t kFirmwareVersionAddress = 0x4400;

enum class Mode { Off, Application, UsbBootLoader, RamBootLoader, Hung, Unrelated };

// How the RAM boot loader comes up after LOAD PC 0x2504. TI's documents leave open whether every
// version starts unlocked, and TI's forum reports RAM boot loaders that do not start at all.
enum class RamBslStart {
  Unlocked,  // as the images that common host tools ship: programs without a password
  Locked,    // protected commands answer 0x3B 04 and data is dropped until the right password
  Fails,     // the boot loader in flash comes back instead, locked, under the same ids
};

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
  Mode start_mode = Mode::Application; // UsbBootLoader: a board already waiting in its boot loader;
                                       // Hung: one that hung there (listed, takes no report)
  SimTime flash_erase_time = 25ms;     // mass or segment erase (23-32 ms): the boot loader takes no
                                       // command before it ends, and its reply comes after it
  bool rom_bsl_quiet = false;          // the boot loader in flash sends no reply over USB at all
  bool refuse_unlock_once = false;     // the boot loader in flash refuses the first right password
                                       // after an erase (0x3B 05, still locked)
  RamBslStart ram_bsl_start = RamBslStart::Unlocked;
  bool reset_at_write = false;         // the reset write resets at once, not at the LOAD PC after it
  std::optional<std::uint32_t> drop_write_at;  // the RAM boot loader drops the first data block
                                               // that covers this address: no write, no reply
  SimTime plugged_at{0};               // off the bus until this time, then listed in start_mode
  SimTime replug_at{0};                // >0: leaves the bus at this time and lists itself again in
                                       // the mode it had, restart_delay later (pulled and plugged in)
  bool stays_off_after_reset = false;  // the controller never lists itself again after a reset
  std::string pulled_at_command;       // the card is pulled out as it takes this command text
  bool flash_erased = false;           // main flash erased when the board is made (a failed update)
  std::uint32_t weak_cell = 0;         // a flash byte whose `weak_bits` stay 1 when programmed
  std::uint8_t weak_bits = 0;
  std::uint16_t unrelated_vendor_id = 0x046D;   // ids of a Mode::Unrelated device
  std::uint16_t unrelated_product_id = 0xC52B;
  // When set, every IN report of the application firmware comes from here instead of its own
  // replies (nothing: no report waits). The firmware still takes the host's commands. For
  // fuzzing the host's handling of whatever a card might send.
  std::function<std::optional<Report>(SimTime now)> reply_source;
  // Address 0 of the USB bus the board is plugged into, shared with the other boards there, and
  // how long the board holds it when it enumerates (AddressZero::hold_at of its port). Each back
  // end sets both when it adds the board; none: re-enumerations never wait for another board.
  std::shared_ptr<AddressZero> address_zero;
  SimTime enumeration_time{0};
};

// One BSL core command as a boot loader received it (see Board::bsl_commands()).
struct BslCommand {
  SimTime time;
  Mode mode;                       // UsbBootLoader or RamBootLoader
  std::uint8_t code;               // 0x11 RX PASSWORD, 0x1B RX DATA BLOCK FAST, 0x17 LOAD PC, ...
  std::uint32_t address;           // 24-bit address operand (0 for commands without one)
  std::vector<std::uint8_t> data;  // the bytes after the address (after the code for RX PASSWORD)
  bool locked;                     // the boot loader's state when the command arrived
  std::string outcome;             // what the model did, e.g. "written", "dropped: locked", "unlocked"
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
  // The mode as of the last call that gave a time (presence/open/write/read): a restart whose
  // delay has passed shows here only once the board was asked something after it.
  Mode mode() const { return mode_; }
  // When the board will next list itself (after a restart or a late plug-in); nothing when no
  // such change is pending. Lets a bus replay appearances in the order they happened.
  std::optional<SimTime> next_change() const {
    if (replug_pending_ && (!pending_ || settings_.replug_at < pending_->first)) return settings_.replug_at;
    return pending_ ? std::optional<SimTime>(pending_->first) : std::nullopt;
  }
  // Leaves the bus now and lists itself again running `next` after `delay`.
  void restart(Mode next, SimTime now, SimTime delay);
  // A reset of the controller (the PMM password violation that the updater's reset write causes,
  // see usb_boot_loader.h): restarts after
  // restart_delay into the application, or into the USB boot loader when the reset vector is erased.
  void reset_controller(SimTime now);
  // The controller runs into memory that holds no code: records `fault`; the device stays listed
  // (mode Hung) but ignores every report and sends nothing until the board is made anew.
  void hang(std::string fault);
  // The code that runs is destroyed under it (the RAM boot loader overwritten): records `fault`; the
  // USB device stops answering and leaves the bus until the board is made anew.
  void crash(std::string fault);
  // Pulled out of its port: leaves the bus until the board is made anew.
  void pull_out();
  // Lock state of the boot loader that runs now; nothing while no boot loader runs.
  std::optional<bool> boot_loader_locked() const;
  // The 4 characters at kFirmwareVersionAddress.
  std::string version_in_flash() const;
  std::array<std::uint8_t, 0x1000>& storage() { return storage_; }
  // One-shot misbehaviours of the settings, used up by the boot loaders when they happen.
  bool take_unlock_refusal() { return std::exchange(unlock_refusal_pending_, false); }
  bool take_dropped_write(std::uint32_t address, std::size_t size);
  // Version the application reports: the configured one until a firmware image that carries
  // its own version has been programmed and started (read from kFirmwareVersionAddress each time
  // the application starts). Setting it also writes it to that address, so that it survives a
  // restart of the application.
  std::string application_version() const { return app_version_; }
  void set_application_version(std::string v);

  // Misuse the real device would not survive silently (programming unerased flash, a jump
  // into memory that holds no boot loader, ...). Tests expect this list to stay empty.
  void record_fault(std::string what) { faults_.push_back(std::move(what)); }
  const std::vector<std::string>& faults() const { return faults_; }
  // Command texts (application) or BSL core commands the controller received, in order.
  // (The boot loaders record each report they receive as its bytes in hex, "3F 21 11 ...".)
  void record_command(std::string what) { commands_.push_back(std::move(what)); }
  const std::vector<std::string>& commands() const { return commands_; }
  // BSL core commands decoded, in the order received, across boot loaders and restarts.
  void record_bsl(BslCommand c) { bsl_commands_.push_back(std::move(c)); }
  const std::vector<BslCommand>& bsl_commands() const { return bsl_commands_; }

 private:
  void begin_call(SimTime now);
  // When a re-enumeration that starts at `now` lists the board: `delay` later, or later still
  // when another board on the bus holds address 0 then.
  SimTime listed_after(SimTime now, SimTime delay);
  void settle(SimTime now);
  std::unique_ptr<Firmware> make_firmware(Mode mode);
  void install_factory_firmware();

  BoardSettings settings_;
  Msp430Memory memory_;
  std::array<std::uint8_t, 0x1000> storage_{};
  std::string app_version_;
  Mode mode_;
  std::unique_ptr<Firmware> firmware_;
  // A firmware that left the bus while one of its own calls ran; destroyed at the next call.
  std::vector<std::unique_ptr<Firmware>> retired_;
  std::uint64_t incarnation_ = 1;
  std::optional<std::pair<SimTime, Mode>> pending_;
  std::vector<std::string> faults_;
  std::vector<std::string> commands_;
  std::vector<BslCommand> bsl_commands_;
  bool unlock_refusal_pending_;
  bool drop_pending_;
  bool replug_pending_;
};

}  // namespace cardsim
