#include "usb_boot_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace cardsim {

namespace {

constexpr std::uint8_t kRxDataBlock = 0x10, kRxPassword = 0x11, kEraseSegment = 0x12, kLockInfo = 0x13,
                       kMassErase = 0x15, kCrcCheck = 0x16, kLoadPc = 0x17, kTxDataBlock = 0x18,
                       kTxBslVersion = 0x19, kTxBufferSize = 0x1A, kRxDataBlockFast = 0x1B;
constexpr std::uint8_t kDataReply = 0x3A, kMessageReply = 0x3B;
constexpr std::uint8_t kOk = 0x00, kWriteCheckFailed = 0x01, kFlashFail = 0x02, kLocked = 0x04,
                       kPasswordError = 0x05, kWriteForbidden = 0x06, kUnknownCommand = 0x07, kTooLong = 0x08;
constexpr SimTime kReplyTime = std::chrono::milliseconds(1);

std::string hex_of(const std::uint8_t* data, std::size_t size) {
  std::string hex;
  char byte[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
    hex += byte;
  }
  return hex;
}

std::string format_address(const char* text, std::uint32_t address) {
  char out[128];
  std::snprintf(out, sizeof out, text, static_cast<unsigned>(address));
  return out;
}

bool has_address(std::uint8_t code) {
  switch (code) {
    case kRxDataBlock:
    case kRxDataBlockFast:
    case kEraseSegment:
    case kCrcCheck:
    case kLoadPc:
    case kTxDataBlock: return true;
    default: return false;
  }
}

// True when the application's code is there: the reset vector names an address whose code is programmed.
bool is_application_entry(const Msp430Memory& m, std::uint32_t address) {
  if (m.reset_vector_erased()) return false;
  return address == m.read_word(Msp430Memory::kResetVector) && Msp430Memory::is_main_flash(address) &&
         (m.read(address) != 0xFF || m.read(address + 1) != 0xFF);
}

}  // namespace

std::uint32_t ram_bsl_image_size(const Msp430Memory& memory) {
  const std::size_t magic = std::strlen(kRamBslMagic);
  for (std::size_t i = 0; i < magic; ++i)
    if (memory.read(kRamBslEntry + static_cast<std::uint32_t>(i)) != static_cast<std::uint8_t>(kRamBslMagic[i]))
      return 0;
  std::uint32_t length = memory.read_word(kRamBslEntry + static_cast<std::uint32_t>(magic));
  std::uint16_t crc = memory.read_word(kRamBslEntry + static_cast<std::uint32_t>(magic) + 2);
  if (length == 0 || kRamBslBodyStart + length > Msp430Memory::kRamEnd) return 0;
  if (memory.crc16(kRamBslBodyStart, length) != crc) return 0;
  return kRamBslBodyStart + length - kRamBslImageStart;
}

void load_ram_bsl_stand_in(Msp430Memory& memory) {
  const std::vector<std::uint8_t> body = {0x31, 0x40, 0x00, 0x44, 0x3F, 0x40, 0x00, 0x00, 0xFF, 0x3F};
  std::string header = std::string("\x00\x08\x08\x39", 4) + kRamBslMagic;
  std::vector<std::uint8_t> image(header.begin(), header.end());
  const std::uint16_t crc = crc16_ccitt(body.data(), body.size());
  for (std::uint16_t v : {static_cast<std::uint16_t>(body.size()), crc}) {
    image.push_back(static_cast<std::uint8_t>(v));
    image.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  image.insert(image.end(), body.begin(), body.end());
  memory.load_raw(kRamBslImageStart, image);
}

std::uint32_t UsbBootLoader::Command::address() const {
  return operands[0] | (static_cast<std::uint32_t>(operands[1]) << 8) | (static_cast<std::uint32_t>(operands[2]) << 16);
}

void UsbBootLoader::on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime now) {
  if (iface != 0) return;
  // While the flash is erased the controller runs no USB code: a report that arrives meanwhile
  // waits in the endpoint's buffer and is taken when the erase is done. (The real endpoint holds
  // one report and refuses more until then; the updater never sends a second one in that time.)
  now = std::max(now, busy_until_);
  board_.record_command(hex_of(data, size));
  if (size < 3 || data[0] != 0x3F || data[1] == 0) return;  // not a BSL report: ignored
  BslCommand record{now, mode(), data[2], 0, {}, locked_, {}};
  if (data[1] > kCoreBuffer) {
    reply_message(kTooLong, now);
    record.outcome = "packet too long";
    board_.record_bsl(std::move(record));
    return;
  }
  Command c;
  c.code = data[2];
  c.operands = data + 3;
  c.size = std::min<std::size_t>(data[1], size - 2) - 1;  // a short report carries what it has
  if (has_address(c.code) && c.size >= 3) {
    record.address = c.address();
    record.data.assign(c.operands + 3, c.operands + c.size);
  } else {
    record.data.assign(c.operands, c.operands + c.size);
  }
  if (has_address(c.code) && c.size < 3) record.outcome = "malformed: no address";
  else record.outcome = handle(c, now);
  board_.record_bsl(std::move(record));
}

std::string UsbBootLoader::handle(const Command& c, SimTime now) {
  switch (c.code) {
    case kRxPassword: return rx_password(c, now);
    case kLoadPc: return load_pc(c.address(), now);
    case kRxDataBlockFast: {
      if (locked_) return "dropped: locked";
      const std::uint32_t address = c.address();
      std::size_t outside = 0;
      std::uint32_t first_outside = 0;
      for (std::size_t i = 3; i < c.size; ++i) {
        std::uint32_t a = address + static_cast<std::uint32_t>(i - 3);
        if (!Msp430Memory::is_ram(a)) {
          if (outside++ == 0) first_outside = a;
          continue;
        }
        board_.memory().write(a, c.operands[i]);
      }
      if (outside == 0) return "written";
      fault(format_address("RX DATA BLOCK FAST to 0x%05X, outside RAM: ", first_outside) + std::to_string(outside) +
            " byte(s) not written (this boot loader writes RAM only)");
      return "not written: outside RAM";
    }
    default: reply_message(kUnknownCommand, now); return "unknown command";
  }
}

std::string UsbBootLoader::rx_password(const Command& c, SimTime now) {
  bool right = c.size >= 32;
  for (std::size_t i = 0; right && i < 32; ++i)
    right = c.operands[i] == board_.memory().read(Msp430Memory::kVectorsStart + static_cast<std::uint32_t>(i));
  // TI's forum reports the erased device's password refused right after a wrong one.
  const bool refused = right && erased_by_password_ && mode() == Mode::UsbBootLoader && board_.take_unlock_refusal();
  if (right && !refused) {
    locked_ = false;
    reply_message(kOk, now);
    return "unlocked";
  }
  board_.memory().mass_erase_main_flash();
  erased_by_password_ = true;
  locked_ = true;
  reply_message(kPasswordError, now, erase(now));
  return refused ? "right password refused: main flash erased" : "wrong password: main flash erased";
}

SimTime UsbBootLoader::erase(SimTime now) {
  busy_until_ = now + board_.settings().flash_erase_time;
  return board_.settings().flash_erase_time;
}

std::string UsbBootLoader::load_pc(std::uint32_t address, SimTime now) {
  if (locked_) {
    reply_message(kLocked, now);
    return "refused: locked";
  }
  const Msp430Memory& m = board_.memory();
  if (address == kRamBslEntry && ram_bsl_image_size(m) != 0) {
    if (board_.settings().ram_bsl_start == RamBslStart::Fails) {
      board_.restart(Mode::UsbBootLoader, now, board_.settings().restart_delay);
      return "RAM boot loader failed to start: the boot loader in flash restarted";
    }
    board_.restart(Mode::RamBootLoader, now, board_.settings().restart_delay);
    return "RAM boot loader started";
  }
  if (is_application_entry(m, address)) {
    board_.restart(Mode::Application, now, board_.settings().restart_delay);
    return "application started";
  }
  board_.hang(std::string(name()) + format_address(": LOAD PC 0x%05X, where no boot loader or code is", address) +
              (address == kRamBslEntry ? " (no valid RAM boot-loader image at 0x2500)" : ""));
  return "hung";
}

void UsbBootLoader::reply_message(std::uint8_t message, SimTime now, SimTime delay) {
  if (quiet()) return;
  Report r(kReportSize, 0x00);
  r[0] = 0x3F;
  r[1] = 2;
  r[2] = kMessageReply;
  r[3] = message;
  SimTime ready = std::max(last_ready_, now + kReplyTime + delay);
  last_ready_ = ready;
  if (outbox_.size() < kQueueLimit) outbox_.emplace_back(ready, std::move(r));
}

void UsbBootLoader::reply_data(const std::vector<std::uint8_t>& data, SimTime now) {
  if (quiet()) return;
  const std::size_t per_report = kCoreBuffer - 1;
  std::size_t offset = 0;
  do {
    std::size_t n = std::min(per_report, data.size() - offset);
    Report r(kReportSize, 0x00);
    r[0] = 0x3F;
    r[1] = static_cast<std::uint8_t>(n + 1);
    r[2] = kDataReply;
    auto from = data.begin() + static_cast<std::ptrdiff_t>(offset);
    std::copy(from, from + static_cast<std::ptrdiff_t>(n), r.begin() + 3);
    SimTime ready = std::max(last_ready_, now + kReplyTime);
    last_ready_ = ready;
    if (outbox_.size() < kQueueLimit) outbox_.emplace_back(ready, std::move(r));
    offset += n;
  } while (offset < data.size());
}

void UsbBootLoader::fault(const std::string& what) { board_.record_fault(std::string(name()) + ": " + what); }

std::optional<Report> UsbBootLoader::take_input(int iface, SimTime now) {
  if (iface != 0 || outbox_.empty() || outbox_.front().first > now) return std::nullopt;
  Report r = std::move(outbox_.front().second);
  outbox_.pop_front();
  return r;
}

// ---------------------------------------------------------------------------------------------

RamBootLoader::RamBootLoader(Board& board)
    : UsbBootLoader(board, board.settings().ram_bsl_start == RamBslStart::Locked) {
  std::uint32_t size = ram_bsl_image_size(board.memory());
  image_end_ = kRamBslImageStart + size;
}

std::string RamBootLoader::handle(const Command& c, SimTime now) {
  const bool is_write = c.code == kRxDataBlock || c.code == kRxDataBlockFast;
  // A partial block is programmed at any command that is not a write (a write that does not
  // continue it flushes it itself); a failure there is recorded as a fault.
  if (!is_write) flush();

  switch (c.code) {
    case kRxDataBlock:
    case kRxDataBlockFast: {
      const bool fast = c.code == kRxDataBlockFast;
      if (locked_) {
        if (!fast) reply_message(kLocked, now);
        return "dropped: locked";
      }
      if (board_.take_dropped_write(c.address(), c.size - 3)) return "dropped: the write did not take";
      bool forbidden = false;
      bool ok = write(c.address(), c.operands + 3, c.size - 3, &forbidden);
      if (!fast) reply_message(forbidden ? kWriteForbidden : ok ? kOk : kWriteCheckFailed, now);
      if (reset_requested_ && board_.settings().reset_at_write) {
        board_.reset_controller(now);
        return "written; controller reset";
      }
      return forbidden ? "partly dropped: info A locked" : ok ? "written" : "write failed";
    }
    case kRxPassword: return rx_password(c, now);
    case kMassErase:
      board_.memory().mass_erase_main_flash();
      reply_message(kOk, now, erase(now));
      return "main flash erased";
    case kTxBslVersion: {
      std::vector<std::uint8_t> v;
      for (std::uint32_t i = 0; i < 4; ++i) v.push_back(board_.memory().read(kRamBslImageStart + i));
      reply_data(v, now);
      return "version sent";
    }
    case kTxBufferSize:
      reply_data({static_cast<std::uint8_t>(kCoreBuffer & 0xFF), static_cast<std::uint8_t>(kCoreBuffer >> 8)}, now);
      return "buffer size sent";
    default: break;
  }

  const bool known = c.code == kEraseSegment || c.code == kLockInfo || c.code == kCrcCheck || c.code == kLoadPc ||
                     c.code == kTxDataBlock;
  if (!known) {
    reply_message(kUnknownCommand, now);
    return "unknown command";
  }
  if (locked_) {
    reply_message(kLocked, now);
    return "refused: locked";
  }
  switch (c.code) {
    case kEraseSegment: {
      std::uint32_t a = c.address();
      if (a >= Msp430Memory::kInfoAStart && a < Msp430Memory::kInfoEnd && info_a_locked_) {
        reply_message(kWriteForbidden, now);
        return "refused: info A locked";
      }
      if (!board_.memory().erase_segment(a)) {
        reply_message(kFlashFail, now);
        return "refused: not flash";
      }
      reply_message(kOk, now, erase(now));
      return "segment erased";
    }
    case kLockInfo:
      info_a_locked_ = !info_a_locked_;
      reply_message(kOk, now);
      return info_a_locked_ ? "info A locked" : "info A unlocked";
    case kCrcCheck: {
      if (c.size < 5) return "malformed: no length";
      std::uint32_t length = c.operands[3] | (static_cast<std::uint32_t>(c.operands[4]) << 8);
      std::uint16_t crc = board_.memory().crc16(c.address(), length);
      reply_data({static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)}, now);
      return "crc sent";
    }
    case kTxDataBlock: {
      if (c.size < 5) return "malformed: no length";
      std::uint32_t length = c.operands[3] | (static_cast<std::uint32_t>(c.operands[4]) << 8);
      std::vector<std::uint8_t> data;
      for (std::uint32_t i = 0; i < length; ++i) data.push_back(board_.memory().read(c.address() + i));
      reply_data(data, now);
      return "data sent";
    }
    case kLoadPc:
      if (reset_requested_) {
        board_.reset_controller(now);
        return "controller reset";
      }
      return load_pc(c.address(), now);
    default: return "unknown command";
  }
}

bool RamBootLoader::write(std::uint32_t address, const std::uint8_t* data, std::size_t size, bool* forbidden) {
  bool ok = true;
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t a = (address + static_cast<std::uint32_t>(i)) % Msp430Memory::kSize;
    if (!Msp430Memory::is_flash(a)) {
      ok = flush() && ok;
      ok = write_now(a, data + i, 1, forbidden) && ok;
      continue;
    }
    if (!pending_.empty() && a != pending_address_ + pending_.size()) ok = flush() && ok;
    if (pending_.empty()) pending_address_ = a;
    pending_.push_back(data[i]);
    if ((a + 1) % kWriteBlock == 0) ok = flush() && ok;  // a full, aligned block
  }
  return ok;
}

bool RamBootLoader::flush() {
  if (pending_.empty()) return true;
  std::vector<std::uint8_t> block;
  block.swap(pending_);
  bool forbidden = false;
  return write_now(pending_address_, block.data(), block.size(), &forbidden);
}

bool RamBootLoader::write_now(std::uint32_t address, const std::uint8_t* data, std::size_t size, bool* forbidden) {
  Msp430Memory& m = board_.memory();
  std::size_t failed = 0, own_image = 0;
  std::string first_fault;
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t a = (address + static_cast<std::uint32_t>(i)) % Msp430Memory::kSize;
    if (a >= Msp430Memory::kInfoAStart && a < Msp430Memory::kInfoEnd && info_a_locked_) {
      *forbidden = true;
      continue;
    }
    if (a >= kRamBslImageStart && a < image_end_ && own_image++ == 0) {
      // The code that takes this very report is overwritten: the controller runs into garbage.
      board_.crash(std::string(name()) + format_address(": write to 0x%05X overwrites its own code; it crashed", a));
      return false;
    }
    std::string why;
    if (!m.write(a, data[i], &why) && failed++ == 0) first_fault = why;
    if (a >= kPmmCtl0 && a <= kPmmCtl0 + 1) {
      // PMMCTL0: a wrong password in the high byte, or a software BOR/POR request, resets the controller.
      reset_requested_ = reset_requested_ || m.read(kPmmCtl0 + 1) != 0xA5 || (m.read(kPmmCtl0) & 0x0C) != 0;
    }
  }
  if (failed) fault(first_fault + (failed > 1 ? " (and " + std::to_string(failed - 1) + " more byte(s))" : ""));
  return failed == 0;
}

}  // namespace cardsim
