// TI's MSP430 USB boot loader (the BSL the controller starts in, here "ROM BSL") and the RAM boot
// loader that the updater loads into it, modelled after TI's public documentation (the MSP430 BSL
// user's guide SLAU319 and the MSP430F552x data sheet SLAS645). Both list as vendor 0x2047, product 0x0200 and take one BSL core
// command per 64-byte report: byte 0 report id 0x3F, byte 1 the number of core bytes, then the
// command code, for most commands 3 address bytes (low, middle, high), then data.
//
// Replies are 64-byte reports, 0x3F, length, then 0x3A and data or 0x3B and a message byte (00 ok,
// 01 write check failed, 02 flash fail, 04 locked, 05 password error, 06 byte write forbidden,
// 07 unknown command, 08 packet too long); the rest of the report is 0x00. They queue up for the
// host to read (like hidraw's queue, at most 64; later ones are dropped) and become readable 1 ms
// after the command, or after BoardSettings::flash_erase_time for commands that erase (SLAU319:
// a segment, bank or mass erase takes 23-32 ms; the controller runs no USB code meanwhile, so a
// command that arrives during the erase is taken when it ends).
//
// ROM BSL (Mode::UsbBootLoader): locked at start. Offers only
//   0x11 RX PASSWORD: the 32 bytes are compared with memory 0xFFE0..0xFFFF. Right: unlocked,
//        reply 3B 00. Wrong (or fewer than 32 bytes): main flash is mass-erased (all 0xFF, the
//        information memory stays), the BSL stays (or becomes) locked, reply 3B 05.
//        BoardSettings::refuse_unlock_once: the first right password after such an erase is
//        refused as if it were wrong (TI's forum: the default password refused right after a
//        wrong one, "BSL is locked"; TI's own scripts wait 1-2 s between the two).
//   BoardSettings::rom_bsl_quiet: this boot loader sends no reply at all. Whether the boot loader
//        in flash answers RX PASSWORD over USB is not established without hardware: the evidence
//        (a widely used host tool reads the answers) says it does; the updater must be right
//        either way.
//   0x1B RX DATA BLOCK FAST: never replies. Locked: dropped. Unlocked: writes RAM (0x1C00..0x43FF)
//        only; any other destination is a fault and is not written.
//   0x17 LOAD PC: locked: reply 3B 04. Unlocked: 0x2504 with a valid RAM boot-loader image in RAM
//        (see below) starts it: the device leaves the bus and lists itself again as the RAM BSL
//        after BoardSettings::restart_delay, on whatever node the bus gives it then. With
//        RamBslStart::Fails the boot loader in flash comes back instead, locked (TI's forum:
//        "Unsuccessful in starting the BSL"). The entry point of the application (the address in the reset vector, when that
//        code is programmed) starts the application. Anything else: a fault, and the controller
//        hangs (Board::hang).
//   Other codes: reply 3B 07.
// RAM BSL (Mode::RamBootLoader): starts unlocked, or locked with RamBslStart::Locked (TI does not
// say which: the images common host tools ship start unlocked, TI's F5529 example sends the
// password again after LOAD PC 0x2504). Offers the full command set:
//   0x10 RX DATA BLOCK (reply 3B 00, or 01 when a write failed, 06 for locked info segment A),
//   0x1B RX DATA BLOCK FAST (no reply), 0x11 RX PASSWORD (as above), 0x12 ERASE SEGMENT (reply 00;
//   02 when the address is not flash), 0x13 UNLOCK/LOCK INFO (toggles the lock of info segment A,
//   locked at start), 0x15 MASS ERASE (unprotected), 0x16 CRC CHECK (address, length low/high;
//   reply 3A crc-low crc-high, CRC-16/CCITT-FALSE), 0x17 LOAD PC, 0x18 TX DATA BLOCK (address,
//   length low/high; replies 3A and up to 61 bytes per report), 0x19 TX BSL VERSION (3A and the 4
//   bytes at 0x2500), 0x1A TX BUFFER SIZE (3A 3E 00: the 62-byte core buffer).
//   Protected commands (all but RX PASSWORD, MASS ERASE, TX BSL VERSION, TX BUFFER SIZE) answer
//   3B 04 while locked; FAST writes are dropped.
//   Writes to flash are buffered in 128-byte blocks (aligned): a block is programmed when it is
//   full, and a partial block at the next write that does not continue it, or at any other
//   command. Writes to RAM and peripherals take effect at once. Writing over a programmed flash
//   byte is a fault (Board::record_fault) and reply 01 for RX DATA BLOCK; a write into the running
//   RAM boot loader's own image (from 0x2500) crashes it: the controller runs into the bytes just
//   written and leaves the bus (Board::crash).
//   BoardSettings::drop_write_at: the first data block that covers that address is dropped
//   without a word (no write, no reply), as a flash write that did not take.
//   The reset write: a write to PMMCTL0 (0x0120, password 0xA5 in its high byte 0x0121) that
//   leaves a wrong password there (the updater writes 0xA5, 0x06, so 0x06 lands in the high byte)
//   or sets PMMSWBOR/PMMSWPOR (0x04/0x08) is a password violation that resets the controller
//   (a PUC; MSP430x5xx family guide, PMM chapter). When the controller leaves the bus is not
//   established without hardware: by default the model takes the reset at the next LOAD PC,
//   whatever its address, so that the LOAD PC report is still accepted; with
//   BoardSettings::reset_at_write it resets at that very write, and the LOAD PC after it finds
//   the device gone. Either way the controller then restarts as Board::reset_controller() says
//   (application, or the USB boot loader when the reset vector is erased). Without the reset
//   write, LOAD PC behaves as in the ROM BSL (0x2504 restarts the RAM BSL).
//
// The RAM boot-loader image (the project's stand-in; TI's real one is not part of this project):
//   0x2500  4 version bytes (00 08 08 39 in sim/data/stand_in_ram_bsl.txt)
//   0x2504  the 24 ASCII characters of kRamBslMagic (the entry point LOAD PC 0x2504 jumps to)
//   0x251C  body length L, 16 bits little-endian
//   0x251E  CRC-16/CCITT-FALSE of the body, 16 bits little-endian
//   0x2520  the body, L bytes, ending below 0x4400
// The ROM BSL starts it only when all of this checks out.
//
// Every report received is recorded with Board::record_command (bytes in hex) and every core
// command decoded with Board::record_bsl (code, address, data, lock state, outcome).
#pragma once

#include <deque>
#include <utility>

#include "board.h"

namespace cardsim {

constexpr std::uint32_t kRamBslImageStart = 0x2500;
constexpr std::uint32_t kRamBslEntry = 0x2504;
constexpr char kRamBslMagic[] = "CARDSIM RAM BSL STAND-IN";  // 24 characters, no NUL in memory
constexpr std::uint32_t kRamBslBodyStart = 0x2520;
constexpr std::uint32_t kPmmCtl0 = 0x0120;

// Length of the whole RAM boot-loader image (from 0x2500) when memory holds a valid one, else 0.
std::uint32_t ram_bsl_image_size(const Msp430Memory& memory);
// Puts a small valid stand-in image (version 00 08 08 39) in RAM, for a board that starts with its
// RAM boot loader already running.
void load_ram_bsl_stand_in(Msp430Memory& memory);

class UsbBootLoader : public Firmware {
 public:
  explicit UsbBootLoader(Board& board) : UsbBootLoader(board, true) {}
  std::uint16_t vendor_id() const override { return kBslVendorId; }
  std::uint16_t product_id() const override { return kBslProductId; }
  void on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime now) override;
  std::optional<Report> take_input(int iface, SimTime now) override;
  // Lets a test put a report in the boot loader's IN queue (readable at once).
  void queue_input(Report report) { outbox_.emplace_back(SimTime::min(), std::move(report)); }
  bool locked() const { return locked_; }

  static constexpr std::size_t kCoreBuffer = 62;
  static constexpr std::size_t kQueueLimit = 64;

 protected:
  struct Command {
    std::uint8_t code = 0;
    const std::uint8_t* operands = nullptr;  // the bytes after the code
    std::size_t size = 0;                    // number of operand bytes
    std::uint32_t address() const;           // needs size >= 3
  };

  UsbBootLoader(Board& board, bool locked) : Firmware(board), locked_(locked) {}
  virtual Mode mode() const { return Mode::UsbBootLoader; }
  virtual const char* name() const { return "ROM boot loader"; }
  // Handles one command; returns the outcome text for the record.
  virtual std::string handle(const Command& c, SimTime now);

  std::string rx_password(const Command& c, SimTime now);
  // Starts an erase of the flash: no command is taken until it ends. Returns how long it takes.
  SimTime erase(SimTime now);
  // The boot loader in flash set to send nothing over USB.
  bool quiet() const { return mode() == Mode::UsbBootLoader && board_.settings().rom_bsl_quiet; }
  std::string load_pc(std::uint32_t address, SimTime now);
  void reply_message(std::uint8_t message, SimTime now, SimTime delay = SimTime::zero());
  void reply_data(const std::vector<std::uint8_t>& data, SimTime now);
  void fault(const std::string& what);

  std::deque<std::pair<SimTime, Report>> outbox_;  // (readable from, report)
  SimTime last_ready_{SimTime::min()};
  SimTime busy_until_{SimTime::min()};
  bool locked_;
  bool erased_by_password_ = false;
};

class RamBootLoader : public UsbBootLoader {
 public:
  explicit RamBootLoader(Board& board);
  bool info_a_locked() const { return info_a_locked_; }
  static constexpr std::uint32_t kWriteBlock = 128;

 protected:
  Mode mode() const override { return Mode::RamBootLoader; }
  const char* name() const override { return "RAM boot loader"; }
  std::string handle(const Command& c, SimTime now) override;

 private:
  // Writes `size` bytes at `address`; false when a byte could not be written cleanly.
  bool write(std::uint32_t address, const std::uint8_t* data, std::size_t size, bool* forbidden);
  bool flush();
  bool write_now(std::uint32_t address, const std::uint8_t* data, std::size_t size, bool* forbidden);

  std::uint32_t pending_address_ = 0;
  std::vector<std::uint8_t> pending_;  // flash bytes from pending_address_, not yet programmed
  std::uint32_t image_end_;            // end of the running RAM boot loader's own image
  bool info_a_locked_ = true;
  bool reset_requested_ = false;
};

}  // namespace cardsim
