// The simulated boot loaders' own behaviour where the product's update, recovery and verify runs
// do not reach it: their refusals and faults.
// (The weak cell and the CRC are the scenario suite's: its verify failure names both CRCs.)
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "address_zero.h"
#include "board.h"
#include "support/bytes.h"
#include "usb_boot_loader.h"

using namespace cardsim;
using namespace testsupport;

namespace {

constexpr std::uint8_t kRxPassword = 0x11, kLoadPc = 0x17, kFast = 0x1B;

// A BSL report as the updater builds it: 0xAC everywhere, then id, length, code, operands.
Bytes bsl_report(std::uint8_t code, const Bytes& operands = {}) {
  Bytes r(64, 0xAC);
  r[0] = 0x3F;
  r[1] = static_cast<std::uint8_t>(1 + operands.size());
  r[2] = code;
  std::copy(operands.begin(), operands.end(), r.begin() + 3);
  return r;
}
Bytes addressed(std::uint32_t address, const Bytes& data = {}) {
  return concat({{static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                  static_cast<std::uint8_t>(address >> 16)},
                 data});
}
Bytes fast(std::uint32_t address, const Bytes& data) { return bsl_report(kFast, addressed(address, data)); }
Bytes load_pc(std::uint32_t address) { return bsl_report(kLoadPc, addressed(address)); }
Bytes password(const Bytes& p) { return bsl_report(kRxPassword, p); }
const Bytes kWrongPassword(32, 0x5A);
const Bytes kErasedPassword(32, 0xFF);
const Bytes kResetWrite = fast(0x0120, {0xA5, 0x06});

// A reply report: 0x3F, length, then the core reply; the rest of the 64 bytes is 0.
Bytes reply(const Bytes& core) {
  Bytes r(64, 0x00);
  r[0] = 0x3F;
  r[1] = static_cast<std::uint8_t>(core.size());
  std::copy(core.begin(), core.end(), r.begin() + 2);
  return r;
}

Bytes memory_range(const Board& board, std::uint32_t start, std::uint32_t end) {
  const auto& m = board.memory().bytes();
  return Bytes(m.begin() + start, m.begin() + end);
}
bool all_erased(const Board& board, std::uint32_t start, std::uint32_t end) {
  const Bytes range = memory_range(board, start, end);
  return std::all_of(range.begin(), range.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// Drives one Board with its own clock, as the bus would.
class Driver {
 public:
  explicit Driver(Mode start = Mode::UsbBootLoader) : board_(settings(start)) {}
  Board& board() { return board_; }
  void advance(SimTime by) {
    now_ += by;
    board_.presence(now_);  // a host's enumeration: a pending restart completes
  }
  std::optional<Board::Presence> presence() { return board_.presence(now_); }
  void send(const Bytes& report) {
    if (auto p = board_.presence(now_)) board_.write(p->incarnation, 0, report.data(), report.size(), now_);
  }
  Bytes receive() {
    auto p = board_.presence(now_);
    Report r;
    return p && board_.read(p->incarnation, 0, now_, r) == Board::Io::Ok ? r : Bytes{};
  }

 private:
  static BoardSettings settings(Mode start) {
    BoardSettings s;
    s.start_mode = start;
    s.flash_erased = start == Mode::RamBootLoader;  // as the update's mass erase left it
    s.fw_version = "0102";
    return s;
  }
  Board board_;
  SimTime now_{0};
};

TEST(RomBootLoader, LockedItDropsWritesAndRefusesLoadPc) {
  Driver d;
  Board& board = d.board();
  EXPECT_EQ(board.boot_loader_locked(), true);
  const Bytes ram_before = memory_range(board, 0x2500, 0x2530);
  d.send(fast(0x2500, Bytes(48, 0x11)));
  d.send(load_pc(0x2504));
  d.advance(5ms);
  EXPECT_BYTES(ram_before, memory_range(board, 0x2500, 0x2530));
  EXPECT_BYTES(reply({0x3B, 0x04}), d.receive());  // only LOAD PC answers
  EXPECT_TRUE(d.receive().empty());
  EXPECT_EQ(board.mode(), Mode::UsbBootLoader);
  ASSERT_EQ(board.bsl_commands().size(), 2u);
  EXPECT_EQ(board.bsl_commands()[0].outcome, "dropped: locked");
  EXPECT_EQ(board.bsl_commands()[1].outcome, "refused: locked");
  EXPECT_EQ(board.faults(), std::vector<std::string>{});
}

// A wrong password erases main flash (not information memory) and leaves it locked; the
// right password of a programmed device unlocks it without an erase.
TEST(RomBootLoader, Passwords) {
  Driver wrong;
  Board& board = wrong.board();
  board.memory().load_raw(0x1800, {0x12, 0x34});
  ASSERT_FALSE(all_erased(board, Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd));
  wrong.send(password(kWrongPassword));
  EXPECT_TRUE(all_erased(board, Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd));
  EXPECT_BYTES((Bytes{0x12, 0x34}), memory_range(board, 0x1800, 0x1802));
  EXPECT_EQ(board.boot_loader_locked(), true);
  wrong.advance(2ms);
  EXPECT_TRUE(wrong.receive().empty()) << "the reply comes after the erase";
  wrong.advance(board.settings().flash_erase_time);
  EXPECT_BYTES(reply({0x3B, 0x05}), wrong.receive());
  wrong.send(fast(0x2400, {1, 2, 3}));
  EXPECT_BYTES((Bytes{0, 0, 0}), memory_range(board, 0x2400, 0x2403));
  EXPECT_EQ(board.bsl_commands()[0].outcome, "wrong password: main flash erased");
  // A command that arrives during the erase is taken when the erase is done.
  wrong.send(password(kWrongPassword));
  wrong.advance(1ms);
  wrong.send(password(kErasedPassword));
  EXPECT_EQ(board.bsl_commands().back().time - board.bsl_commands()[board.bsl_commands().size() - 2].time,
            board.settings().flash_erase_time);
  EXPECT_TRUE(wrong.receive().empty());
  wrong.advance(board.settings().flash_erase_time);
  EXPECT_BYTES(reply({0x3B, 0x05}), wrong.receive());
  EXPECT_BYTES(reply({0x3B, 0x00}), wrong.receive());

  Driver right;
  const Bytes flash = memory_range(right.board(), Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd);
  right.send(password(memory_range(right.board(), 0xFFE0, 0x10000)));
  EXPECT_EQ(right.board().boot_loader_locked(), false);
  EXPECT_TRUE(flash == memory_range(right.board(), Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd));
}

// LOAD PC into RAM that holds no intact RAM boot loader: the controller hangs and stays listed.
TEST(RomBootLoader, LoadPcWithoutAValidImageHangs) {
  for (std::uint32_t address : {0x2504u, 0x3000u}) {  // its entry, and anywhere else
    Driver d;
    d.send(password(kWrongPassword));
    d.send(password(kErasedPassword));
    d.send(fast(0x2500, {0x00, 0x08, 0x08, 0x39}));  // the version bytes without a body
    d.send(load_pc(address));
    EXPECT_EQ(d.board().mode(), Mode::Hung);
    ASSERT_EQ(d.board().faults().size(), 1u);
    EXPECT_NE(d.board().faults()[0].find("LOAD PC"), std::string::npos) << d.board().faults()[0];
    d.advance(10s);
    EXPECT_TRUE(d.presence());  // what a hung board does with reports: virtual_bus_test
  }
}

// What starts after the RAM boot loader's LOAD PC: without the reset write the RAM boot loader
// restarts; a jump to the application's entry starts it; a reset into erased vectors comes back
// as the locked USB boot loader.
TEST(RamBootLoader, WhatLoadPcStarts) {
  struct Case {
    const char* name;
    std::vector<Bytes> reports;
    Mode mode;
  };
  const Bytes app = concat({bytes_of("0301"), {0x31, 0x40}});
  for (const Case& c : {Case{"no reset write", {load_pc(0x2504)}, Mode::RamBootLoader},
                        Case{"jump to the entry", {fast(0x4400, app), fast(0xFFFE, {0x04, 0x44}), load_pc(0x4404)},
                             Mode::Application},
                        Case{"reset, no vectors", {fast(0x4400, bytes_of("0300")), kResetWrite, load_pc(0x2504)},
                             Mode::UsbBootLoader}}) {
    SCOPED_TRACE(c.name);
    Driver d(Mode::RamBootLoader);
    for (const Bytes& r : c.reports) d.send(r);
    d.advance(d.board().settings().restart_delay);
    EXPECT_EQ(d.board().mode(), c.mode);
    if (c.mode == Mode::Application) {
      EXPECT_EQ(d.board().application_version(), "0301");
    } else if (c.mode == Mode::UsbBootLoader) {
      EXPECT_EQ(d.board().boot_loader_locked(), true);
    }
    EXPECT_EQ(d.board().faults(), std::vector<std::string>{});
  }
}

// Misuse the real controller would not survive silently is the board's fault, and does what the
// controller would do: a write the boot loader cannot make leaves the flash as it was, a second
// programming of a byte ANDs its bits in, a RAM boot loader whose code is overwritten crashes
// and leaves the bus.
TEST(BootLoaders, MisuseIsAFault) {
  struct Case {
    Mode start;
    std::vector<Bytes> reports;
    const char* fault;
    Bytes flash_at_4400;  // empty: the board has left the bus
  };
  for (const Case& c : {
           Case{Mode::UsbBootLoader, {password(kWrongPassword), password(kErasedPassword), fast(0x4400, {0x01, 0x02})},
                "ROM boot loader: RX DATA BLOCK FAST to 0x04400, outside RAM: 2 byte(s) not written (this boot loader "
                "writes RAM only)",
                {0xFF, 0xFF}},
           // Not contiguous: the first block is programmed at the second, the second at LOAD PC.
           Case{Mode::RamBootLoader, {fast(0x4400, {0x30, 0x31}), fast(0x4400, {0x32, 0x33}), load_pc(0x2504)},
                "RAM boot loader: flash 0x04400 programmed twice (0x30 then 0x32) (and 1 more byte(s))",
                {0x30 & 0x32, 0x31 & 0x33}},
           Case{Mode::RamBootLoader, {fast(0x2510, {1})},
                "RAM boot loader: write to 0x02510 overwrites its own code; it crashed", {}}}) {
    SCOPED_TRACE(c.fault);
    Driver d(c.start);
    for (const Bytes& r : c.reports) d.send(r);
    EXPECT_EQ(d.board().faults(), std::vector<std::string>{c.fault});
    d.advance(10s);
    EXPECT_EQ(d.presence().has_value(), !c.flash_at_4400.empty());
    if (!c.flash_at_4400.empty()) {
      EXPECT_BYTES(c.flash_at_4400, memory_range(d.board(), 0x4400, 0x4402));
    }
  }
}

// Address 0 of a bus goes to each hold at the time it wants, or at the start of the first free
// stretch after that which is long enough for it.
TEST(AddressZero, TheFirstFreeStretchLongEnough) {
  using std::chrono::milliseconds;
  AddressZero a;
  EXPECT_EQ(a.reserve(milliseconds(1000), milliseconds(230)), milliseconds(1000));  // [1000, 1230)
  EXPECT_EQ(a.reserve(milliseconds(1500), milliseconds(230)), milliseconds(1500));  // [1500, 1730)
  EXPECT_EQ(a.reserve(milliseconds(1100), milliseconds(130)), milliseconds(1230));  // [1230, 1360)
  EXPECT_EQ(a.reserve(milliseconds(1300), milliseconds(230)), milliseconds(1730)) << "1360..1500 is too short";
  EXPECT_EQ(a.reserve(milliseconds(1360), milliseconds(130)), milliseconds(1360)) << "and long enough for this";
  EXPECT_EQ(a.reserve(milliseconds(800), milliseconds(200)), milliseconds(800)) << "ends as the first starts";
  EXPECT_EQ(a.reserve(milliseconds(1200), milliseconds(0)), milliseconds(1200)) << "no hold, no wait";
}

// A restart shorter than the enumeration holds address 0 for all of it; the board alone on its
// bus keeps its delay.
TEST(AddressZero, ABoardHoldsItForTheEndOfItsDelay) {
  auto bus = std::make_shared<AddressZero>();
  BoardSettings s;
  s.address_zero = bus;
  s.enumeration_time = AddressZero::kRootPortHold;
  Board first(s), second(s);
  first.restart(Mode::Application, SimTime{0}, std::chrono::milliseconds(100));
  second.restart(Mode::Application, SimTime{0}, std::chrono::milliseconds(100));
  EXPECT_EQ(first.next_change(), SimTime(std::chrono::milliseconds(100)));
  EXPECT_EQ(second.next_change(), SimTime(std::chrono::milliseconds(200)));
  EXPECT_FALSE(second.presence(std::chrono::milliseconds(199)).has_value());
  EXPECT_TRUE(second.presence(std::chrono::milliseconds(200)).has_value());
}

}  // namespace
