// Packets for TI's MSP430 USB boot loader: one core command per 64-byte report (report id 0x3F,
// length, command, operands, the rest 0xAC), sent through the card library's raw transport.
// Only RX PASSWORD, RX DATA BLOCK FAST and LOAD PC are used, and no reply is interpreted.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "cardlink.h"
#include "clock.h"
#include "titxt_reader.h"

namespace cardflash {

constexpr int kBslReportSize = 64;
constexpr std::uint8_t kBslReportId = 0x3F;
constexpr std::uint8_t kBslFill = 0xAC;
constexpr std::uint8_t kBslRxPassword = 0x11;
constexpr std::uint8_t kBslRxDataBlockFast = 0x1B;
constexpr std::uint8_t kBslLoadPc = 0x17;
constexpr int kBslPasswordSize = 32;
constexpr int kDownloadBlockSize = 48;
constexpr int kMaxBlockData = 58;  // what fits one report after command and address
constexpr int kMassErasePauseMs = 1500;

using BslPassword = std::array<std::uint8_t, kBslPasswordSize>;
using BslReport = std::array<std::uint8_t, kBslReportSize>;

// A password no programmed controller has: its reset vector (the last two bytes) is odd, and a
// reset vector always holds an even code address. Sending it makes the boot loader mass-erase.
BslPassword WrongPassword();
// The password of an erased controller: its interrupt vectors read 0xFF.
BslPassword ErasedDevicePassword();

BslReport BuildPasswordReport(const BslPassword& password);
// Address bits 24-31 are dropped; `size` at most kMaxBlockData.
BslReport BuildDataBlockReport(std::uint32_t address, const std::uint8_t* data, int size);
BslReport BuildLoadPcReport(std::uint32_t address);

void BslSendPassword(CardContext* context, const BslPassword& password);
// Wrong password (the boot loader erases the flash), a pause for the erase, then the erased
// device's password (unlocks). Nothing checks either step.
void BslMassErase(CardContext* context, Clock& clock);
bool BslWriteBlock(CardContext* context, std::uint32_t address, const std::uint8_t* data, int size);
bool BslLoadPc(CardContext* context, std::uint32_t address);
// Every segment in blocks of at most 48 bytes, in image order. Stops at the first block that the
// transport does not take whole and returns its address: the blocks after it would land beside a
// hole. Nothing when every block went out.
std::optional<std::uint32_t> BslDownloadImage(CardContext* context, const FirmwareImage& image);

}  // namespace cardflash
