#include "bsl_client.h"

#include <algorithm>
#include <cstring>

namespace cardflash {

namespace {

BslReport EmptyReport(std::uint8_t command, std::uint8_t length) {
  BslReport report;
  report.fill(kBslFill);
  report[0] = kBslReportId;
  report[1] = length;
  report[2] = command;
  return report;
}

void PutAddress(BslReport& report, std::uint32_t address) {
  report[3] = static_cast<std::uint8_t>(address);
  report[4] = static_cast<std::uint8_t>(address >> 8);
  report[5] = static_cast<std::uint8_t>(address >> 16);
}

bool SendWhole(CardContext* context, const BslReport& report) {
  return Tav_BslWrite(context, report.data(), kBslReportSize) == kBslReportSize;
}

}  // namespace

BslPassword WrongPassword() {
  BslPassword password;
  for (int i = 0; i < kBslPasswordSize; ++i) password[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(2 * i + 1);
  return password;
}

BslPassword ErasedDevicePassword() {
  BslPassword password;
  password.fill(0xFF);
  return password;
}

BslReport BuildPasswordReport(const BslPassword& password) {
  BslReport report = EmptyReport(kBslRxPassword, 1 + kBslPasswordSize);
  std::copy(password.begin(), password.end(), report.begin() + 3);
  return report;
}

BslReport BuildDataBlockReport(std::uint32_t address, const std::uint8_t* data, int size) {
  BslReport report = EmptyReport(kBslRxDataBlockFast, static_cast<std::uint8_t>(size + 4));
  PutAddress(report, address);
  if (size > 0) std::memcpy(report.data() + 6, data, static_cast<std::size_t>(size));
  return report;
}

BslReport BuildLoadPcReport(std::uint32_t address) {
  BslReport report = EmptyReport(kBslLoadPc, 4);
  PutAddress(report, address);
  return report;
}

BslReport BuildCrcCheckReport(std::uint32_t address, std::uint16_t length) {
  BslReport report = EmptyReport(kBslCrcCheck, 6);
  PutAddress(report, address);
  report[6] = static_cast<std::uint8_t>(length);
  report[7] = static_cast<std::uint8_t>(length >> 8);
  return report;
}

BslReport BuildTxBslVersionReport() { return EmptyReport(kBslTxVersion, 1); }

bool BslSendPassword(CardContext* context, const BslPassword& password) {
  return SendWhole(context, BuildPasswordReport(password));
}

BslMessage BslUnlock(CardContext* context, Clock& clock) {
  // What waits now answers earlier commands, not this password.
  BslDrainReplies(context);
  if (!BslSendPassword(context, ErasedDevicePassword())) return std::nullopt;
  auto reply = BslAwaitReply(context, clock, kPasswordReplyWaitMs, BslReplyKind::kMessage);
  if (!reply || reply->size() < 2) return std::nullopt;
  return (*reply)[1];
}

BslMessage BslMassErase(CardContext* context, Clock& clock) {
  BslDrainReplies(context);
  const std::int64_t erased_at = clock.NowMs() + kMassErasePauseMs;
  if (BslSendPassword(context, WrongPassword())) {
    // The refusal (0x05) comes once the erase is done; it is read inside the erase's pause,
    // which it does not shorten or lengthen.
    for (std::int64_t left; (left = erased_at - clock.NowMs()) > 0;) {
      if (BslAwaitReply(context, clock, 0, BslReplyKind::kMessage)) break;
      clock.Pause(static_cast<int>(std::min<std::int64_t>(left, kReplyPollMs)));
    }
  }
  PauseUntil(clock, erased_at);
  return BslUnlock(context, clock);
}

bool BslWriteBlock(CardContext* context, std::uint32_t address, const std::uint8_t* data, int size) {
  if (size < 0 || size > kMaxBlockData || (size > 0 && !data)) return false;
  return SendWhole(context, BuildDataBlockReport(address, data, size));
}

bool BslLoadPc(CardContext* context, std::uint32_t address) {
  return SendWhole(context, BuildLoadPcReport(address));
}

std::optional<std::uint32_t> BslDownloadImage(CardContext* context, const FirmwareImage& image,
                                              DownloadProgress* progress, const StopRequest* stop) {
  std::uint8_t staging[kDownloadBlockSize];
  int blocks = 0, sent = 0;
  for (const ImageSegment& segment : image)
    blocks += segment.byte_count > 0 ? (segment.byte_count + kDownloadBlockSize - 1) / kDownloadBlockSize : 0;
  for (const ImageSegment& segment : image) {
    const std::int32_t total = segment.byte_count;
    for (std::int32_t offset = 0; offset < total;) {
      const std::int32_t size = std::min<std::int32_t>(total - offset, kDownloadBlockSize);
      std::memcpy(staging, segment.bytes.data() + offset, static_cast<std::size_t>(size));
      const std::uint32_t address = segment.start_address + static_cast<std::uint32_t>(offset);
      if ((stop && stop->Requested()) || !BslWriteBlock(context, address, staging, size)) return address;
      if (progress) progress->BlockSent(++sent, blocks);
      offset += size;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> BslAwaitReply(CardContext* context, Clock& clock, int wait_ms,
                                                       BslReplyKind wanted) {
  for (int waited = 0;; waited += kReplyPollMs) {
    unsigned char reply[kBslReportSize] = {};
    int count = 0;
    while (Tav_BslRead(context, reply, kBslReportSize, &count) && count > 0) {
      // 0x3F, the number of core bytes, then the core reply.
      const int core = std::min<int>(reply[1], count - 2);
      const bool data = count >= 3 && reply[2] == kBslDataReply, message = count >= 3 && reply[2] == kBslMessageReply;
      const bool kind = wanted == BslReplyKind::kAny ? data || message
                        : wanted == BslReplyKind::kData ? data
                                                        : message;
      if (reply[0] == kBslReportId && core >= 1 && kind)
        return std::vector<std::uint8_t>(reply + 2, reply + 2 + core);
      count = 0;
    }
    if (waited >= wait_ms) return std::nullopt;
    clock.Pause(kReplyPollMs);
  }
}

void BslDrainReplies(CardContext* context) {
  unsigned char reply[kBslReportSize];
  int count = 0;
  while (Tav_BslRead(context, reply, kBslReportSize, &count) && count > 0) count = 0;
}

bool BslDeviceLeft(CardContext* context) {
  unsigned char reply[kBslReportSize];
  int count = 0;
  return !Tav_BslRead(context, reply, kBslReportSize, &count);
}

std::optional<std::uint16_t> BslCrcCheck(CardContext* context, Clock& clock, std::uint32_t address,
                                         std::uint16_t length, int wait_ms) {
  if (!SendWhole(context, BuildCrcCheckReport(address, length))) return std::nullopt;
  auto reply = BslAwaitReply(context, clock, wait_ms, BslReplyKind::kData);
  if (!reply || reply->size() < 3) return std::nullopt;
  return static_cast<std::uint16_t>((*reply)[1] | ((*reply)[2] << 8));
}

std::optional<std::array<std::uint8_t, 4>> BslAskVersion(CardContext* context, Clock& clock) {
  BslDrainReplies(context);
  if (!SendWhole(context, BuildTxBslVersionReport())) return std::nullopt;
  // The first reply tells: the boot loader in flash answers 0x3B 07 (unknown command), or nothing.
  auto reply = BslAwaitReply(context, clock, kVersionReplyWaitMs, BslReplyKind::kAny);
  if (!reply || reply->size() < 5 || (*reply)[0] != kBslDataReply) return std::nullopt;
  return std::array<std::uint8_t, 4>{(*reply)[1], (*reply)[2], (*reply)[3], (*reply)[4]};
}

}  // namespace cardflash
