// The simulated boot loaders (ROM USB BSL and RAM BSL) and the mode changes of a board, driven
// directly through Board and through the virtual bus with hidapi calls.
#include <gtest/gtest.h>

#include <hidapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "support/bytes.h"
#include "titxt_reader.h"
#include "usb_boot_loader.h"
#include "virtual_bus.h"

using namespace cardsim;
using namespace testsupport;
namespace bus = cardsim::bus;

namespace {

const std::string kDataDir = CARDSIM_DATA_DIR;

constexpr std::uint8_t kRxDataBlock = 0x10, kRxPassword = 0x11, kEraseSegment = 0x12, kMassErase = 0x15,
                       kCrcCheck = 0x16, kLoadPc = 0x17, kTxDataBlock = 0x18, kTxBslVersion = 0x19,
                       kTxBufferSize = 0x1A, kFast = 0x1B;

// A BSL report as the updater builds it: 0xAC everywhere, then id, length, code, operands.
Bytes bsl_report(std::uint8_t code, const Bytes& operands) {
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
Bytes with_length(std::uint8_t code, std::uint32_t address, std::uint16_t length) {
  return bsl_report(code,
                    addressed(address, {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)}));
}
const Bytes kPasswordA = [] {
  Bytes p;
  for (int i = 0; i < 32; ++i) p.push_back(static_cast<std::uint8_t>(0x5A ^ i));
  return p;
}();
const Bytes kPasswordB(32, 0xFF);

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
  const auto& m = board.memory().bytes();
  return std::all_of(m.begin() + start, m.begin() + end, [](std::uint8_t b) { return b == 0xFF; });
}

cardflash::FirmwareImage load_image(const std::string& name) {
  cardflash::FirmwareImage image;
  EXPECT_TRUE(cardflash::ReadTiTxtImage((kDataDir + "/" + name).c_str(), image)) << name;
  return image;
}

// Drives one Board with its own clock, as the bus would.
class Driver {
 public:
  explicit Driver(Board& board) : board_(board) {}
  Board& board() { return board_; }
  SimTime now() const { return now_; }
  // Moves the clock on and looks at the bus, as a host's enumeration would (a pending restart completes).
  void advance(SimTime by) {
    now_ += by;
    board_.presence(now_);
  }
  std::optional<Board::Presence> presence() { return board_.presence(now_); }
  Board::Io send(const Bytes& report) {
    auto p = board_.presence(now_);
    if (!p) return Board::Io::Gone;
    return board_.write(p->incarnation, 0, report.data(), report.size(), now_);
  }
  std::optional<Bytes> receive() {
    auto p = board_.presence(now_);
    if (!p) return std::nullopt;
    Report r;
    if (board_.read(p->incarnation, 0, now_, r) != Board::Io::Ok) return std::nullopt;
    return r;
  }
  // Sends every segment in blocks of at most 48 bytes, as the updater does.
  void download(const cardflash::FirmwareImage& image) {
    for (const auto& s : image)
      for (std::int32_t offset = 0; offset < s.byte_count; offset += 48) {
        std::int32_t k = std::min(48, s.byte_count - offset);
        auto begin = s.bytes.begin() + offset;
        ASSERT_EQ(send(fast(s.start_address + static_cast<std::uint32_t>(offset), Bytes(begin, begin + k))),
                  Board::Io::Ok);
      }
  }
  // From a locked USB boot loader to a running RAM boot loader.
  void start_ram_bsl() {
    send(password(kPasswordA));
    advance(1500ms);
    send(password(kPasswordB));
    download(load_image("RAM_BSL_00.08.08.39.txt"));
    send(load_pc(0x2504));
    advance(board_.settings().restart_delay);
    ASSERT_EQ(board_.mode(), Mode::RamBootLoader);
  }
  void drain() {
    advance(100ms);
    while (receive()) {
    }
  }

 private:
  Board& board_;
  SimTime now_{0};
};

BoardSettings in_boot_loader() {
  BoardSettings s;
  s.start_mode = Mode::UsbBootLoader;
  s.fw_version = "0102";
  return s;
}

std::string faults_of(const Board& board) {
  std::string out;
  for (const auto& f : board.faults()) out += "\n  " + f;
  return out;
}

// ---------------------------------------------------------------------------------------------------------------

TEST(Msp430Memory, CrcCheckValue) {
  const char* text = "123456789";
  EXPECT_EQ(crc16_ccitt(reinterpret_cast<const std::uint8_t*>(text), 9), 0x29B1);
  Msp430Memory m;
  m.load_raw(0x2400, bytes_of(text));
  EXPECT_EQ(m.crc16(0x2400, 9), 0x29B1);
}

TEST(Msp430Memory, FlashProgramsOnlyFromErased) {
  Msp430Memory m;
  std::string fault;
  EXPECT_TRUE(m.write(0x4400, 0x12, &fault));
  EXPECT_FALSE(m.write(0x4400, 0x34, &fault));
  EXPECT_EQ(fault, "flash 0x04400 programmed twice (0x12 then 0x34)");
  EXPECT_TRUE(m.erase_segment(0x45FF));  // the 512-byte segment 0x4400..0x45FF
  EXPECT_EQ(m.read(0x4400), 0xFF);
  EXPECT_TRUE(m.write(0x2400, 1) && m.write(0x2400, 2));  // RAM takes any write
  EXPECT_FALSE(m.erase_segment(0x2400));
}

TEST(BoardModel, NewBoardHoldsItsCurrentFirmware) {
  BoardSettings s;
  s.fw_version = "0102";
  Board board(s);
  EXPECT_EQ(board.mode(), Mode::Application);
  EXPECT_EQ(board.version_in_flash(), "0102");
  EXPECT_EQ(board.application_version(), "0102");
  EXPECT_FALSE(board.memory().reset_vector_erased());
  EXPECT_EQ(board.memory().read_word(0xFFFE), 0x4404);
  EXPECT_FALSE(all_erased(board, 0xFFE0, 0x10000)) << "the password of a new board is not the erased one";
  EXPECT_FALSE(board.boot_loader_locked().has_value());
}

TEST(RomBootLoader, LockedAtStartDropsWritesAndRefusesLoadPc) {
  Board board(in_boot_loader());
  Driver d(board);
  EXPECT_EQ(board.boot_loader_locked(), true);
  Bytes ram_before = memory_range(board, 0x2500, 0x2530);
  d.send(fast(0x2500, Bytes(48, 0x11)));
  d.send(load_pc(0x2504));
  d.advance(5ms);
  EXPECT_BYTES(ram_before, memory_range(board, 0x2500, 0x2530));
  auto r = d.receive();
  ASSERT_TRUE(r);  // only LOAD PC answers; the FAST write never does
  EXPECT_BYTES(reply({0x3B, 0x04}), *r);
  EXPECT_FALSE(d.receive());
  EXPECT_EQ(board.mode(), Mode::UsbBootLoader);
  ASSERT_EQ(board.bsl_commands().size(), 2u);
  EXPECT_EQ(board.bsl_commands()[0].code, kFast);
  EXPECT_EQ(board.bsl_commands()[0].address, 0x2500u);
  EXPECT_EQ(board.bsl_commands()[0].data.size(), 48u);
  EXPECT_TRUE(board.bsl_commands()[0].locked);
  EXPECT_EQ(board.bsl_commands()[0].outcome, "dropped: locked");
  EXPECT_EQ(board.bsl_commands()[1].outcome, "refused: locked");
  EXPECT_EQ(board.commands().size(), 2u);  // the raw reports, in hex
  EXPECT_EQ(board.commands()[1].substr(0, 17), "3F 04 17 04 25 00");
  EXPECT_TRUE(board.faults().empty()) << faults_of(board);
}

TEST(RomBootLoader, WrongPasswordErasesMainFlashAndStaysLocked) {
  Board board(in_boot_loader());
  board.memory().load_raw(0x1800, {0x12, 0x34});  // information memory survives a mass erase
  Driver d(board);
  ASSERT_FALSE(all_erased(board, Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd));
  d.send(password(kPasswordA));
  EXPECT_TRUE(all_erased(board, Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd));
  EXPECT_BYTES((Bytes{0x12, 0x34}), memory_range(board, 0x1800, 0x1802));
  EXPECT_EQ(board.boot_loader_locked(), true);
  d.advance(2ms);
  EXPECT_FALSE(d.receive()) << "the reply comes after the erase";
  d.advance(board.settings().flash_erase_time);
  auto r = d.receive();
  ASSERT_TRUE(r);
  EXPECT_BYTES(reply({0x3B, 0x05}), *r);
  // Still locked: writes are dropped.
  d.send(fast(0x2400, {1, 2, 3}));
  EXPECT_BYTES((Bytes{0, 0, 0}), memory_range(board, 0x2400, 0x2403));
  EXPECT_EQ(board.bsl_commands()[0].outcome, "wrong password: main flash erased");
}

TEST(RomBootLoader, ErasedDevicePasswordUnlocksAfterTheErase) {
  Board board(in_boot_loader());
  Driver d(board);
  d.send(password(kPasswordB));  // not this device's password yet: erases
  EXPECT_EQ(board.boot_loader_locked(), true);
  d.advance(1500ms);
  d.send(password(kPasswordB));
  EXPECT_EQ(board.boot_loader_locked(), false);
  d.advance(2ms);
  EXPECT_BYTES(reply({0x3B, 0x05}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x00}), d.receive().value_or(Bytes{}));
  d.send(fast(0x2400, {1, 2, 3}));
  EXPECT_BYTES((Bytes{1, 2, 3}), memory_range(board, 0x2400, 0x2403));
  EXPECT_EQ(board.bsl_commands()[1].outcome, "unlocked");
}

TEST(RomBootLoader, RightPasswordOfAProgrammedDeviceUnlocksWithoutErasing) {
  Board board(in_boot_loader());
  Driver d(board);
  Bytes flash = memory_range(board, Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd);
  d.send(password(memory_range(board, 0xFFE0, 0x10000)));
  EXPECT_EQ(board.boot_loader_locked(), false);
  EXPECT_TRUE(flash == memory_range(board, Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd));
}

TEST(RomBootLoader, WritesRamOnly) {
  Board board(in_boot_loader());
  Driver d(board);
  d.send(password(kPasswordA));
  d.send(password(kPasswordB));
  d.send(fast(0x4400, {0x01, 0x02}));
  d.send(fast(0x0120, {0xA5, 0x06}));
  EXPECT_TRUE(all_erased(board, 0x4400, 0x4402));
  EXPECT_BYTES((Bytes{0x00, 0x00}), memory_range(board, 0x0120, 0x0122));
  ASSERT_EQ(board.faults().size(), 2u) << faults_of(board);
  EXPECT_EQ(board.faults()[0],
            "ROM boot loader: RX DATA BLOCK FAST to 0x04400, outside RAM: 2 byte(s) not written (this boot loader "
            "writes RAM only)");
  // The commands of the RAM boot loader are not offered.
  d.drain();  // the two password replies
  d.send(with_length(kCrcCheck, 0x2400, 9));
  d.send(bsl_report(kMassErase, {}));
  d.advance(2ms);
  EXPECT_BYTES(reply({0x3B, 0x07}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x07}), d.receive().value_or(Bytes{}));
}

TEST(RomBootLoader, StartsTheRamBootLoaderWhichReEnumerates) {
  Board board(in_boot_loader());
  Driver d(board);
  auto before = d.presence();
  ASSERT_TRUE(before);
  d.send(password(kPasswordA));
  d.advance(1500ms);
  d.send(password(kPasswordB));
  auto image = load_image("RAM_BSL_00.08.08.39.txt");
  ASSERT_EQ(image.segment_count(), 1u);
  ASSERT_EQ(image.segment(0).start_address, 0x2500u);
  d.download(image);
  EXPECT_EQ(ram_bsl_image_size(board.memory()), 2043u);
  EXPECT_BYTES((Bytes{0x00, 0x08, 0x08, 0x39}), memory_range(board, 0x2500, 0x2504));
  EXPECT_EQ(d.send(load_pc(0x2504)), Board::Io::Ok);
  EXPECT_EQ(board.mode(), Mode::Off);
  EXPECT_FALSE(d.presence()) << "the device leaves the bus";
  d.advance(board.settings().restart_delay - 1ms);
  EXPECT_FALSE(d.presence());
  d.advance(1ms);
  auto after = d.presence();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->mode, Mode::RamBootLoader);
  EXPECT_EQ(after->vendor_id, 0x2047);
  EXPECT_EQ(after->product_id, 0x0200);
  EXPECT_NE(after->incarnation, before->incarnation);
  EXPECT_EQ(board.boot_loader_locked(), false) << "the RAM boot loader starts unlocked";
  d.send(bsl_report(kTxBslVersion, {}));
  d.advance(2ms);
  EXPECT_BYTES(reply({0x3A, 0x00, 0x08, 0x08, 0x39}), d.receive().value_or(Bytes{}));
  EXPECT_TRUE(board.faults().empty()) << faults_of(board);
}

TEST(RomBootLoader, LoadPcWithoutAValidImageHangs) {
  for (std::uint32_t address : {0x2504u, 0x3000u}) {
    Board board(in_boot_loader());
    Driver d(board);
    d.send(password(kPasswordA));
    d.send(password(kPasswordB));
    auto image = load_image("RAM_BSL_00.08.08.39.txt");
    d.download(image);
    d.send(fast(0x2600, {0x00}));  // one byte of the body damaged
    d.drain();
    EXPECT_EQ(ram_bsl_image_size(board.memory()), 0u);
    EXPECT_EQ(d.send(load_pc(address)), Board::Io::Ok);
    EXPECT_EQ(board.mode(), Mode::Hung);
    ASSERT_EQ(board.faults().size(), 1u);
    EXPECT_NE(board.faults()[0].find("LOAD PC"), std::string::npos) << board.faults()[0];
    // Stays listed, takes nothing, answers nothing, also later.
    d.advance(10s);
    ASSERT_TRUE(d.presence());
    EXPECT_EQ(d.presence()->mode, Mode::Hung);
    std::size_t commands = board.commands().size();
    EXPECT_EQ(d.send(bsl_report(kTxBslVersion, {})), Board::Io::Ok);
    d.advance(10ms);
    EXPECT_FALSE(d.receive());
    EXPECT_EQ(board.commands().size(), commands);
  }
}

TEST(RamBootLoader, ResetWriteAndLoadPcStartTheNewFirmware) {
  Board board(in_boot_loader());
  Driver d(board);
  d.start_ram_bsl();
  auto firmware = load_image("firmware_0200.txt");
  ASSERT_GT(firmware.segment_count(), 3u);
  d.download(firmware);
  d.send(fast(0x0120, {0xA5, 0x06}));
  EXPECT_EQ(board.mode(), Mode::RamBootLoader) << "the reset is taken at the LOAD PC";
  EXPECT_EQ(d.send(load_pc(0x2504)), Board::Io::Ok);
  EXPECT_EQ(board.mode(), Mode::Off);
  d.advance(board.settings().restart_delay);
  auto p = d.presence();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->mode, Mode::Application);
  EXPECT_EQ(p->vendor_id, kCardVendorId);
  EXPECT_EQ(board.application_version(), "0200");
  for (const auto& s : firmware)
    EXPECT_BYTES(Bytes(s.bytes.begin(), s.bytes.end()),
                 memory_range(board, s.start_address, s.start_address + static_cast<std::uint32_t>(s.byte_count)))
        << "segment at " << s.start_address;
  // Everything else of main flash stayed erased.
  std::vector<bool> covered(Msp430Memory::kSize, false);
  for (const auto& s : firmware)
    for (std::int32_t i = 0; i < s.byte_count; ++i) covered[s.start_address + static_cast<std::uint32_t>(i)] = true;
  std::size_t stray = 0;
  for (std::uint32_t a = Msp430Memory::kMainFlashStart; a < Msp430Memory::kMainFlashEnd; ++a)
    if (!covered[a] && board.memory().read(a) != 0xFF) ++stray;
  EXPECT_EQ(stray, 0u);
  EXPECT_TRUE(board.faults().empty()) << faults_of(board);
}

TEST(RamBootLoader, ErasedResetVectorBringsTheBootLoaderBack) {
  Board board(in_boot_loader());
  Driver d(board);
  d.start_ram_bsl();
  d.send(fast(0x4400, bytes_of("0300")));  // firmware without vectors
  d.send(fast(0x0120, {0xA5, 0x06}));
  d.send(load_pc(0x2504));
  d.advance(board.settings().restart_delay);
  ASSERT_TRUE(d.presence());
  EXPECT_EQ(d.presence()->mode, Mode::UsbBootLoader);
  EXPECT_EQ(board.boot_loader_locked(), true);
  EXPECT_TRUE(board.faults().empty()) << faults_of(board);
}

TEST(RamBootLoader, LoadPcWithoutResetWriteRestartsTheRamBootLoader) {
  Board board(in_boot_loader());
  Driver d(board);
  d.start_ram_bsl();
  d.send(load_pc(0x2504));
  d.advance(board.settings().restart_delay);
  EXPECT_EQ(board.mode(), Mode::RamBootLoader);
  // A jump to the application's entry point starts it without a reset.
  d.send(fast(0x4400, concat({bytes_of("0301"), {0x31, 0x40}})));
  d.send(fast(0xFFFE, {0x04, 0x44}));
  d.send(load_pc(0x4404));
  d.advance(board.settings().restart_delay);
  EXPECT_EQ(board.mode(), Mode::Application);
  EXPECT_EQ(board.application_version(), "0301");
  EXPECT_TRUE(board.faults().empty()) << faults_of(board);
}

TEST(RamBootLoader, DoubleProgrammingIsRecorded) {
  Board board(in_boot_loader());
  Driver d(board);
  d.start_ram_bsl();
  d.send(fast(0x4400, {0x30, 0x31}));
  d.send(fast(0x4400, {0x32, 0x33}));  // not contiguous: the first block is programmed now
  d.send(load_pc(0x2504));             // and the second here
  ASSERT_EQ(board.faults().size(), 1u) << faults_of(board);
  EXPECT_EQ(board.faults()[0], "RAM boot loader: flash 0x04400 programmed twice (0x30 then 0x32) (and 1 more byte(s))");
  EXPECT_BYTES((Bytes{0x30 & 0x32, 0x31 & 0x33}), memory_range(board, 0x4400, 0x4402));
}

TEST(RamBootLoader, FlashWritesAreBufferedInBlocksOf128) {
  Board board(in_boot_loader());
  Driver d(board);
  d.start_ram_bsl();
  Bytes a(48), b(48), c(48);
  for (int i = 0; i < 48; ++i) {
    a[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0x40 + i);
    c[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0x80 + i);
  }
  d.send(fast(0x4400, a));
  d.send(fast(0x4430, b));
  EXPECT_TRUE(all_erased(board, 0x4400, 0x4460)) << "a partial block waits";
  d.send(fast(0x4460, c));  // completes the block 0x4400..0x447F
  EXPECT_BYTES(concat({a, b, Bytes(c.begin(), c.begin() + 32)}), memory_range(board, 0x4400, 0x4480));
  EXPECT_TRUE(all_erased(board, 0x4480, 0x4490));
  d.send(with_length(kCrcCheck, 0x4400, 0x90));  // any other command programs the partial block
  EXPECT_BYTES(Bytes(c.begin() + 32, c.end()), memory_range(board, 0x4480, 0x4490));
  d.advance(2ms);
  std::uint16_t crc = board.memory().crc16(0x4400, 0x90);
  EXPECT_BYTES(reply({0x3A, static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)}),
               d.receive().value_or(Bytes{}));
  // RAM is written at once.
  d.send(fast(0x3000, {9}));
  EXPECT_EQ(board.memory().read(0x3000), 9);
}

TEST(RamBootLoader, FullCommandSet) {
  Board board(in_boot_loader());
  Driver d(board);
  d.start_ram_bsl();
  d.drain();
  // RX DATA BLOCK answers; "123456789" has the CRC check value 0x29B1.
  d.send(bsl_report(kRxDataBlock, addressed(0x3000, bytes_of("123456789"))));
  d.send(with_length(kCrcCheck, 0x3000, 9));
  d.send(with_length(kTxDataBlock, 0x3000, 9));
  d.send(bsl_report(kTxBufferSize, {}));
  d.advance(2ms);
  EXPECT_BYTES(reply({0x3B, 0x00}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3A, 0xB1, 0x29}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply(concat({{0x3A}, bytes_of("123456789")})), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3A, 62, 0}), d.receive().value_or(Bytes{}));
  // TX DATA BLOCK of 100 bytes: 61 bytes, then 39.
  d.send(with_length(kTxDataBlock, 0x2500, 100));
  d.advance(2ms);
  auto first = d.receive().value_or(Bytes{}), second = d.receive().value_or(Bytes{});
  EXPECT_BYTES(reply(concat({{0x3A}, memory_range(board, 0x2500, 0x2500 + 61)})), first);
  EXPECT_BYTES(reply(concat({{0x3A}, memory_range(board, 0x2500 + 61, 0x2500 + 100)})), second);
  // ERASE SEGMENT and MASS ERASE.
  d.send(bsl_report(kRxDataBlock, addressed(0x4600, {1, 2})));
  d.send(bsl_report(kRxDataBlock, addressed(0x4800, {3, 4})));
  d.send(bsl_report(kEraseSegment, addressed(0x4601)));
  EXPECT_TRUE(all_erased(board, 0x4600, 0x4800));
  EXPECT_EQ(board.memory().read(0x4800), 3);
  d.send(bsl_report(kEraseSegment, addressed(0x3000)));
  d.send(bsl_report(kMassErase, {}));
  EXPECT_TRUE(all_erased(board, Msp430Memory::kMainFlashStart, Msp430Memory::kMainFlashEnd));
  d.advance(100ms);
  EXPECT_BYTES(reply({0x3B, 0x00}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x00}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x00}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x02}), d.receive().value_or(Bytes{}));  // not flash
  EXPECT_BYTES(reply({0x3B, 0x00}), d.receive().value_or(Bytes{}));
  // Unknown command, packet too long.
  d.send(bsl_report(0x42, {}));
  Bytes too_long = bsl_report(kFast, addressed(0x3000));
  too_long[1] = 63;
  d.send(too_long);
  d.advance(2ms);
  EXPECT_BYTES(reply({0x3B, 0x07}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x08}), d.receive().value_or(Bytes{}));
  // A wrong password locks it: protected commands answer 04, writes are dropped.
  d.send(password(kPasswordA));
  d.send(with_length(kCrcCheck, 0x3000, 9));
  d.send(bsl_report(kRxDataBlock, addressed(0x3100, {7})));
  d.send(fast(0x3100, {7}));
  d.send(bsl_report(kTxBslVersion, {}));
  d.advance(100ms);
  EXPECT_EQ(board.boot_loader_locked(), true);
  EXPECT_EQ(board.memory().read(0x3100), 0);
  EXPECT_BYTES(reply({0x3B, 0x05}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x04}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3B, 0x04}), d.receive().value_or(Bytes{}));
  EXPECT_BYTES(reply({0x3A, 0x00, 0x08, 0x08, 0x39}), d.receive().value_or(Bytes{}));
  EXPECT_FALSE(d.receive());
  EXPECT_TRUE(board.faults().empty()) << faults_of(board);
}

// A write into the running RAM boot loader's own code crashes it, whether it was started by the
// update or still runs from an earlier one (the board made in it, with TI's version bytes).
TEST(RamBootLoader, OverwritingItsOwnCodeCrashesIt) {
  for (bool started_here : {true, false}) {
    BoardSettings settings = in_boot_loader();
    if (!started_here) settings.start_mode = Mode::RamBootLoader;
    Board board(settings);
    Driver d(board);
    if (started_here) d.start_ram_bsl();
    d.send(bsl_report(kTxBslVersion, {}));
    d.advance(2ms);
    EXPECT_BYTES(reply({0x3A, 0x00, 0x08, 0x08, 0x39}), d.receive().value_or(Bytes{}));
    d.send(fast(0x2510, {1}));
    ASSERT_EQ(board.faults().size(), 1u);
    EXPECT_EQ(board.faults()[0], "RAM boot loader: write to 0x02510 overwrites its own code; it crashed");
    d.advance(10s);
    EXPECT_FALSE(d.presence()) << "it has left the bus";
  }
}

TEST(Msp430Memory, WeakCellKeepsItsBitsAtOne) {
  Msp430Memory m;
  m.set_weak(0x4410, 0x01);
  EXPECT_TRUE(m.write(0x4410, 0x00));
  EXPECT_TRUE(m.write(0x4411, 0x00));
  EXPECT_EQ(m.read(0x4410), 0x01);
  EXPECT_EQ(m.read(0x4411), 0x00);
}

// ---------------------------------------------------------------------------------------------------------------
// Through the virtual bus, with hidapi calls

class BusModelTest : public ::testing::Test {
 protected:
  void SetUp() override { bus::reset(); }
  void TearDown() override {
    for (hid_device* h : handles_) hid_close(h);
    EXPECT_EQ(bus::open_handles(), 0);
  }
  hid_device* open(const std::string& path) {
    hid_device* h = hid_open_path(path.c_str());
    if (h) {
      hid_set_nonblocking(h, 1);
      handles_.push_back(h);
    }
    return h;
  }
  void close(hid_device* h) {
    handles_.erase(std::find(handles_.begin(), handles_.end(), h));
    hid_close(h);
  }
  static std::vector<std::string> listed(unsigned short vendor, unsigned short product) {
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(vendor, product);
    for (hid_device_info* i = list; i; i = i->next) paths.push_back(i->path);
    hid_free_enumeration(list);
    return paths;
  }
  static int write(hid_device* h, const Bytes& report) { return hid_write(h, report.data(), report.size()); }
  static Bytes read(hid_device* h) {
    unsigned char buffer[64];
    int n = hid_read(h, buffer, sizeof buffer);
    return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
  }
  static Bytes card_command(const std::string& text) {
    Bytes r = concat({{0x3F, static_cast<std::uint8_t>(text.size())}, bytes_of(text)});
    r.resize(64, 0x00);
    return r;
  }
  std::vector<hid_device*> handles_;
};

TEST_F(BusModelTest, UpdateSequenceWithHidapiCalls) {
  DeviceSetup setup;
  setup.board.fw_version = "0102";
  setup.board.card_id = '1';
  std::size_t index = bus::add(setup);
  const std::string card_path = bus::path(index);

  // Switch to ISP with the card command.
  hid_device* card = open(card_path);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(write(card, card_command("2102040004ISPE\n")), 64);
  close(card);
  EXPECT_TRUE(listed(0x2933, 0).empty()) << "the card left the bus";
  bus::advance(bus::board(index).settings().isp_delay);
  auto bsl_paths = listed(0x2047, 0x0200);
  ASSERT_EQ(bsl_paths, std::vector<std::string>{card_path});
  EXPECT_EQ(bus::board(index).boot_loader_locked(), true);

  // Erase and unlock; the replies queue up for the host.
  hid_device* bsl = open(bsl_paths[0]);
  ASSERT_NE(bsl, nullptr);
  EXPECT_EQ(write(bsl, password(kPasswordA)), 64);
  EXPECT_TRUE(read(bsl).empty());
  bus::advance(1500ms);
  EXPECT_EQ(write(bsl, password(kPasswordB)), 64);
  EXPECT_EQ(bus::board(index).boot_loader_locked(), false);
  EXPECT_BYTES(reply({0x3B, 0x05}), read(bsl));
  bus::advance(2ms);
  EXPECT_BYTES(reply({0x3B, 0x00}), read(bsl));

  // RAM boot loader.
  auto send_image = [&](const cardflash::FirmwareImage& image) {
    for (const auto& s : image)
      for (std::int32_t offset = 0; offset < s.byte_count; offset += 48) {
        auto begin = s.bytes.begin() + offset;
        ASSERT_EQ(write(bsl, fast(s.start_address + static_cast<std::uint32_t>(offset),
                                  Bytes(begin, begin + std::min(48, s.byte_count - offset)))),
                  64);
      }
  };
  send_image(load_image("RAM_BSL_00.08.08.39.txt"));
  EXPECT_EQ(write(bsl, load_pc(0x2504)), 64);
  EXPECT_EQ(write(bsl, bsl_report(kTxBslVersion, {})), -1) << "the device left the bus";
  EXPECT_TRUE(listed(0x2047, 0x0200).empty());
  bus::advance(3000ms);
  // The open handle keeps the old node's minor taken: the RAM boot loader comes on the next one.
  const std::vector<std::string> ram_bsl_paths = listed(0x2047, 0x0200);
  EXPECT_EQ(ram_bsl_paths, std::vector<std::string>{"/dev/hidraw1"});
  EXPECT_EQ(bus::board(index).mode(), Mode::RamBootLoader);
  close(bsl);
  EXPECT_EQ(open(card_path), nullptr) << "the old node is gone";
  EXPECT_EQ(std::wstring(hid_error(nullptr)), L"No such file or directory");
  bsl = open(ram_bsl_paths.at(0));
  ASSERT_NE(bsl, nullptr);

  // Firmware, reset write, LOAD PC.
  auto firmware = load_image("firmware_0200.txt");
  send_image(firmware);
  EXPECT_EQ(write(bsl, fast(0x0120, {0xA5, 0x06})), 64);
  EXPECT_EQ(write(bsl, load_pc(0x2504)), 64);
  close(bsl);
  bus::advance(3000ms);
  EXPECT_TRUE(listed(0x2047, 0x0200).empty());
  EXPECT_EQ(listed(0x2933, 0), std::vector<std::string>{card_path}) << "a card again, at the same path";

  // The card reports the new version.
  card = open(card_path);
  ASSERT_NE(card, nullptr);
  EXPECT_GT(write(card, card_command("a100010008")), 0);
  bus::advance(10ms);
  Bytes version = read(card);
  ASSERT_GE(version.size(), 14u);
  EXPECT_EQ(std::string(version.begin() + 6, version.begin() + 14), "02000005");

  Board& board = bus::board(index);
  EXPECT_EQ(board.mode(), Mode::Application);
  EXPECT_EQ(board.application_version(), "0200");
  for (const auto& s : firmware)
    EXPECT_BYTES(Bytes(s.bytes.begin(), s.bytes.end()),
                 memory_range(board, s.start_address, s.start_address + static_cast<std::uint32_t>(s.byte_count)));
  EXPECT_TRUE(board.faults().empty()) << faults_of(board);
}

// Nodes as the hidraw driver numbers them: the lowest free minor, kept taken while a file is open
// on it; a vanished node cannot be opened, or opens the device that took its minor since.
TEST_F(BusModelTest, NodesAreNumberedAsTheHidrawDriverDoes) {
  ASSERT_TRUE(bus::configure("hid; bsl; hid pid=c52c at=5000"));
  EXPECT_EQ(listed(0, 0), (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw1"}));
  Board& board = bus::board(1);
  hid_device* held = open("/dev/hidraw1");
  ASSERT_NE(held, nullptr);
  board.restart(Mode::UsbBootLoader, bus::now(), 100ms);
  bus::advance(200ms);
  EXPECT_EQ(bus::path(1), "/dev/hidraw2") << "the open handle keeps minor 1 taken";
  EXPECT_EQ(write(held, load_pc(0x2504)), -1) << "the handle's device has gone";
  close(held);

  board.restart(Mode::UsbBootLoader, bus::now(), 100ms);
  bus::advance(200ms);
  EXPECT_EQ(bus::path(1), "/dev/hidraw1") << "no handle: back on the lowest free minor";

  board.restart(Mode::UsbBootLoader, bus::now(), 10000ms);
  EXPECT_EQ(open("/dev/hidraw1"), nullptr);
  EXPECT_EQ(std::wstring(hid_error(nullptr)), L"No such file or directory");
  bus::advance(5000ms);
  EXPECT_EQ(bus::path(2), "/dev/hidraw1") << "the late device takes the free minor";
  hid_device* other = open("/dev/hidraw1");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(write(other, load_pc(0x2504)), 64);
  EXPECT_EQ(bus::board(2).faults().size(), 1u) << "a write to an unrelated device is a fault";
  bus::advance(6000ms);
  EXPECT_EQ(bus::path(1), "/dev/hidraw2");
}

TEST_F(BusModelTest, DeviceSetupCardsCarryTheirVersionInFlash) {
  ASSERT_TRUE(bus::configure("card fw=0102; bsl fw=0200"));
  EXPECT_EQ(bus::board(0).version_in_flash(), "0102");
  EXPECT_EQ(bus::board(1).version_in_flash(), "0200");
  EXPECT_EQ(bus::board(1).boot_loader_locked(), true);
}

}  // namespace
