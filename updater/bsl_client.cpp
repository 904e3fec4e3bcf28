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

void BslSendPassword(CardContext* context, const BslPassword& password) {
  (void)Tav_BslWrite(context, BuildPasswordReport(password).data(), kBslReportSize);
  // One read that does not wait: the connection is non-blocking. The reply is not used.
  unsigned char reply[kBslReportSize] = {};
  int count = 0;
  (void)Tav_BslRead(context, reply, kBslReportSize, &count);
}

void BslMassErase(CardContext* context, Clock& clock) {
  BslSendPassword(context, WrongPassword());
  clock.Pause(kMassErasePauseMs);
  BslSendPassword(context, ErasedDevicePassword());
}

bool BslWriteBlock(CardContext* context, std::uint32_t address, const std::uint8_t* data, int size) {
  if (size < 0 || size > kMaxBlockData || (size > 0 && !data)) return false;
  return SendWhole(context, BuildDataBlockReport(address, data, size));
}

bool BslLoadPc(CardContext* context, std::uint32_t address) {
  return SendWhole(context, BuildLoadPcReport(address));
}

std::optional<std::uint32_t> BslDownloadImage(CardContext* context, const FirmwareImage& image,
                                              DownloadProgress* progress) {
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
      if (!BslWriteBlock(context, address, staging, size)) return address;
      if (progress) progress->BlockSent(++sent, blocks);
      offset += size;
    }
  }
  return std::nullopt;
}

}  // namespace cardflash

namespace cardflash {

std::optional<std::vector<std::uint8_t>> BslAwaitReply(CardContext* context, Clock& clock, int wait_ms,
                                                       bool message_ends_wait) {
  constexpr int kPollMs = 10;
  for (int waited = 0;; waited += kPollMs) {
    unsigned char reply[kBslReportSize] = {};
    int count = 0;
    while (Tav_BslRead(context, reply, kBslReportSize, &count) && count > 0) {
      // 0x3F, the number of core bytes, then the core reply.
      const int core = std::min<int>(reply[1], count - 2);
      if (count >= 3 && reply[0] == kBslReportId && core >= 1 &&
          (reply[2] == kBslDataReply || message_ends_wait))
        return std::vector<std::uint8_t>(reply + 2, reply + 2 + core);
      count = 0;
    }
    if (waited >= wait_ms) return std::nullopt;
    clock.Pause(kPollMs);
  }
}

std::optional<std::uint16_t> BslCrcCheck(CardContext* context, Clock& clock, std::uint32_t address,
                                         std::uint16_t length, int wait_ms) {
  if (!SendWhole(context, BuildCrcCheckReport(address, length))) return std::nullopt;
  auto reply = BslAwaitReply(context, clock, wait_ms, false);
  if (!reply || reply->size() < 3) return std::nullopt;
  return static_cast<std::uint16_t>((*reply)[1] | ((*reply)[2] << 8));
}

std::optional<std::vector<std::uint8_t>> BslAskVersion(CardContext* context, Clock& clock) {
  if (!SendWhole(context, BuildTxBslVersionReport())) return std::nullopt;
  // The first reply tells: the boot loader in flash answers 0x3B 07 (unknown command).
  auto reply = BslAwaitReply(context, clock, 1000, true);
  if (!reply || (*reply)[0] != kBslDataReply) return std::nullopt;
  return std::vector<std::uint8_t>(reply->begin() + 1, reply->end());
}

}  // namespace cardflash
