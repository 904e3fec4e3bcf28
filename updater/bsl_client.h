// Packets for TI's MSP430 USB boot loader: one core command per 64-byte report (report id 0x3F,
// length, command, operands, the rest 0xAC), sent through the card library's raw transport.
// An update sends RX PASSWORD, RX DATA BLOCK FAST, LOAD PC, TX BSL VERSION and CRC CHECK. Fast
// data blocks and LOAD PC are never answered; the boot loader answers a password with a message
// (0x3B, then 0x00 unlocked or 0x05 wrong), TX BSL VERSION and CRC CHECK with data (0x3A, then
// the bytes).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "card_protocol.h"
#include "cardlink.h"
#include "clock.h"
#include "stop_request.h"
#include "titxt_reader.h"

namespace cardflash {

constexpr int kBslReportSize = cardlink::kReportSize;
constexpr std::uint8_t kBslReportId = 0x3F;
constexpr std::uint8_t kBslFill = 0xAC;
constexpr std::uint8_t kBslRxPassword = 0x11;
constexpr std::uint8_t kBslRxDataBlockFast = 0x1B;
constexpr std::uint8_t kBslLoadPc = 0x17;
constexpr std::uint8_t kBslCrcCheck = 0x16;
constexpr std::uint8_t kBslTxVersion = 0x19;
constexpr std::uint8_t kBslDataReply = 0x3A;
constexpr std::uint8_t kBslMessageReply = 0x3B;
constexpr std::uint8_t kBslMessageOk = 0x00;
constexpr int kBslPasswordSize = 32;
constexpr int kDownloadBlockSize = 48;
constexpr int kMaxBlockData = 58;  // what fits one report after command and address
constexpr int kMassErasePauseMs = 1500;
constexpr int kReplyPollMs = 10;
constexpr int kPasswordReplyWaitMs = 1000;
constexpr int kVersionReplyWaitMs = 1000;

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
BslReport BuildCrcCheckReport(std::uint32_t address, std::uint16_t length);
BslReport BuildTxBslVersionReport();

// Told about each block of a download as it goes out.
class DownloadProgress {
 public:
  virtual ~DownloadProgress() = default;
  virtual void BlockSent(int sent, int total) = 0;
};

// The message byte a boot loader answered with (0x00 ok, 0x04 locked, 0x05 password error, ...),
// or nothing when no message came.
using BslMessage = std::optional<std::uint8_t>;

// False when the transport did not take the report whole.
bool BslSendPassword(CardContext* context, const BslPassword& password);
// The erased device's password, and the message that answers it within kPasswordReplyWaitMs.
BslMessage BslUnlock(CardContext* context, Clock& clock);
// Wrong password (the boot loader erases the flash and answers 0x05), a pause of
// kMassErasePauseMs for the erase, in which that answer is read, then BslUnlock. What the
// erased device's password was answered with, if anything.
BslMessage BslMassErase(CardContext* context, Clock& clock);
bool BslWriteBlock(CardContext* context, std::uint32_t address, const std::uint8_t* data, int size);
bool BslLoadPc(CardContext* context, std::uint32_t address);
// Every segment in blocks of at most 48 bytes, in image order. Stops at the first block that the
// transport does not take whole, or before the next block once `stop` is requested, and returns
// that block's address: the blocks after it would land beside a hole. Nothing when every block
// went out.
std::optional<std::uint32_t> BslDownloadImage(CardContext* context, const FirmwareImage& image,
                                              DownloadProgress* progress = nullptr,
                                              const StopRequest* stop = nullptr);

enum class BslReplyKind { kData, kMessage, kAny };
// Waits up to `wait_ms` for a reply of the boot loader of the kind wanted, polling every
// kReplyPollMs, and returns its core bytes (0x3A and data, or 0x3B and a message). Replies of
// the other kind are passed over: they answer earlier commands.
std::optional<std::vector<std::uint8_t>> BslAwaitReply(CardContext* context, Clock& clock, int wait_ms,
                                                       BslReplyKind wanted);
// Reads and drops every reply that waits, so that it is not taken for the answer to the next
// command.
void BslDrainReplies(CardContext* context);
// True when the connection's device has left the bus: a read on it fails.
bool BslDeviceLeft(CardContext* context);

// CRC CHECK of `length` bytes at `address`, through the RAM boot loader; its CRC, or nothing when
// the command could not be sent or no data reply came within `wait_ms`.
std::optional<std::uint16_t> BslCrcCheck(CardContext* context, Clock& clock, std::uint32_t address,
                                         std::uint16_t length, int wait_ms);

// TX BSL VERSION: the RAM boot loader answers with its four version bytes; TI's boot loader in
// the controller's flash does not offer the command (0x3B 07, or no answer at all).
std::optional<std::array<std::uint8_t, 4>> BslAskVersion(CardContext* context, Clock& clock);

}  // namespace cardflash
